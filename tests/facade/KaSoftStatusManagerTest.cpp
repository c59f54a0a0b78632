// The status manager through the DLL's class object, attached to our host: a
// private copy of the DLL reads its own KaData; the registry is sandboxed.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>
#include <string_view>
#include <vector>

#include "TessaryLib.h"
#include "host/Host.h"
#include "support/PlainHost.h"
#include "support/TestSupport.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;

ULONG References(IUnknown* object) {
  object->AddRef();
  return object->Release();
}

bool SameObject(IUnknown* a, IUnknown* b) {
  ComPtr<IUnknown> x, y;
  return a && b && SUCCEEDED(a->QueryInterface(IID_PPV_ARGS(&x))) &&
         SUCCEEDED(b->QueryInterface(IID_PPV_ARGS(&y))) && x.Get() == y.Get();
}

// Dispatches this thread's messages until `done` holds or `ms` pass.
template <typename Done>
bool PumpUntil(DWORD ms, Done done) {
  const ULONGLONG end = ::GetTickCount64() + ms;
  for (;;) {
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
    if (done()) return true;
    const ULONGLONG now = ::GetTickCount64();
    if (now >= end) return false;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
  }
}
void Pump(DWORD ms) {
  PumpUntil(ms, [] { return false; });
}

BOOL CALLBACK KeepFacadeWindow(HWND window, LPARAM out) {
  wchar_t name[64] = {};
  ::GetClassNameW(window, name, 64);
  if (!std::wstring_view(name).starts_with(L"Tessary.StatusManager.")) return TRUE;
  *reinterpret_cast<HWND*>(out) = window;
  return FALSE;
}

HWND FindFacadeWindow() {
  HWND found = nullptr;
  ::EnumThreadWindows(::GetCurrentThreadId(), &KeepFacadeWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

// A sink on the stack that answers the event interface only when told to.
struct Sink final : IUnknown {
  explicit Sink(bool answers) : answers(answers) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    const bool ok = riid == IID_IUnknown || (answers && riid == DIID__IKaSoftStatusManagerEvents);
    *ppv = ok ? this : nullptr;
    if (ok) AddRef();
    return ok ? S_OK : E_NOINTERFACE;
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
  STDMETHODIMP_(ULONG) Release() override { return --refs; }
  bool answers;
  ULONG refs = 1;
};

constexpr char kRules[] =
    "<vedad><soft name='Foo'><regkey displayname='Foo App' policy='0'>FooKey</regkey></soft>"
    "</vedad>";
constexpr char kRulesWithBar[] =
    "<vedad><soft name='Foo'><regkey displayname='Foo App' policy='0'>FooKey</regkey></soft>"
    "<soft name='Bar'><regkey policy='0'>BarKey</regkey></soft></vedad>";
constexpr char kAntivirus[] =
    "<r><KaAntivirus><av name='FirstAV' displayname='First Antivirus'><k value='FirstAVKey'/>"
    "</av></KaAntivirus></r>";
constexpr char kRecommendOne[] =
    "<new_onekey><funtionlist><c><name>Tools</name></c></funtionlist><softlist/></new_onekey>";
constexpr char kRecommendTwo[] =
    "<new_onekey><funtionlist><c><name>Tools</name></c><c><name>Games</name></c></funtionlist>"
    "<softlist/></new_onekey>";

class KaSoftStatusManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.ok());
    ASSERT_TRUE(copy_.ok() && dll_.ok());
    ASSERT_TRUE(CreateDirectories(copy_.Join(L"KaData\\SoftType")));
    WriteData(L"KaSoftwareVerIdentify.xml", kRules);
    WriteData(L"KaAntivirusIdentify.xml", kAntivirus);
    WriteData(L"KaRecommendSoft.xml", kRecommendOne);
    ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"FooKey",
                                  {{L"DisplayName", L"Foo"},
                                   {L"DisplayVersion", L"1.2"},
                                   {L"UninstallString", L"C:\\Foo\\uninst.exe"}}));
    ASSERT_HRESULT_SUCCEEDED(host_.Start());
    baseline_ = References(host_.Services());
    ASSERT_EQ(dll_.Create(CLSID_KaSoftStatusManager, manager_.GetAddressOf()), S_OK);
    ASSERT_HRESULT_SUCCEEDED(manager_.As(&plugin_));
  }

  void TearDown() override {
    if (plugin_) plugin_->Detach();
    host_.Shutdown();
    plugin_.Reset();
    manager_.Reset();
    EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
  }

  void WriteData(const wchar_t* name, std::string_view bytes) {
    ASSERT_TRUE(copy_.WriteData(name, bytes));
  }

  kaSoftInstallStatus Status(const wchar_t* name) {
    kaSoftInstallStatus status = kaSoftInstallStatus_unknown;
    EXPECT_EQ(manager_->GetSoftInstallStatus(MakeBstr(name).Get(), &status, nullptr, nullptr),
              S_OK);
    return status;
  }
  bool CommonSoftExists() { return manager_->RefreshAllInstalledStatus() != S_FALSE; }
  int CatalogLoads() { return host_.Data().DataFilePathCalls() / 2; }

  ComPtr<IConnectionPoint> HostPoint(IUnknown* container, REFIID iid) {
    ComPtr<IConnectionPointContainer> points;
    ComPtr<IConnectionPoint> point;
    EXPECT_HRESULT_SUCCEEDED(container->QueryInterface(IID_PPV_ARGS(&points)));
    if (points) {
      EXPECT_EQ(points->FindConnectionPoint(iid, &point), S_OK);
    }
    return point;
  }
  static std::vector<CONNECTDATA> Connections(IConnectionPoint* point) {
    std::vector<CONNECTDATA> all;
    ComPtr<IEnumConnections> connections;
    EXPECT_EQ(point->EnumConnections(&connections), S_OK);
    CONNECTDATA data;
    while (connections && connections->Next(1, &data, nullptr) == S_OK) {
      all.push_back(data);
      data.pUnk->Release();
    }
    return all;
  }

  RegistrySandbox sandbox_;
  PrivateDllCopy copy_;
  TessaryDll dll_{copy_.path()};
  host::Host host_;
  ULONG baseline_ = 0;
  ComPtr<IKaSoftStatusManager> manager_;
  ComPtr<IKaHostPlugin> plugin_;
};

