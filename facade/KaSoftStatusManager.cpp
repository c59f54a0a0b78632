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

ComPtr<IKaCommonSoft> KaSoftStatusManager::EnsureCommonSoft() noexcept {
  WaitCursor wait;
  // Loads the rules and takes the registry inventory: the slow part.
  ComPtr<KaCommonSoft> common;
  if (SUCCEEDED(MakeComObject(common))) commonSoft_ = common;
  return commonSoft_;
}

ComPtr<IKaSoftwareCatelog> KaSoftStatusManager::EnsureCatalog() noexcept {
  if (catalog_) return catalog_;
  WaitCursor wait;
  ComPtr<KaSoftwareCatelog> made;
  if (FAILED(MakeComObject(made))) return nullptr;
  const ComPtr<IKaSoftwareCatelog> catalog = made;
  catalog_ = catalog;
  // Kept even when nothing could be read.
  catalog->Load();
  // The load asks the host for its paths; the host may have detached this
  // facade meanwhile, which took the catalog away.
  return catalog_;
}

ComPtr<KaSoftTypeStorage> KaSoftStatusManager::EnsureTypeStorage() noexcept {
  if (typeStorage_) return typeStorage_;
  // Its construction asks the published status manager (normally this one)
  // for the catalog's main types: a host that asks for the type storage from
  // inside that call gets none, rather than a construction without end.
  if (makingTypeStorage_) return nullptr;
  ComPtr<KaSoftTypeStorage> storage;
  makingTypeStorage_ = true;
  const HRESULT made = MakeComObject(storage);
  makingTypeStorage_ = false;
  if (FAILED(made)) return typeStorage_;
  // That went through the host, which may have made one meanwhile.
  if (typeStorage_) return typeStorage_;
  typeStorage_ = storage;
  std::wstring folder;
  if (SUCCEEDED(Guarded([&]() -> HRESULT {
        folder = KaSoftTypeStorage::DefaultFolder();
        return S_OK;
      }))) {
    storage->Scan(folder);
  }
  return storage;
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
  const ComPtr<IKaSoftStatusManager> keep(this);
  const ComPtr<IKaCommonSoft> common = commonSoft_ ? commonSoft_ : EnsureCommonSoft();
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
  const ComPtr<IKaCommonSoft> common = commonSoft_ ? commonSoft_ : EnsureCommonSoft();
  if (!common) return E_FAIL;
  return common->QuerySoftInstallStatusWithVersion(bstrSoftName, bstrCurVersion, lpInstallStatus,
                                                   lpbstrCurName);
}

STDMETHODIMP KaSoftStatusManager::GetSoftTypeStorage(
    IKaSoftTypeStorage** lplpSoftTypeStorage) noexcept {
  if (!lplpSoftTypeStorage) return E_POINTER;
  *lplpSoftTypeStorage = nullptr;
  const ComPtr<IKaSoftStatusManager> keep(this);
  const ComPtr<KaSoftTypeStorage> storage = EnsureTypeStorage();
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
  const ComPtr<IKaSoftStatusManager> keep(this);
  const ComPtr<IKaCommonSoft> common = commonSoft_ ? commonSoft_ : EnsureCommonSoft();
  if (!common) return E_FAIL;
  return common->GetUninstallString(bstrSoftName, bstrSoftVersion, lpbstrUninstallString);
}

STDMETHODIMP KaSoftStatusManager::GetStartupExeString(BSTR bstrSoftName,
                                                      BSTR* lpbstrStartupExe) noexcept {
  const ComPtr<IKaSoftStatusManager> keep(this);
  const ComPtr<IKaCommonSoft> common = commonSoft_ ? commonSoft_ : EnsureCommonSoft();
  if (!common) return E_FAIL;
  return common->GetStartupExeString(bstrSoftName, lpbstrStartupExe);
}

STDMETHODIMP KaSoftStatusManager::GetSoftwareCatelog(
    IKaSoftwareCatelog** lplpSoftwareCatelog) noexcept {
  if (!lplpSoftwareCatelog) return E_POINTER;
  *lplpSoftwareCatelog = nullptr;
  const ComPtr<IKaSoftStatusManager> keep(this);
  ComPtr<IKaSoftwareCatelog> catalog = EnsureCatalog();
  if (!catalog) return E_FAIL;
  *lplpSoftwareCatelog = catalog.Detach();
  return S_OK;
}

