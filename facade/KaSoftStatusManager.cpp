#include "facade/KaSoftStatusManager.h"

#include <cwchar>
#include <iterator>
#include <string>
#include <utility>

#include "catalog/KaSoftwareCatelog.h"
#include "common/Result.h"
#include "facade/AntivirusDetector.h"
#include "hostlink/HostReference.h"
#include "facade/KaGetIconStatus.h"
#include "identify/KaCommonSoft.h"
#include "com/Module.h"
#include "com/WindowClass.h"
#include "update/KaSoftUpdater.h"

namespace tessary {

using Microsoft::WRL::ComPtr;

namespace {

constexpr LONG kServiceAdded = 1;
constexpr LONG kServiceRemoved = 2;
constexpr LONG kCategoryData = 1;
constexpr LONG kCodeDataChanged = 2;

// The hidden window's class, registered once per module under a name that
// holds the module's address, so private copies of the module never share it.
ATOM g_windowClass = 0;

ATOM WindowClass(WNDPROC procedure) noexcept {
  wchar_t name[64];
  std::swprintf(name, std::size(name), L"Tessary.StatusManager.%p",
                static_cast<void*>(Module::Handle()));
  return ModuleWindowClass(g_windowClass, name, procedure, ::LoadCursorW(nullptr, IDC_ARROW));
}

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

// Empties the field before the object goes: its release may call back in.
template <typename T>
void ReleaseField(ComPtr<T>& field) noexcept {
  ComPtr<T> gone;
  gone.Swap(field);
}

HRESULT FindPoint(IUnknown* container, REFIID iid, ComPtr<IConnectionPoint>& point) noexcept {
  point.Reset();
  ComPtr<IConnectionPointContainer> points;
  RETURN_IF_FAILED(container->QueryInterface(IID_PPV_ARGS(&points)));
  RETURN_IF_FAILED(points->FindConnectionPoint(iid, &point));
  return point ? S_OK : E_FAIL;
}

// Advises `sink` on `container`'s point for `iid`; on success the point and
// the cookie are kept.
void Subscribe(IUnknown* container, REFIID iid, IUnknown* sink, ComPtr<IConnectionPoint>& point,
               DWORD& cookie) noexcept {
  ComPtr<IConnectionPoint> found;
  if (!container || FAILED(FindPoint(container, iid, found))) return;
  DWORD made = 0;
  if (FAILED(found->Advise(sink, &made)) || made == 0) return;
  point = std::move(found);
  cookie = made;
}

void Unsubscribe(ComPtr<IConnectionPoint>& point, DWORD& cookie) noexcept {
  const DWORD held = std::exchange(cookie, 0);
  ComPtr<IConnectionPoint> where;
  where.Swap(point);
  if (where && held != 0) where->Unadvise(held);
}

}  // namespace

HRESULT KaSoftStatusManager::FinalConstruct() noexcept {
  const ATOM windowClass = WindowClass(&WindowProc);
  if (windowClass) {
    window_.reset(::CreateWindowExW(WS_EX_TOOLWINDOW, MAKEINTATOM(windowClass), nullptr, WS_POPUP,
                                    0, 0, 0, 0, nullptr, nullptr, Module::Handle(), nullptr));
  }
  if (window_) {
    ::SetWindowLongPtrW(window_.get(), GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  }
  return S_OK;
}

KaSoftStatusManager::~KaSoftStatusManager() {
  if (window_) {
    if (warmUpTimer_) ::KillTimer(window_.get(), warmUpTimer_);
    ::SetWindowLongPtrW(window_.get(), GWLP_USERDATA, 0);
    window_.reset();
  }
  warmUpTimer_ = 0;
  ReleaseSubObjects();
  events_.ReleaseAll();
}

LRESULT CALLBACK KaSoftStatusManager::WindowProc(HWND window, UINT message, WPARAM wParam,
                                                 LPARAM lParam) noexcept {
  if (message == WM_TIMER) {
    auto* self = reinterpret_cast<KaSoftStatusManager*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self) self->OnTimer(static_cast<UINT_PTR>(wParam));
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

void KaSoftStatusManager::OnTimer(UINT_PTR id) noexcept {
  // A timer message still queued when Detach stopped the timer finds no
  // warm-up pending: a detached facade builds nothing ahead of time.
  if (id != kWarmUpTimerId || warmUpTimer_ == 0) return;
  // The builds may call out to the host, which might let the facade go.
  ComPtr<IKaSoftStatusManager> self(this);
  ::KillTimer(window_.get(), kWarmUpTimerId);
  warmUpTimer_ = 0;
  if (!commonSoft_) EnsureCommonSoft();
  if (!catalog_) EnsureCatalog();
}

bool KaSoftStatusManager::EnsureCommonSoft() noexcept {
  WaitCursor wait;
  // Loads the rules and takes the registry inventory: the slow part.
  ComPtr<KaCommonSoft> common;
  if (SUCCEEDED(MakeComObject(common))) commonSoft_ = common;
  return commonSoft_ != nullptr;
}

bool KaSoftStatusManager::EnsureCatalog() noexcept {
  if (catalog_) return true;
  WaitCursor wait;
  ComPtr<KaSoftwareCatelog> catalog;
  if (FAILED(MakeComObject(catalog))) return false;
  catalog_ = catalog;
  // Kept even when nothing could be read.
  catalog_->Load();
  return true;
}

void KaSoftStatusManager::EnsureTypeStorage() noexcept {
  if (typeStorage_) return;
  // Its construction asks the published status manager (normally this one)
  // for the catalog's main types.
  ComPtr<KaSoftTypeStorage> storage;
  if (FAILED(MakeComObject(storage))) return;
  typeStorage_ = storage;
  std::wstring folder;
  if (SUCCEEDED(Guarded([&]() -> HRESULT {
        folder = KaSoftTypeStorage::DefaultFolder();
        return S_OK;
      }))) {
    storage->Scan(folder);
  }
}

int KaSoftStatusManager::EnsureRecommendations() noexcept {
  ComPtr<KaRecommendSoft> recommendations;
  if (FAILED(MakeComObject(recommendations))) return 0;
  recommendations_ = recommendations;
  return recommendations->LoadRecommendations();
}

// --- IKaSoftStatusManager ------------------------------------------------------

STDMETHODIMP KaSoftStatusManager::GetSoftInstallStatus(BSTR bstrSoftName,
                                                       kaSoftInstallStatus* lpInstallStatus,
                                                       BSTR* lpbstrCurVersion,
                                                       BSTR* lpbstrCurDisplayName) noexcept {
  if (!lpInstallStatus) return E_POINTER;
  if (!commonSoft_ && !EnsureCommonSoft()) return E_FAIL;
  const ComPtr<IKaCommonSoft> common = commonSoft_;
  return common->GetSoftVersion(bstrSoftName, lpInstallStatus, lpbstrCurVersion,
                                lpbstrCurDisplayName);
}

STDMETHODIMP KaSoftStatusManager::GetSoftInstallStatusWithVer(BSTR bstrSoftName,
                                                              BSTR bstrCurVersion,
                                                              kaSoftInstallStatus* lpInstallStatus,
                                                              BSTR* lpbstrCurName) noexcept {
  if (!bstrSoftName || !bstrCurVersion || !lpInstallStatus) return E_POINTER;
  if (!commonSoft_ && !EnsureCommonSoft()) return E_FAIL;
  const ComPtr<IKaCommonSoft> common = commonSoft_;
  return common->QuerySoftInstallStatusWithVersion(bstrSoftName, bstrCurVersion, lpInstallStatus,
                                                   lpbstrCurName);
}

STDMETHODIMP KaSoftStatusManager::GetSoftTypeStorage(
    IKaSoftTypeStorage** lplpSoftTypeStorage) noexcept {
  if (!lplpSoftTypeStorage) return E_POINTER;
  *lplpSoftTypeStorage = nullptr;
  EnsureTypeStorage();
  if (!typeStorage_) return E_FAIL;
  typeStorage_->QueryInterface(IID_PPV_ARGS(lplpSoftTypeStorage));
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
  const ComPtr<IKaGetIconStatus> icons = iconRequest_;
  return icons->GetIconStatus(bstrLocalPath, bstrUrl);
}

STDMETHODIMP KaSoftStatusManager::RefreshAllInstalledStatus() noexcept {
  if (!commonSoft_) return S_FALSE;
  const ComPtr<IKaCommonSoft> common = commonSoft_;
  return common->RefreshInstalledInfo();
}

STDMETHODIMP KaSoftStatusManager::RefreshOneInstalledStatus(BSTR bstrSoftName) noexcept {
  if (!commonSoft_) return S_FALSE;
  const ComPtr<IKaCommonSoft> common = commonSoft_;
  return common->RefreshOneInstalledInfo(bstrSoftName);
}

STDMETHODIMP KaSoftStatusManager::RefreshIdentifyInfo() noexcept {
  if (!commonSoft_) return S_FALSE;
  const ComPtr<IKaCommonSoft> common = commonSoft_;
  return common->RefreshIdentifyInfo();
}

STDMETHODIMP KaSoftStatusManager::GetUninstallString(BSTR bstrSoftName, BSTR bstrSoftVersion,
                                                     BSTR* lpbstrUninstallString) noexcept {
  if (!bstrSoftName || !bstrSoftVersion || !lpbstrUninstallString) return E_POINTER;
  if (!commonSoft_ && !EnsureCommonSoft()) return E_FAIL;
  const ComPtr<IKaCommonSoft> common = commonSoft_;
  return common->GetUninstallString(bstrSoftName, bstrSoftVersion, lpbstrUninstallString);
}

STDMETHODIMP KaSoftStatusManager::GetStartupExeString(BSTR bstrSoftName,
                                                      BSTR* lpbstrStartupExe) noexcept {
  if (!commonSoft_ && !EnsureCommonSoft()) return E_FAIL;
  const ComPtr<IKaCommonSoft> common = commonSoft_;
  return common->GetStartupExeString(bstrSoftName, lpbstrStartupExe);
}

STDMETHODIMP KaSoftStatusManager::GetSoftwareCatelog(
    IKaSoftwareCatelog** lplpSoftwareCatelog) noexcept {
  if (!lplpSoftwareCatelog) return E_POINTER;
  *lplpSoftwareCatelog = nullptr;
  if (!EnsureCatalog()) return E_FAIL;
  *lplpSoftwareCatelog = catalog_.Get();
  catalog_->AddRef();
  return S_OK;
}

STDMETHODIMP KaSoftStatusManager::GetSoftwareUpdater(
    IKaSoftUpdater** lplpSoftwareUpdater) noexcept {
  if (!lplpSoftwareUpdater) return E_POINTER;
  *lplpSoftwareUpdater = nullptr;
  if (!updater_) {
    ComPtr<KaSoftUpdater> updater;
    if (FAILED(MakeComObject(updater))) return E_OUTOFMEMORY;
    updater_ = updater;
  }
  return updater_->QueryInterface(IID_PPV_ARGS(lplpSoftwareUpdater));
}

STDMETHODIMP KaSoftStatusManager::RefreshRecmdSoft() noexcept {
  if (!recommendations_) return S_FALSE;
  const ComPtr<KaRecommendSoft> recommendations = recommendations_;
  // The load answers 1 or 0, both non-negative: S_FALSE either way, and a
  // failed load keeps the lists read before.
  return recommendations->LoadRecommendations() >= 0 ? S_FALSE : S_OK;
}

STDMETHODIMP KaSoftStatusManager::GetRecommendSoft(IKaRecommendSoft** lplpRecmdSoft) noexcept {
  if (!lplpRecmdSoft) return E_POINTER;
  *lplpRecmdSoft = nullptr;
  // Handed out even when its file could not be read.
  if (!recommendations_) EnsureRecommendations();
  if (!recommendations_) return E_FAIL;
  return recommendations_->QueryInterface(IID_PPV_ARGS(lplpRecmdSoft));
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
  // Attached again without a Detach: the earlier subscription would be left
  // with the host holding this facade for good.
  CancelHostSubscription();
  SetHostReference(host);
  const ComPtr<IKaHostServices> current = HostReference();
  if (current) {
    Subscribe(current.Get(), __uuidof(IKaServiceEvents), static_cast<IKaServiceEvents*>(this),
              hostEventsPoint_, hostEventsCookie_);
  }
  ComPtr<IKaGetIconStatus> icons;
  if (SUCCEEDED(MakeKaGetIconStatus(icons)) && icons) iconRequest_ = std::move(icons);
  // No window, no timer: the slow objects are then built by the first query.
  if (window_) warmUpTimer_ = ::SetTimer(window_.get(), kWarmUpTimerId, kWarmUpDelayMs, nullptr);
  if (current) {
    current->RegisterService(__uuidof(IKaSoftStatusManager),
                             static_cast<IKaSoftStatusManager*>(this));
  }
  return S_FALSE;
}

STDMETHODIMP KaSoftStatusManager::Detach() noexcept {
  if (warmUpTimer_ != 0) {
    ::KillTimer(window_.get(), warmUpTimer_);
    warmUpTimer_ = 0;
  }
  if (const ComPtr<IKaHostServices> host = HostReference()) {
    host->RevokeService(__uuidof(IKaSoftStatusManager));
  }
  CancelHostSubscription();
  ReleaseSubObjects();
  ClearHostReference();
  return S_OK;
}

void KaSoftStatusManager::CancelHostSubscription() noexcept {
  Unsubscribe(hostEventsPoint_, hostEventsCookie_);
}

void KaSoftStatusManager::CancelNotifySubscription() noexcept {
  Unsubscribe(notifyEventsPoint_, notifyEventsCookie_);
}

void KaSoftStatusManager::ReleaseSubObjects() noexcept {
  ReleaseField(typeStorage_);
  ReleaseField(updater_);
  ReleaseField(recommendations_);
  ReleaseField(iconRequest_);
  ReleaseField(commonSoft_);
  ReleaseField(catalog_);
}

// --- IKaServiceEvents --------------------------------------------------------------

STDMETHODIMP KaSoftStatusManager::OnServiceEvent(LONG kind, const GUID* serviceId,
                                                 IUnknown* service) noexcept {
  if (!serviceId || *serviceId != __uuidof(IKaNotifyService)) return S_OK;
  if (kind == kServiceAdded) {
    // One cookie only: a second announcement replaces the subscription.
    CancelNotifySubscription();
    Subscribe(service, __uuidof(IKaNotifyEvents), static_cast<IKaNotifyEvents*>(this),
              notifyEventsPoint_, notifyEventsCookie_);
  } else if (kind == kServiceRemoved && notifyEventsCookie_ != 0) {
    CancelNotifySubscription();
  }
  return S_OK;
}

// --- IKaNotifyEvents ---------------------------------------------------------------

STDMETHODIMP KaSoftStatusManager::OnNotify(LONG category, LONG code, LONG param) noexcept {
  if (category != kCategoryData || code != kCodeDataChanged) return S_OK;
  // Without a data service the flag counts as 0: only the rules are read again.
  ComPtr<IKaDataService> data;
  LONG flag = 0;
  if (SUCCEEDED(GetHostService(__uuidof(IKaDataService), data)) && data) {
    if (FAILED(data->GetReloadFlag(&flag))) flag = 0;
  }
  if (flag == 1) {
    ReloadAntivirusRules();
    if (const ComPtr<IKaSoftwareCatelog> catalog = catalog_) catalog->Load();
  }
  if (const ComPtr<IKaCommonSoft> common = commonSoft_) common->RefreshIdentifyInfo();
  return S_OK;
}

HRESULT CreateKaSoftStatusManager(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaSoftStatusManager>(outer, riid, ppv);
}

}  // namespace tessary