TEST_F(KaSoftStatusManagerTest, MissingArgumentsAreRefusedAndRefreshesCreateNothing) {
  kaSoftInstallStatus status{};
  UniqueBstr name = MakeBstr(L"Foo"), version = MakeBstr(L"1.2"), out;
  EXPECT_EQ(manager_->GetSoftInstallStatus(name.Get(), nullptr, Out(out), Out(out)), E_POINTER);
  EXPECT_EQ(manager_->GetSoftInstallStatusWithVer(name.Get(), nullptr, &status, nullptr),
            E_POINTER);
  EXPECT_EQ(manager_->GetSoftInstallStatusWithVer(nullptr, version.Get(), &status, nullptr),
            E_POINTER);
  EXPECT_EQ(manager_->GetUninstallString(name.Get(), nullptr, Out(out)), E_POINTER);
  EXPECT_EQ(manager_->GetUninstallString(name.Get(), version.Get(), nullptr), E_POINTER);
  EXPECT_EQ(manager_->GetAntivirusInstallStatus(nullptr, nullptr, nullptr), E_POINTER);
  EXPECT_EQ(manager_->GetSoftTypeStorage(nullptr), E_POINTER);
  EXPECT_EQ(manager_->GetSoftwareCatelog(nullptr), E_POINTER);
  EXPECT_EQ(manager_->GetSoftwareUpdater(nullptr), E_POINTER);
  EXPECT_EQ(manager_->GetRecommendSoft(nullptr), E_POINTER);
  EXPECT_EQ(manager_->RefreshOneInstalledStatus(name.Get()), S_FALSE);
  EXPECT_EQ(manager_->RefreshIdentifyInfo(), S_FALSE);
  EXPECT_EQ(manager_->RefreshRecmdSoft(), S_FALSE);
  EXPECT_EQ(manager_->RefreshAllInstalledStatus(), S_FALSE);
  // No icon request object before Attach: the icon counts as missing.
  EXPECT_EQ(manager_->GetIcons(MakeBstr(copy_.path().c_str()).Get(), nullptr), E_FAIL);
}

