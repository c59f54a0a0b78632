#include "facade/KaSoftStatusManager.h"

#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "catalog/KaSoftwareCatelog.h"
#include "common/Result.h"
#include "facade/AntivirusDetector.h"
#include "facade/KaGetIconStatus.h"
#include "hostlink/HostReference.h"
#include "identify/KaCommonSoft.h"
#include "update/KaSoftUpdater.h"

namespace tessary {

using Microsoft::WRL::ComPtr;

namespace {

constexpr LONG kServiceAdded = 1;
constexpr LONG kServiceRemoved = 2;
constexpr LONG kCategoryData = 1;
constexpr LONG kCodeDataChanged = 2;

const HiddenWindowKind kWarmUpWindow{L"StatusManager", WM_TIMER, IDC_ARROW};

// The wait cursor around the two slow creations; the previous cursor comes
// back on every exit.
class WaitCursor {
 public:
  WaitCursor() noexcept : previous_(::SetCursor(::LoadCursorW(nullptr, IDC_WAIT))) {}
  ~WaitCursor() { ::SetCursor(previous_); }
  WaitCursor(const WaitCursor&) = delete;
  WaitCursor& operator=(const WaitCursor&) = delete;

 private:
  HCURSOR previous_;
};

// The common-software object loads the rules and takes the registry
// inventory, the catalog reads the host's files: the slow ones.
template <typename Made>
constexpr bool kSlowToMake =
    std::is_same_v<Made, KaCommonSoft> || std::is_same_v<Made, KaSoftwareCatelog>;

// What follows a sub-object's making; each is kept even when nothing could
// be read.
void Finish(KaCommonSoft&) noexcept {}
void Finish(KaSoftUpdater&) noexcept {}
void Finish(KaSoftwareCatelog& catalog) noexcept { catalog.Load(); }
void Finish(KaRecommendSoft& recommendations) noexcept { recommendations.LoadRecommendations(); }
void Finish(KaSoftTypeStorage& storage) noexcept {
  std::wstring folder;
  if (SUCCEEDED(Guarded([&]() -> HRESULT {
        folder = KaSoftTypeStorage::DefaultFolder();
        return S_OK;
      }))) {
    storage.Scan(folder);
  }
}

// Empties the field before the object goes: its release may call back in.
template <typename T>
void ReleaseField(ComPtr<T>& field) noexcept {
  ComPtr<T> gone;
  gone.Swap(field);
}

}  // namespace

HRESULT KaSoftStatusManager::FinalConstruct() noexcept {
  window_.Create(kWarmUpWindow, nullptr, HiddenWindow::Placement::kOrigin, this, &OnWarmUpTimer);
  return S_OK;
}

KaSoftStatusManager::~KaSoftStatusManager() {
  // The window goes first: a timer message must not reach what follows.
  StopWarmUp();
  window_.Reset();
  ReleaseSubObjects();
  events_.ReleaseAll();
}

void KaSoftStatusManager::OnWarmUpTimer(void* self, WPARAM id, LPARAM) noexcept {
  static_cast<KaSoftStatusManager*>(self)->OnTimer(static_cast<UINT_PTR>(id));
}

void KaSoftStatusManager::OnTimer(UINT_PTR id) noexcept {
  // A timer message still queued when Detach stopped the timer finds no
  // warm-up pending: a detached facade builds nothing ahead of time.
  if (id != kWarmUpTimerId || warmUpTimer_ == 0) return;
  // The builds may call out to the host, which might let the facade go.
  ComPtr<IKaSoftStatusManager> self(this);
  ::KillTimer(window_.get(), kWarmUpTimerId);
  warmUpTimer_ = 0;
  Ensure(commonSoft_);
  Ensure(catalog_);
}

void KaSoftStatusManager::StartServing() noexcept {
  ComPtr<IKaGetIconStatus> icons;
  if (SUCCEEDED(MakeKaGetIconStatus(icons)) && icons) iconRequest_ = std::move(icons);
  // No window, no timer: the slow objects are then built by the first query.
  if (window_) warmUpTimer_ = ::SetTimer(window_.get(), kWarmUpTimerId, kWarmUpDelayMs, nullptr);
}

void KaSoftStatusManager::StopWarmUp() noexcept {
  if (warmUpTimer_ == 0) return;
  ::KillTimer(window_.get(), warmUpTimer_);
  warmUpTimer_ = 0;
}

template <typename Made, typename Interface>
ComPtr<Interface> KaSoftStatusManager::Ensure(SubObject<Made, Interface>& field) noexcept {
  if (field.object) return field.object;
  if (field.making) return nullptr;
  std::optional<WaitCursor> wait;
  if constexpr (kSlowToMake<Made>) wait.emplace();
  ComPtr<Made> made;
  field.making = true;
  const HRESULT hr = MakeComObject(made);
  field.making = false;
  // That may have gone through the host, which may have made one meanwhile.
  if (FAILED(hr) || field.object) return field.object;
  field.object = made;
  Finish(*made.Get());
  // That may have asked the host too, which may have detached this facade
  // meanwhile and taken the object with it.
  return field.object;
}

// --- IKaSoftStatusManager ------------------------------------------------------

STDMETHODIMP KaSoftStatusManager::GetSoftInstallStatus(BSTR bstrSoftName,
                                                       kaSoftInstallStatus* lpInstallStatus,
                                                       BSTR* lpbstrCurVersion,
                                                       BSTR* lpbstrCurDisplayName) noexcept {
  if (!lpInstallStatus) return E_POINTER;
  const ComPtr<IKaSoftStatusManager> keep(this);
  const ComPtr<IKaCommonSoft> common = Ensure(commonSoft_);
  if (!common) return E_FAIL;
  return common->GetSoftVersion(bstrSoftName, lpInstallStatus, lpbstrCurVersion,
                                lpbstrCurDisplayName);
}

STDMETHODIMP KaSoftStatusManager::GetSoftInstallStatusWithVer(BSTR bstrSoftName,
                                                              BSTR bstrCurVersion,
                                                              kaSoftInstallStatus* lpInstallStatus,
                                                              BSTR* lpbstrCurName) noexcept {
  if (!bstrSoftName || !bstrCurVersion || !lpInstallStatus) return E_POINTER;
  const ComPtr<IKaSoftStatusManager> keep(this);
  const ComPtr<IKaCommonSoft> common = Ensure(commonSoft_);
  if (!common) return E_FAIL;
  return common->QuerySoftInstallStatusWithVersion(bstrSoftName, bstrCurVersion, lpInstallStatus,
                                                   lpbstrCurName);
}

STDMETHODIMP KaSoftStatusManager::GetSoftTypeStorage(
    IKaSoftTypeStorage** lplpSoftTypeStorage) noexcept {
  if (!lplpSoftTypeStorage) return E_POINTER;
  *lplpSoftTypeStorage = nullptr;
  const ComPtr<IKaSoftStatusManager> keep(this);
  const ComPtr<KaSoftTypeStorage> storage = Ensure(typeStorage_);
  if (!storage) return E_FAIL;
  storage->QueryInterface(IID_PPV_ARGS(lplpSoftTypeStorage));
  return *lplpSoftTypeStorage ? S_OK : E_FAIL;
}

STDMETHODIMP KaSoftStatusManager::GetAntivirusInstallStatus(kaSoftInstallStatus* lpInstallStatus,
                                                            BSTR* lpbstrAntivirusName,
                                                            BSTR* lpbstrDisplayName) noexcept {
  if (!lpInstallStatus) return E_POINTER;
  // S_OK, or E_OUTOFMEMORY when a name could not be handed out.
  return DetectAntivirus(lpInstallStatus, lpbstrAntivirusName, lpbstrDisplayName);
}

STDMETHODIMP KaSoftStatusManager::GetIcons(BSTR bstrLocalPath, BSTR bstrUrl) noexcept {
  // Before Attach there is nobody to fetch for: the icon counts as missing.
  if (!iconRequest_) return E_FAIL;
  const ComPtr<IKaSoftStatusManager> keep(this);
  const ComPtr<IKaGetIconStatus> icons = iconRequest_;
  return icons->GetIconStatus(bstrLocalPath, bstrUrl);
}

STDMETHODIMP KaSoftStatusManager::RefreshAllInstalledStatus() noexcept {
  if (!commonSoft_.object) return S_FALSE;
  const ComPtr<IKaCommonSoft> common = commonSoft_.object;
  return common->RefreshInstalledInfo();
}

STDMETHODIMP KaSoftStatusManager::RefreshOneInstalledStatus(BSTR bstrSoftName) noexcept {
  if (!commonSoft_.object) return S_FALSE;
  const ComPtr<IKaCommonSoft> common = commonSoft_.object;
  return common->RefreshOneInstalledInfo(bstrSoftName);
}

STDMETHODIMP KaSoftStatusManager::RefreshIdentifyInfo() noexcept {
  if (!commonSoft_.object) return S_FALSE;
  const ComPtr<IKaCommonSoft> common = commonSoft_.object;
  return common->RefreshIdentifyInfo();
}

STDMETHODIMP KaSoftStatusManager::GetUninstallString(BSTR bstrSoftName, BSTR bstrSoftVersion,
                                                     BSTR* lpbstrUninstallString) noexcept {
  if (!bstrSoftName || !bstrSoftVersion || !lpbstrUninstallString) return E_POINTER;
  const ComPtr<IKaSoftStatusManager> keep(this);
  const ComPtr<IKaCommonSoft> common = Ensure(commonSoft_);
  if (!common) return E_FAIL;
  return common->GetUninstallString(bstrSoftName, bstrSoftVersion, lpbstrUninstallString);
}

STDMETHODIMP KaSoftStatusManager::GetStartupExeString(BSTR bstrSoftName,
                                                      BSTR* lpbstrStartupExe) noexcept {
  const ComPtr<IKaSoftStatusManager> keep(this);
  const ComPtr<IKaCommonSoft> common = Ensure(commonSoft_);
  if (!common) return E_FAIL;
  return common->GetStartupExeString(bstrSoftName, lpbstrStartupExe);
}

STDMETHODIMP KaSoftStatusManager::GetSoftwareCatelog(
    IKaSoftwareCatelog** lplpSoftwareCatelog) noexcept {
  if (!lplpSoftwareCatelog) return E_POINTER;
  *lplpSoftwareCatelog = nullptr;
  const ComPtr<IKaSoftStatusManager> keep(this);
  ComPtr<IKaSoftwareCatelog> catalog = Ensure(catalog_);
  if (!catalog) return E_FAIL;
  *lplpSoftwareCatelog = catalog.Detach();
  return S_OK;
}

STDMETHODIMP KaSoftStatusManager::GetSoftwareUpdater(
    IKaSoftUpdater** lplpSoftwareUpdater) noexcept {
  if (!lplpSoftwareUpdater) return E_POINTER;
  *lplpSoftwareUpdater = nullptr;
  const ComPtr<IKaSoftStatusManager> keep(this);
  const ComPtr<IKaSoftUpdater> updater = Ensure(updater_);
  if (!updater) return E_OUTOFMEMORY;
  return updater->QueryInterface(IID_PPV_ARGS(lplpSoftwareUpdater));
}

STDMETHODIMP KaSoftStatusManager::RefreshRecmdSoft() noexcept {
  if (!recommendations_.object) return S_FALSE;
  const ComPtr<KaRecommendSoft> recommendations = recommendations_.object;
  // The load answers 1 or 0, both non-negative: S_FALSE either way, and a
  // failed load keeps the lists read before.
  return recommendations->LoadRecommendations() >= 0 ? S_FALSE : S_OK;
}

STDMETHODIMP KaSoftStatusManager::GetRecommendSoft(IKaRecommendSoft** lplpRecmdSoft) noexcept {
  if (!lplpRecmdSoft) return E_POINTER;
  *lplpRecmdSoft = nullptr;
  const ComPtr<IKaSoftStatusManager> keep(this);
  // Handed out even when its file could not be read.
  const ComPtr<KaRecommendSoft> recommendations = Ensure(recommendations_);
  if (!recommendations) return E_FAIL;
  return recommendations->QueryInterface(IID_PPV_ARGS(lplpRecmdSoft));
}

// --- IConnectionPointContainer -------------------------------------------------

STDMETHODIMP KaSoftStatusManager::EnumConnectionPoints(IEnumConnectionPoints** out) noexcept {
  return events_.EnumPoints(out);
}

STDMETHODIMP KaSoftStatusManager::FindConnectionPoint(REFIID riid,
                                                      IConnectionPoint** out) noexcept {
  return events_.Find(riid, out);
}

// --- IKaHostPlugin ------------------------------------------------------------------

STDMETHODIMP KaSoftStatusManager::Attach(IKaHostServices* host) noexcept {
  // The host may let the facade go from inside any call made here.
  const ComPtr<IKaSoftStatusManager> keep(this);
  link_.Attach(host, __uuidof(IKaSoftStatusManager), static_cast<IKaSoftStatusManager*>(this),
               [&] { StartServing(); });
  return S_FALSE;
}

STDMETHODIMP KaSoftStatusManager::Detach() noexcept {
  const ComPtr<IKaSoftStatusManager> keep(this);
  StopWarmUp();
  link_.Detach(__uuidof(IKaSoftStatusManager), [&] { ReleaseSubObjects(); });
  return S_OK;
}

void KaSoftStatusManager::ReleaseSubObjects() noexcept {
  ReleaseField(typeStorage_.object);
  ReleaseField(updater_.object);
  ReleaseField(recommendations_.object);
  ReleaseField(iconRequest_);
  ReleaseField(commonSoft_.object);
  ReleaseField(catalog_.object);
}

// --- IKaServiceEvents --------------------------------------------------------------

STDMETHODIMP KaSoftStatusManager::OnServiceEvent(LONG kind, const GUID* serviceId,
                                                 IUnknown* service) noexcept {
  if (!serviceId || *serviceId != __uuidof(IKaNotifyService)) return S_OK;
  const ComPtr<IKaSoftStatusManager> keep(this);
  if (kind == kServiceAdded) {
    link_.NotifyServiceAdded(service);
  } else if (kind == kServiceRemoved) {
    link_.NotifyServiceRemoved(service);
  }
  return S_OK;
}

// --- IKaNotifyEvents ---------------------------------------------------------------

STDMETHODIMP KaSoftStatusManager::OnNotify(LONG category, LONG code, LONG param) noexcept {
  if (category != kCategoryData || code != kCodeDataChanged) return S_OK;
  const ComPtr<IKaSoftStatusManager> keep(this);
  // Without a data service the flag counts as 0: only the rules are read again.
  ComPtr<IKaDataService> data;
  LONG flag = 0;
  if (SUCCEEDED(GetHostService(__uuidof(IKaDataService), data)) && data) {
    if (FAILED(data->GetReloadFlag(&flag))) flag = 0;
  }
  if (flag == 1) {
    ReloadAntivirusRules();
    if (const ComPtr<IKaSoftwareCatelog> catalog = catalog_.object) catalog->Load();
  }
  if (const ComPtr<IKaCommonSoft> common = commonSoft_.object) common->RefreshIdentifyInfo();
  return S_OK;
}

HRESULT CreateKaSoftStatusManager(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaSoftStatusManager>(outer, riid, ppv);
}

}  // namespace tessary