STDMETHODIMP KaSoftStatusManager::GetSoftwareUpdater(
    IKaSoftUpdater** lplpSoftwareUpdater) noexcept {
  if (!lplpSoftwareUpdater) return E_POINTER;
  *lplpSoftwareUpdater = nullptr;
  const ComPtr<IKaSoftStatusManager> keep(this);
  if (!updater_) {
    ComPtr<KaSoftUpdater> updater;
    if (FAILED(MakeComObject(updater))) return E_OUTOFMEMORY;
    if (!updater_) updater_ = updater;
  }
  const ComPtr<IKaSoftUpdater> updater = updater_;
  return updater->QueryInterface(IID_PPV_ARGS(lplpSoftwareUpdater));
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
  const ComPtr<IKaSoftStatusManager> keep(this);
  // Handed out even when its file could not be read.
  if (!recommendations_) EnsureRecommendations();
  const ComPtr<KaRecommendSoft> recommendations = recommendations_;
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
  const unsigned epoch = ++linkEpoch_;
  const auto superseded = [&] { return linkEpoch_ != epoch; };
  // Attached again without a Detach: the earlier subscription would be left
  // with the host holding this facade for good.
  CancelHostSubscription();
  if (superseded()) return S_FALSE;
  SetHostReference(host);
  if (superseded()) return S_FALSE;
  const ComPtr<IKaHostServices> current = HostReference();
  if (current) {
    SubscribeHostEvents(current.Get(), epoch);
    if (superseded()) return S_FALSE;
    // A notification service registered before now is never announced to
    // this facade: join it as its announcement would.
    ComPtr<IUnknown> notify;
    if (SUCCEEDED(current->GetService(__uuidof(IKaNotifyService), notify.GetAddressOf())) &&
        notify && !superseded()) {
      JoinNotifyService(notify.Get());
    }
    if (superseded()) return S_FALSE;
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
  const ComPtr<IKaSoftStatusManager> keep(this);
  const unsigned epoch = ++linkEpoch_;
  // An Attach run from inside one of the calls below stands: this Detach
  // is over then.
  const auto superseded = [&] { return linkEpoch_ != epoch; };
  if (warmUpTimer_ != 0) {
    ::KillTimer(window_.get(), warmUpTimer_);
    warmUpTimer_ = 0;
  }
  if (const ComPtr<IKaHostServices> host = HostReference()) {
    host->RevokeService(__uuidof(IKaSoftStatusManager));
    if (superseded()) return S_OK;
  }
  CancelHostSubscription();
  if (superseded()) return S_OK;
  ReleaseSubObjects();
  if (superseded()) return S_OK;
  ClearHostReference();
  return S_OK;
}

void KaSoftStatusManager::SubscribeHostEvents(IKaHostServices* host, unsigned epoch) noexcept {
  ComPtr<IConnectionPoint> point;
  if (FAILED(FindPoint(host, __uuidof(IKaServiceEvents), point)) || linkEpoch_ != epoch) return;
  DWORD made = 0;
  if (FAILED(point->Advise(static_cast<IKaServiceEvents*>(this), &made)) || made == 0) return;
  // A Detach or Attach run from inside Advise has settled the link already.
  if (linkEpoch_ != epoch || hostEventsCookie_ != 0) {
    point->Unadvise(made);
    return;
  }
  hostEventsPoint_ = std::move(point);
  hostEventsCookie_ = made;
}

void KaSoftStatusManager::CancelHostSubscription() noexcept {
  const DWORD held = std::exchange(hostEventsCookie_, 0);
  ComPtr<IConnectionPoint> point;
  point.Swap(hostEventsPoint_);
  if (point && held != 0) point->Unadvise(held);
}

bool KaSoftStatusManager::IsNotifySink(IUnknown* sink) noexcept {
  return sink && (sink == static_cast<IKaNotifyEvents*>(this) || sink == InnerUnknown());
}

bool KaSoftStatusManager::HoldsNotifyCookie(IConnectionPoint* point, DWORD cookie) noexcept {
  ComPtr<IEnumConnections> connections;
  // A point that cannot list its sinks is taken at its word.
  if (FAILED(point->EnumConnections(connections.GetAddressOf())) || !connections) return true;
  bool ours = false;
  CONNECTDATA data{};
  while (!ours && connections->Next(1, &data, nullptr) == S_OK) {
    ours = data.dwCookie == cookie && IsNotifySink(data.pUnk);
    if (data.pUnk) data.pUnk->Release();
  }
  return ours;
}

void KaSoftStatusManager::JoinNotifyService(IUnknown* service) noexcept {
  ComPtr<IConnectionPoint> point;
  if (!service || FAILED(FindPoint(service, __uuidof(IKaNotifyEvents), point))) return;
  // Never two subscriptions to one service. A cookie this service does not
  // know is from a service that went without a word, or from an older one
  // that keeps its sinks until it goes: it is replaced.
  const DWORD held = notifyEventsCookie_;
  if (held != 0 && HoldsNotifyCookie(point.Get(), held)) return;
  if (notifyEventsCookie_ != held) return;
  DWORD made = 0;
  if (FAILED(point->Advise(static_cast<IKaNotifyEvents*>(this), &made)) || made == 0) return;
  // Subscribed from inside Advise already: that one stays.
  if (notifyEventsCookie_ != held) {
    point->Unadvise(made);
    return;
  }
  notifyEventsCookie_ = made;
}

void KaSoftStatusManager::LeaveNotifyService(IUnknown* service) noexcept {
  const DWORD held = notifyEventsCookie_;
  ComPtr<IConnectionPoint> point;
  if (!service || held == 0 || FAILED(FindPoint(service, __uuidof(IKaNotifyEvents), point))) {
    return;
  }
  // The cookie of another service's subscription means nothing here.
  if (!HoldsNotifyCookie(point.Get(), held) || notifyEventsCookie_ != held) return;
  notifyEventsCookie_ = 0;
  point->Unadvise(held);
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
  const ComPtr<IKaSoftStatusManager> keep(this);
  if (kind == kServiceAdded) {
    JoinNotifyService(service);
  } else if (kind == kServiceRemoved) {
    LeaveNotifyService(service);
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
    if (const ComPtr<IKaSoftwareCatelog> catalog = catalog_) catalog->Load();
  }
  if (const ComPtr<IKaCommonSoft> common = commonSoft_) common->RefreshIdentifyInfo();
  return S_OK;
}

HRESULT CreateKaSoftStatusManager(IUnknown* outer, REFIID riid, void** ppv) noexcept {
  return CreateComInstance<KaSoftStatusManager>(outer, riid, ppv);
}

}  // namespace tessary