TEST_F(KaSoftStatusManagerTest, StatusQueriesGoToOneCommonSoftObjectUnderTheWaitCursor) {
  const HCURSOR cross = ::LoadCursorW(nullptr, IDC_CROSS);
  ::SetCursor(cross);
  kaSoftInstallStatus status{};
  UniqueBstr version, displayName;
  EXPECT_EQ(manager_->GetSoftInstallStatus(MakeBstr(L"foo").Get(), &status, Out(version),
                                           Out(displayName)),
            S_OK);
  EXPECT_EQ(::GetCursor(), cross);
  EXPECT_EQ(status, kaSoftInstallStatus_installed);
  EXPECT_EQ(Text(version), L"1.2");
  EXPECT_EQ(Text(displayName), L"Foo App");
  EXPECT_EQ(Status(L"Unknown"), kaSoftInstallStatus_noIdentifyInfo);

  EXPECT_EQ(manager_->GetSoftInstallStatusWithVer(MakeBstr(L"Foo").Get(), MakeBstr(L"1.2").Get(),
                                                  &status, nullptr),
            S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_installed);
  UniqueBstr uninstall;
  EXPECT_EQ(
      manager_->GetUninstallString(MakeBstr(L"Foo").Get(), MakeBstr(L"1.2").Get(), Out(uninstall)),
      S_OK);
  EXPECT_EQ(Text(uninstall), L"C:\\Foo\\uninst.exe");

  // The same object is refreshed in place: new rules are read only on request.
  WriteData(L"KaSoftwareVerIdentify.xml", kRulesWithBar);
  EXPECT_EQ(Status(L"Bar"), kaSoftInstallStatus_noIdentifyInfo);
  EXPECT_EQ(manager_->RefreshIdentifyInfo(), S_OK);
  EXPECT_EQ(Status(L"Bar"), kaSoftInstallStatus_noInstall);
  EXPECT_EQ(manager_->RefreshOneInstalledStatus(MakeBstr(L"Foo").Get()), S_OK);
  EXPECT_EQ(manager_->RefreshAllInstalledStatus(), S_OK);
}

TEST_F(KaSoftStatusManagerTest, EachObjectIsMadeOnceUntilDetach) {
  plugin_->Attach(host_.Services());
  ComPtr<IKaSoftwareCatelog> catalog, catalogAgain;
  ComPtr<IKaSoftUpdater> updater, updaterAgain;
  ComPtr<IKaRecommendSoft> recommend, recommendAgain;
  ComPtr<IKaSoftTypeStorage> types, typesAgain;
  ASSERT_EQ(manager_->GetSoftwareCatelog(&catalog), S_OK);
  ASSERT_EQ(manager_->GetSoftwareCatelog(&catalogAgain), S_OK);
  ASSERT_EQ(manager_->GetSoftwareUpdater(&updater), S_OK);
  ASSERT_EQ(manager_->GetSoftwareUpdater(&updaterAgain), S_OK);
  ASSERT_EQ(manager_->GetRecommendSoft(&recommend), S_OK);
  ASSERT_EQ(manager_->GetRecommendSoft(&recommendAgain), S_OK);
  ASSERT_EQ(manager_->GetSoftTypeStorage(&types), S_OK);
  ASSERT_EQ(manager_->GetSoftTypeStorage(&typesAgain), S_OK);
  EXPECT_EQ(catalog.Get(), catalogAgain.Get());
  EXPECT_EQ(updater.Get(), updaterAgain.Get());
  EXPECT_EQ(recommend.Get(), recommendAgain.Get());
  EXPECT_EQ(types.Get(), typesAgain.Get());
  EXPECT_EQ(CatalogLoads(), 1);  // the type storage reused the catalog

  plugin_->Detach();
  ComPtr<IKaSoftwareCatelog> catalogAfter;
  ComPtr<IKaSoftUpdater> updaterAfter;
  ASSERT_EQ(manager_->GetSoftwareCatelog(&catalogAfter), S_OK);
  ASSERT_EQ(manager_->GetSoftwareUpdater(&updaterAfter), S_OK);
  EXPECT_NE(catalogAfter.Get(), catalog.Get());
  EXPECT_NE(updaterAfter.Get(), updater.Get());
}

TEST_F(KaSoftStatusManagerTest, RecommendationsReloadInPlaceAndKeepWhatAFailedLoadCannotRead) {
  ComPtr<IKaRecommendSoft> recommend;
  ASSERT_EQ(manager_->GetRecommendSoft(&recommend), S_OK);
  LONG count = -1;
  EXPECT_EQ(recommend->GetCount(&count), S_OK);
  EXPECT_EQ(count, 1);
  WriteData(L"KaRecommendSoft.xml", kRecommendTwo);
  EXPECT_EQ(manager_->RefreshRecmdSoft(), S_FALSE);
  EXPECT_EQ(recommend->GetCount(&count), S_OK);
  EXPECT_EQ(count, 2);
  ASSERT_TRUE(::DeleteFileW(copy_.Join(L"KaData\\KaRecommendSoft.xml").c_str()));
  EXPECT_EQ(manager_->RefreshRecmdSoft(), S_FALSE);
  EXPECT_EQ(recommend->GetCount(&count), S_OK);
  EXPECT_EQ(count, 2);
  ComPtr<IKaRecommendSoft> same;
  ASSERT_EQ(manager_->GetRecommendSoft(&same), S_OK);
  EXPECT_EQ(same.Get(), recommend.Get());
}

TEST_F(KaSoftStatusManagerTest, AttachLinksToTheHostAndDetachUndoesEveryStep) {
  const ComPtr<IConnectionPoint> hostEvents =
      HostPoint(host_.Services(), __uuidof(IKaServiceEvents));
  ASSERT_TRUE(hostEvents);
  // Attached twice: one subscription, one host reference.
  for (int i = 0; i < 2; ++i) EXPECT_EQ(plugin_->Attach(host_.Services()), S_FALSE);
  EXPECT_EQ(References(host_.Services()), baseline_ + 1);
  const auto connections = Connections(hostEvents.Get());
  ASSERT_EQ(connections.size(), 1u);
  EXPECT_TRUE(SameObject(connections[0].pUnk, manager_.Get()));
  ComPtr<IUnknown> published;
  ASSERT_EQ(host_.Services()->GetService(__uuidof(IKaSoftStatusManager), &published), S_OK);
  EXPECT_TRUE(SameObject(published.Get(), manager_.Get()));
  published.Reset();
  EXPECT_EQ(manager_->GetIcons(MakeBstr(copy_.path().c_str()).Get(), nullptr), S_OK);
  EXPECT_TRUE(FindFacadeWindow());

  EXPECT_EQ(plugin_->Detach(), S_OK);
  EXPECT_EQ(References(host_.Services()), baseline_);
  EXPECT_TRUE(Connections(hostEvents.Get()).empty());
  EXPECT_HRESULT_FAILED(host_.Services()->GetService(__uuidof(IKaSoftStatusManager), &published));
  EXPECT_EQ(manager_->GetIcons(MakeBstr(copy_.path().c_str()).Get(), nullptr), E_FAIL);
  // Attach joined the notification service registered before it, once, and
  // that subscription alone outlives Detach.
  EXPECT_EQ(host_.Notifications().ListenerCount(), 1u);
  EXPECT_EQ(References(manager_.Get()), 3u);
}

TEST_F(KaSoftStatusManagerTest, TheWarmUpBuildsBothSlowObjectsOnceAfterItsDelay) {
  const HWND window = FindFacadeWindow();
  ASSERT_TRUE(window);
  EXPECT_EQ(::GetWindowLongW(window, GWL_STYLE) & WS_POPUP, static_cast<LONG>(WS_POPUP));
  EXPECT_TRUE(::GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
  EXPECT_FALSE(::IsWindowVisible(window));
  // Before Attach nothing is pending, not even for the warm-up's own id.
  ::PostMessageW(window, WM_TIMER, 800, 0);
  Pump(50);
  EXPECT_FALSE(CommonSoftExists());

  const ULONGLONG attached = ::GetTickCount64();
  plugin_->Attach(host_.Services());
  ::PostMessageW(window, WM_TIMER, 801, 0);
  Pump(1000);
  EXPECT_FALSE(CommonSoftExists());
  EXPECT_EQ(CatalogLoads(), 0);
  ASSERT_TRUE(PumpUntil(5000, [&] { return CatalogLoads() > 0; }));
  EXPECT_GE(::GetTickCount64() - attached, 1400u);
  EXPECT_TRUE(CommonSoftExists());
  Pump(1700);
  EXPECT_EQ(CatalogLoads(), 1);

  // Detached before it fires: no warm-up.
  plugin_->Detach();
  plugin_->Attach(host_.Services());
  plugin_->Detach();
  Pump(1800);
  EXPECT_FALSE(CommonSoftExists());
  EXPECT_EQ(CatalogLoads(), 1);
}

TEST_F(KaSoftStatusManagerTest, DataChangeNoticesReloadWhatExists) {
  plugin_->Attach(host_.Services());
  auto& notices = host_.Notifications();
  ComPtr<IKaNotifyService> notifyService(&notices);
  // Announced after Attach: the facade subscribes, once however often told.
  host_.Services()->RegisterService(__uuidof(IKaNotifyService), notifyService.Get());
  ComPtr<IKaServiceEvents> events;
  ASSERT_HRESULT_SUCCEEDED(manager_.As(&events));
  EXPECT_EQ(events->OnServiceEvent(1, &__uuidof(IKaNotifyService), notifyService.Get()), S_OK);
  EXPECT_EQ(notices.ListenerCount(), 1u);

  EXPECT_EQ(Status(L"Foo"), kaSoftInstallStatus_installed);
  ComPtr<IKaSoftwareCatelog> catalog;
  ASSERT_EQ(manager_->GetSoftwareCatelog(&catalog), S_OK);
  kaSoftInstallStatus status{};
  UniqueBstr name, display;
  EXPECT_EQ(manager_->GetAntivirusInstallStatus(&status, Out(name), Out(display)), S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_noInstall);
  WriteData(L"KaSoftwareVerIdentify.xml", kRulesWithBar);
  WriteData(L"KaAntivirusIdentify.xml",
            "<r><KaAntivirus><av name='SecondAV'><k value='FooKey' displayname='Second'/></av>"
            "</KaAntivirus></r>");
  notices.Notify(1, 1, 0);
  notices.Notify(2, 2, 0);
  EXPECT_EQ(Status(L"Bar"), kaSoftInstallStatus_noIdentifyInfo);

  // Flag 0: the rules only.
  notices.Notify(1, 2, 0);
  EXPECT_EQ(Status(L"Bar"), kaSoftInstallStatus_noInstall);
  EXPECT_EQ(CatalogLoads(), 1);
  EXPECT_EQ(manager_->GetAntivirusInstallStatus(&status, Out(name), Out(display)), S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_noInstall);

  // Flag 1: the antivirus rules and the existing catalog too.
  host_.Data().SetReloadFlag(1);
  notices.Notify(1, 2, 0);
  EXPECT_EQ(CatalogLoads(), 2);
  EXPECT_EQ(manager_->GetAntivirusInstallStatus(&status, Out(name), Out(display)), S_OK);
  EXPECT_EQ(status, kaSoftInstallStatus_installed);
  EXPECT_EQ(Text(display), L"Second");

  // Going away ends the subscription; the same event again changes nothing.
  host_.Services()->RevokeService(__uuidof(IKaNotifyService));
  EXPECT_EQ(notices.ListenerCount(), 0u);
  EXPECT_EQ(events->OnServiceEvent(2, &__uuidof(IKaNotifyService), notifyService.Get()), S_OK);
  EXPECT_EQ(events->OnServiceEvent(1, &__uuidof(IKaDataService), notifyService.Get()), S_OK);
  EXPECT_EQ(events->OnServiceEvent(1, nullptr, notifyService.Get()), S_OK);
  EXPECT_EQ(notices.ListenerCount(), 0u);
}

TEST_F(KaSoftStatusManagerTest, NoticesWithoutAHostNeitherCreateNorFail) {
  ComPtr<IKaNotifyEvents> notify;
  ASSERT_HRESULT_SUCCEEDED(manager_.As(&notify));
  EXPECT_EQ(notify->OnNotify(1, 2, 0), S_OK);
  EXPECT_FALSE(CommonSoftExists());
  EXPECT_EQ(Status(L"Bar"), kaSoftInstallStatus_noIdentifyInfo);
  WriteData(L"KaSoftwareVerIdentify.xml", kRulesWithBar);
  EXPECT_EQ(notify->OnNotify(1, 2, 0), S_OK);
  EXPECT_EQ(Status(L"Bar"), kaSoftInstallStatus_noInstall);
}

TEST_F(KaSoftStatusManagerTest, OneConnectionPointKeepsItsSinksAndItsContainer) {
  ComPtr<IConnectionPointContainer> container;
  ASSERT_HRESULT_SUCCEEDED(manager_.As(&container));
  ComPtr<IConnectionPoint> point, other;
  EXPECT_EQ(container->FindConnectionPoint(DIID__IKaSoftStatusManagerEvents, nullptr), E_POINTER);
  EXPECT_EQ(container->FindConnectionPoint(__uuidof(IKaServiceEvents), &other),
            CONNECT_E_NOCONNECTION);
  EXPECT_FALSE(other);
  ASSERT_EQ(container->FindConnectionPoint(DIID__IKaSoftStatusManagerEvents, &point), S_OK);
  IID iid{};
  EXPECT_EQ(point->GetConnectionInterface(&iid), S_OK);
  EXPECT_EQ(iid, DIID__IKaSoftStatusManagerEvents);
  ComPtr<IConnectionPointContainer> back;
  ASSERT_EQ(point->GetConnectionPointContainer(&back), S_OK);
  EXPECT_TRUE(SameObject(back.Get(), manager_.Get()));
  back.Reset();

  ComPtr<IEnumConnectionPoints> points;
  ASSERT_EQ(container->EnumConnectionPoints(&points), S_OK);
  IConnectionPoint* listed[2] = {};
  ULONG fetched = 0;
  EXPECT_EQ(points->Next(2, listed, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 1u);
  EXPECT_EQ(listed[0], point.Get());
  listed[0]->Release();
  points.Reset();

  Sink refuses(false), first(true), second(true);
  DWORD cookie = 99;
  EXPECT_EQ(point->Advise(nullptr, &cookie), E_POINTER);
  EXPECT_EQ(point->Advise(&first, nullptr), E_POINTER);
  EXPECT_EQ(point->Advise(&refuses, &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(refuses.refs, 1u);
  ASSERT_EQ(point->Advise(&first, &cookie), S_OK);
  EXPECT_EQ(cookie, 1u);
  ASSERT_EQ(point->Advise(&second, &cookie), S_OK);
  EXPECT_EQ(cookie, 2u);
  EXPECT_EQ(point->Unadvise(1), S_OK);
  EXPECT_EQ(first.refs, 1u);
  EXPECT_EQ(point->Unadvise(1), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point->Unadvise(0), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point->Unadvise(3), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(point->Advise(&first, &cookie), S_OK);
  EXPECT_EQ(cookie, 1u);  // the first empty position is reused
  const auto connections = Connections(point.Get());
  ASSERT_EQ(connections.size(), 2u);
  EXPECT_EQ(connections[0].pUnk, &first);
  EXPECT_EQ(connections[0].dwCookie, 1u);
  EXPECT_EQ(connections[1].pUnk, &second);
  EXPECT_EQ(connections[1].dwCookie, 2u);

  // The point keeps the facade alive; the facade's end releases the sinks.
  container.Reset();
  plugin_.Reset();
  manager_.Reset();
  EXPECT_EQ(dll_.CanUnloadNow(), S_FALSE);
  EXPECT_EQ(point->GetConnectionPointContainer(&back), S_OK);
  back.Reset();
  EXPECT_EQ(second.refs, 2u);
  point.Reset();
  EXPECT_EQ(first.refs, 1u);
  EXPECT_EQ(second.refs, 1u);
}

// The facade in a host written the usual way: nothing there breaks a
// reference cycle for it, so every object comes back only if the facade
// forms none.
class PlainHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.ok());
    ASSERT_TRUE(copy_.ok() && dll_.ok());
    ASSERT_TRUE(CreateDirectories(copy_.Join(L"KaData\\SoftType")));
    ASSERT_TRUE(copy_.WriteData(L"KaSoftwareVerIdentify.xml", kRules));
  }

  void Make(ComPtr<IKaSoftStatusManager>& manager, ComPtr<IKaHostPlugin>& plugin) {
    ASSERT_EQ(dll_.Create(CLSID_KaSoftStatusManager, manager.GetAddressOf()), S_OK);
    ASSERT_HRESULT_SUCCEEDED(manager.As(&plugin));
  }

  // Once the test and the host let go, the module can unload and no host
  // object is left.
  void ExpectAllGone() {
    EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
    EXPECT_EQ(PlainHostObjects(), 0);
  }

  void AskEverything(IKaSoftStatusManager* facade) {
    kaSoftInstallStatus status{};
    UniqueBstr one, two;
    EXPECT_EQ(facade->GetSoftInstallStatus(MakeBstr(L"Foo").Get(), &status, Out(one), Out(two)),
              S_OK);
    EXPECT_EQ(facade->GetSoftInstallStatusWithVer(MakeBstr(L"Foo").Get(), MakeBstr(L"1").Get(),
                                                  &status, Out(one)),
              S_OK);
    facade->GetUninstallString(MakeBstr(L"Foo").Get(), MakeBstr(L"1").Get(), Out(one));
    facade->GetStartupExeString(MakeBstr(L"Foo").Get(), Out(one));
    facade->GetIcons(MakeBstr(copy_.path().c_str()).Get(),
                     MakeBstr(L"http://icons.invalid/a.ico").Get());
    ComPtr<IKaSoftwareCatelog> catalog;
    ComPtr<IKaSoftTypeStorage> types;
    ComPtr<IKaSoftUpdater> updater;
    ComPtr<IKaRecommendSoft> recommend;
    EXPECT_EQ(facade->GetSoftwareCatelog(&catalog), S_OK);
    EXPECT_EQ(facade->GetSoftTypeStorage(&types), S_OK);
    EXPECT_EQ(facade->GetSoftwareUpdater(&updater), S_OK);
    EXPECT_EQ(facade->GetRecommendSoft(&recommend), S_OK);
  }

  RegistrySandbox sandbox_;
  PrivateDllCopy copy_;
  TessaryDll dll_{copy_.path()};
};

TEST_F(PlainHostTest, AHostThatLetsGoAfterDetachGetsEveryObjectBack) {
  struct Case {
    const char* name;
    bool registeredFirst;
    bool revokedFirst;
  };
  for (const Case& c : {Case{"registered after Attach", false, false},
                        Case{"registered before Attach", true, false},
                        Case{"revoked before Detach", true, true}}) {
    SCOPED_TRACE(c.name);
    {
      PlainHost host;
      ASSERT_HRESULT_SUCCEEDED(host.Start());
      ComPtr<IKaSoftStatusManager> manager;
      ComPtr<IKaHostPlugin> plugin;
      Make(manager, plugin);
      if (c.registeredFirst) {
        ASSERT_HRESULT_SUCCEEDED(host.RegisterNotify());
      }
      plugin->Attach(host.registry.Get());
      plugin->Attach(host.registry.Get());
      if (!c.registeredFirst) {
        ASSERT_HRESULT_SUCCEEDED(host.RegisterNotify());
      }
      // Attached twice and told again: still one subscription.
      ComPtr<IKaServiceEvents> events;
      ASSERT_HRESULT_SUCCEEDED(manager.As(&events));
      events->OnServiceEvent(1, &__uuidof(IKaNotifyService),
                             static_cast<IKaNotifyService*>(host.notify.Get()));
      EXPECT_EQ(host.notify->events.Count(), 1u);

      // A data-change notice reloads the catalog.
      ComPtr<IKaSoftwareCatelog> catalog;
      ASSERT_EQ(manager->GetSoftwareCatelog(&catalog), S_OK);
      EXPECT_EQ(host.data->pathCalls, 2);
      host.data->reloadFlag = 1;
      host.notify->Notify(1, 2);
      EXPECT_EQ(host.data->pathCalls, 4);

      if (c.revokedFirst) {
        host.registry->RevokeService(__uuidof(IKaNotifyService));
        EXPECT_EQ(host.notify->events.Count(), 0u);
      }
      EXPECT_EQ(plugin->Detach(), S_OK);
      // The subscription outlives Detach; the service ends it when it goes.
      EXPECT_EQ(host.notify->events.Count(), c.revokedFirst ? 0u : 1u);
      catalog.Reset();
      events.Reset();
      plugin.Reset();
      manager.Reset();
      host.Release();
    }
    ExpectAllGone();
  }
}

TEST_F(PlainHostTest, CallsBackFromInsideTheHostsCallsNeverCrashTheFacade) {
  enum Site { kAdvise, kGetService, kDataFilePath };
  enum Action { kDetach, kAttachElsewhere, kLetGo };
  const char* const sites[] = {"Advise", "GetService", "GetDataFilePath"};
  const char* const actions[] = {"Detach", "Attach elsewhere", "Detach and let go"};
  for (const Site site : {kAdvise, kGetService, kDataFilePath}) {
    for (const Action action : {kDetach, kAttachElsewhere, kLetGo}) {
      SCOPED_TRACE(std::string(actions[action]) + " from inside " + sites[site]);
      {
        PlainHost host, other;
        ASSERT_HRESULT_SUCCEEDED(host.Start());
        ASSERT_HRESULT_SUCCEEDED(other.Start());
        ComPtr<IKaSoftStatusManager> manager;
        ComPtr<IKaHostPlugin> plugin;
        Make(manager, plugin);
        IKaSoftStatusManager* const facade = manager.Get();
        IKaHostPlugin* const link = plugin.Get();
        bool gone = false;
        Hook& hook = site == kAdvise       ? host.registry->events.onAdvise
                     : site == kGetService ? host.registry->onGetService
                                           : host.data->onDataFilePath;
        hook = [&] {
          if (action == kAttachElsewhere) {
            link->Attach(other.registry.Get());
            return;
          }
          link->Detach();
          if (action == kLetGo) {
            plugin.Reset();
            manager.Reset();
            gone = true;
          }
        };
        // Attach meets Advise and GetService, the catalog's load the paths.
        link->Attach(host.registry.Get());
        if (!gone) {
          ComPtr<IKaSoftwareCatelog> catalog;
          const HRESULT hr = facade->GetSoftwareCatelog(&catalog);
          // Detached during the catalog's load: the catalog went with it.
          EXPECT_EQ(hr, site == kDataFilePath && action != kAttachElsewhere ? E_FAIL : S_OK);
          EXPECT_EQ(catalog != nullptr, hr == S_OK);
        }
        EXPECT_FALSE(hook);
        if (!gone) {
          AskEverything(facade);
          link->Detach();
        }
        plugin.Reset();
        manager.Reset();
        host.Release();
        other.Release();
      }
      ExpectAllGone();
    }
  }
}

TEST_F(PlainHostTest, ATypeStorageAskedForFromInsideItsOwnMakingIsRefused) {
  {
    PlainHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Start());
    ComPtr<IKaSoftStatusManager> manager;
    ComPtr<IKaHostPlugin> plugin;
    Make(manager, plugin);
    ASSERT_HRESULT_SUCCEEDED(plugin->Attach(host.registry.Get()));
    HRESULT inner = S_OK;
    host.registry->onGetService = [&] {
      ComPtr<IKaSoftTypeStorage> nested;
      inner = manager->GetSoftTypeStorage(&nested);
    };
    ComPtr<IKaSoftTypeStorage> storage;
    EXPECT_EQ(manager->GetSoftTypeStorage(&storage), S_OK);
    EXPECT_EQ(inner, E_FAIL);
    plugin->Detach();
    storage.Reset();
    plugin.Reset();
    manager.Reset();
    host.Release();
  }
  ExpectAllGone();
}

TEST_F(PlainHostTest, ARemovalEndsOnlyTheSubscriptionOnTheServiceItNames) {
  {
    PlainHost host;
    ASSERT_HRESULT_SUCCEEDED(host.Start());
    ASSERT_HRESULT_SUCCEEDED(host.RegisterNotify());
    ComPtr<IKaSoftStatusManager> manager, bystander;
    ComPtr<IKaHostPlugin> plugin, bystanderPlugin;
    Make(manager, plugin);
    Make(bystander, bystanderPlugin);
    plugin->Attach(host.registry.Get());
    ASSERT_EQ(host.notify->events.Count(), 1u);

    // Another facade holds the same cookie on a service this one never joined.
    ComPtr<PlainNotifyService> stranger;
    ASSERT_HRESULT_SUCCEEDED(MakeComObject(stranger));
    IUnknown* const strangerService = static_cast<IKaNotifyService*>(stranger.Get());
    ComPtr<IKaServiceEvents> events, bystanderEvents;
    ASSERT_HRESULT_SUCCEEDED(manager.As(&events));
    ASSERT_HRESULT_SUCCEEDED(bystander.As(&bystanderEvents));
    bystanderEvents->OnServiceEvent(1, &__uuidof(IKaNotifyService), strangerService);
    ASSERT_EQ(stranger->events.Count(), 1u);

    events->OnServiceEvent(2, &__uuidof(IKaNotifyService), strangerService);
    EXPECT_EQ(stranger->events.Count(), 1u);
    EXPECT_EQ(host.notify->events.Count(), 1u);
    events->OnServiceEvent(2, &__uuidof(IKaNotifyService),
                           static_cast<IKaNotifyService*>(host.notify.Get()));
    EXPECT_EQ(host.notify->events.Count(), 0u);

    plugin->Detach();
    events.Reset();
    bystanderEvents.Reset();
    plugin.Reset();
    bystanderPlugin.Reset();
    manager.Reset();
    bystander.Reset();
    stranger.Reset();
    host.Release();
  }
  ExpectAllGone();
}

}  // namespace
}  // namespace tessary::testing
