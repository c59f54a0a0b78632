// Our own host: the service registry, its service events, the data,
// notification and icon services.
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <functional>
#include <string>
#include <vector>

#include "TessaryLib.h"
#include "host/Host.h"
#include "com/ComObject.h"
#include "support/TestSupport.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;

struct Event {
  LONG kind;
  GUID id;
  bool registeredDuringCall;
};

class Listener final : public ComObject<Listener, IKaServiceEvents, IKaNotifyEvents> {
 public:
  STDMETHODIMP OnServiceEvent(LONG kind, const GUID* id, IUnknown* service) noexcept override {
    ComPtr<IUnknown> current;
    const bool registered =
        host && SUCCEEDED(host->GetService(*id, current.GetAddressOf())) && current.Get() == service;
    events.push_back({kind, *id, registered});
    if (react) react(kind);
    return S_OK;
  }
  STDMETHODIMP OnNotify(LONG category, LONG code, LONG param) noexcept override {
    notes.push_back({category, code, param});
    return S_OK;
  }
  IKaHostServices* host = nullptr;
  std::function<void(LONG kind)> react;
  std::vector<Event> events;
  std::vector<std::vector<LONG>> notes;
};

// Answers IUnknown only.
class Plain final : public ComObject<Plain, IKaGetIconStatus> {
 public:
  STDMETHODIMP GetIconStatus(BSTR, BSTR) noexcept override { return S_OK; }
};

const GUID kServiceA = {0x1a2b3c4d, 0x1111, 0x2222, {1, 2, 3, 4, 5, 6, 7, 8}};

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(host_.Start());
    ASSERT_HRESULT_SUCCEEDED(MakeComObject(listener_));
    listener_->host = host_.Services();
  }
  void TearDown() override { host_.Shutdown(); }

  ComPtr<IConnectionPoint> ServicePoint() {
    ComPtr<IConnectionPointContainer> container;
    EXPECT_HRESULT_SUCCEEDED(host_.Services()->QueryInterface(IID_PPV_ARGS(&container)));
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(__uuidof(IKaServiceEvents), point.GetAddressOf()),
              S_OK);
    return point;
  }

  host::Host host_;
  ComPtr<Listener> listener_;
};

TEST_F(HostTest, ServicesAreRegisteredReplacedAndRevokedWithEvents) {
  auto point = ServicePoint();
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(static_cast<IKaServiceEvents*>(listener_.Get()), &cookie), S_OK);

  ComPtr<Plain> first, second;
  ASSERT_HRESULT_SUCCEEDED(MakeComObject(first));
  ASSERT_HRESULT_SUCCEEDED(MakeComObject(second));
  ComPtr<IUnknown> found;
  EXPECT_EQ(host_.Services()->GetService(kServiceA, found.GetAddressOf()), E_NOINTERFACE);
  EXPECT_FALSE(found);
  EXPECT_EQ(host_.Services()->RegisterService(kServiceA, nullptr), E_POINTER);
  ASSERT_EQ(host_.Services()->RegisterService(kServiceA, first.Get()), S_OK);
  ASSERT_EQ(host_.Services()->RegisterService(kServiceA, second.Get()), S_OK);
  ASSERT_EQ(host_.Services()->GetService(kServiceA, found.GetAddressOf()), S_OK);
  EXPECT_EQ(found.Get(), static_cast<IUnknown*>(second.Get()));
  ASSERT_EQ(host_.Services()->RevokeService(kServiceA), S_OK);
  EXPECT_EQ(host_.Services()->RevokeService(kServiceA), S_FALSE);
  EXPECT_EQ(host_.Services()->GetService(kServiceA, found.ReleaseAndGetAddressOf()), E_NOINTERFACE);

  // Added, replaced (removed then added), revoked while still registered.
  ASSERT_EQ(listener_->events.size(), 4u);
  EXPECT_EQ(listener_->events[0].kind, 1);
  EXPECT_EQ(listener_->events[1].kind, 2);
  EXPECT_EQ(listener_->events[2].kind, 1);
  EXPECT_EQ(listener_->events[3].kind, 2);
  EXPECT_TRUE(listener_->events[3].registeredDuringCall);
  EXPECT_EQ(listener_->events[3].id, kServiceA);
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

TEST_F(HostTest, ListenersMayChangeTheRegistryWhileAServiceIsReplaced) {
  auto point = ServicePoint();
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(static_cast<IKaServiceEvents*>(listener_.Get()), &cookie), S_OK);
  ComPtr<Plain> first, second;
  ASSERT_HRESULT_SUCCEEDED(MakeComObject(first));
  ASSERT_HRESULT_SUCCEEDED(MakeComObject(second));
  ASSERT_EQ(host_.Services()->RegisterService(kServiceA, first.Get()), S_OK);
  const size_t before = host_.Registry().ServiceCount();
  // Enough new services to move the registry's storage, and A revoked.
  listener_->react = [&](LONG kind) {
    if (kind != 2) return;
    listener_->react = nullptr;
    for (DWORD i = 0; i < 32; ++i) {
      GUID other = kServiceA;
      other.Data1 = i;
      host_.Services()->RegisterService(other, first.Get());
    }
    host_.Services()->RevokeService(kServiceA);
  };
  ASSERT_EQ(host_.Services()->RegisterService(kServiceA, second.Get()), S_OK);
  ComPtr<IUnknown> found;
  ASSERT_EQ(host_.Services()->GetService(kServiceA, found.GetAddressOf()), S_OK);
  EXPECT_EQ(found.Get(), static_cast<IUnknown*>(second.Get()));
  EXPECT_EQ(host_.Registry().ServiceCount(), before + 32);
  EXPECT_EQ(point->Unadvise(cookie), S_OK);
}

TEST_F(HostTest, TheServiceEventPointFollowsTheConnectionRules) {
  ComPtr<IConnectionPointContainer> container;
  ASSERT_HRESULT_SUCCEEDED(host_.Services()->QueryInterface(IID_PPV_ARGS(&container)));
  ComPtr<IConnectionPoint> point;
  EXPECT_EQ(container->FindConnectionPoint(__uuidof(IKaNotifyEvents), point.GetAddressOf()),
            CONNECT_E_NOCONNECTION);
  point = ServicePoint();

  ComPtr<Plain> plain;
  ASSERT_HRESULT_SUCCEEDED(MakeComObject(plain));
  DWORD cookie = 7;
  EXPECT_EQ(point->Advise(plain.Get(), &cookie), CONNECT_E_CANNOTCONNECT);
  EXPECT_EQ(point->Advise(nullptr, &cookie), E_POINTER);

  ComPtr<Listener> other;
  ASSERT_HRESULT_SUCCEEDED(MakeComObject(other));
  DWORD a = 0, b = 0, c = 0;
  ASSERT_EQ(point->Advise(static_cast<IKaServiceEvents*>(listener_.Get()), &a), S_OK);
  ASSERT_EQ(point->Advise(static_cast<IKaServiceEvents*>(other.Get()), &b), S_OK);
  EXPECT_EQ(a, 1u);
  EXPECT_EQ(b, 2u);
  ASSERT_EQ(point->Unadvise(a), S_OK);
  EXPECT_EQ(point->Unadvise(a), CONNECT_E_NOCONNECTION);
  EXPECT_EQ(point->Unadvise(9), CONNECT_E_NOCONNECTION);
  ASSERT_EQ(point->Advise(static_cast<IKaServiceEvents*>(listener_.Get()), &c), S_OK);
  EXPECT_EQ(c, 1u);  // the free slot is reused

  ComPtr<IEnumConnections> connections;
  ASSERT_EQ(point->EnumConnections(connections.GetAddressOf()), S_OK);
  CONNECTDATA data[3] = {};
  ULONG fetched = 0;
  EXPECT_EQ(connections->Next(3, data, &fetched), S_FALSE);
  ASSERT_EQ(fetched, 2u);
  EXPECT_EQ(data[0].dwCookie, 1u);
  EXPECT_EQ(data[1].dwCookie, 2u);
  for (ULONG i = 0; i < fetched; ++i) data[i].pUnk->Release();

}

TEST_F(HostTest, TheDataServiceAnswersPathsFlagsAndSettings) {
  ComPtr<IUnknown> service;
  ASSERT_EQ(host_.Services()->GetService(__uuidof(IKaDataService), service.GetAddressOf()), S_OK);
  ComPtr<IKaDataService> data;
  ComPtr<IKaHostSettings> settings;
  ASSERT_HRESULT_SUCCEEDED(service.As(&data));
  ASSERT_HRESULT_SUCCEEDED(data.As(&settings));

  host_.Data().SetDataFilePath(1, L"C:\\data\\catalog.xml");
  host_.Data().SetReloadFlag(1);
  BSTR path = nullptr;
  ASSERT_EQ(data->GetDataFilePath(1, &path, 0), S_OK);
  EXPECT_STREQ(path, L"C:\\data\\catalog.xml");
  ::SysFreeString(path);
  ASSERT_EQ(data->GetDataFilePath(2, &path, 0), S_OK);
  EXPECT_EQ(::SysStringLen(path), 0u);
  ::SysFreeString(path);
  LONG flag = 0;
  ASSERT_EQ(data->GetReloadFlag(&flag), S_OK);
  EXPECT_EQ(flag, 1);

  BSTR section = ::SysAllocString(L"update");
  BSTR key = ::SysAllocString(L"ignorelist");
  BSTR value = reinterpret_cast<BSTR>(1);
  EXPECT_EQ(settings->GetSetting(section, key, &value), S_FALSE);
  EXPECT_EQ(value, nullptr);
  host_.Data().SetSetting(L"update", L"ignorelist", L"<list/>");
  ASSERT_EQ(settings->GetSetting(section, key, &value), S_OK);
  EXPECT_STREQ(value, L"<list/>");
  ::SysFreeString(value);
  ::SysFreeString(section);
  ::SysFreeString(key);
}

TEST_F(HostTest, TheNotificationServiceCallsItsListeners) {
  ComPtr<IUnknown> service;
  ASSERT_EQ(host_.Services()->GetService(__uuidof(IKaNotifyService), service.GetAddressOf()),
            S_OK);
  ComPtr<IConnectionPointContainer> container;
  ASSERT_HRESULT_SUCCEEDED(service.As(&container));
  ComPtr<IConnectionPoint> point;
  ASSERT_EQ(container->FindConnectionPoint(__uuidof(IKaNotifyEvents), point.GetAddressOf()), S_OK);
  DWORD cookie = 0;
  ASSERT_EQ(point->Advise(static_cast<IKaNotifyEvents*>(listener_.Get()), &cookie), S_OK);
  EXPECT_EQ(host_.Notifications().Notify(1, 2, 3), 1);
  ASSERT_EQ(point->Unadvise(cookie), S_OK);
  EXPECT_EQ(host_.Notifications().Notify(1, 2, 4), 0);
  ASSERT_EQ(listener_->notes.size(), 1u);
  EXPECT_EQ(listener_->notes[0], (std::vector<LONG>{1, 2, 3}));
}

// Receives the icon service's completion message.
std::vector<std::wstring> g_cookies;
LRESULT CALLBACK IconWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == 3525) {
    BSTR cookie = reinterpret_cast<BSTR>(wParam);
    g_cookies.emplace_back(cookie);
    ::SysFreeString(cookie);
    return 0;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

void PumpMessages() {
  MSG msg;
  while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
}

TEST_F(HostTest, TheIconServiceDownloadsAndHandsTheCookieBack) {
  WNDCLASSW cls = {};
  cls.lpfnWndProc = IconWindowProc;
  cls.hInstance = ::GetModuleHandleW(nullptr);
  cls.lpszClassName = L"TessaryHostTestIconWindow";
  ::RegisterClassW(&cls);
  UniqueWindow window(::CreateWindowExW(0, cls.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE,
                                        nullptr, cls.hInstance, nullptr));
  ASSERT_TRUE(window);
  g_cookies.clear();

  TempDir dir;
  ASSERT_TRUE(WriteFileBytes(dir.Join(L"source.ico"), "icon"));
  const std::wstring url = L"file:///" + dir.Join(L"source.ico");
  const std::wstring target = dir.Join(L"copy.ico");
  ComPtr<IUnknown> service;
  ASSERT_EQ(host_.Services()->GetService(__uuidof(IKaIconService), service.GetAddressOf()), S_OK);
  ComPtr<IKaIconService> icons;
  ASSERT_HRESULT_SUCCEEDED(service.As(&icons));

  host_.Icons().HoldRequests(true);
  BSTR bUrl = ::SysAllocString(url.c_str());
  BSTR bPath = ::SysAllocString(target.c_str());
  ASSERT_EQ(icons->RequestIcon(bUrl, bPath, window.get(), 3525, ::SysAllocString(L"cookie")),
            S_OK);
  PumpMessages();
  EXPECT_TRUE(g_cookies.empty());
  EXPECT_EQ(host_.Icons().Waiting(), 1u);
  EXPECT_EQ(host_.Icons().Complete(), 1);
  PumpMessages();
  ::SysFreeString(bUrl);
  ::SysFreeString(bPath);

  EXPECT_EQ(g_cookies, (std::vector<std::wstring>{L"cookie"}));
  EXPECT_EQ(host_.Icons().Waiting(), 0u);
  EXPECT_TRUE(host_.Icons().Requests()[0].downloaded);
  EXPECT_TRUE(::GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES);

  // No window, nobody to hand the cookie to: the service keeps it (and frees
  // it when it goes) rather than posting it to the thread.
  ASSERT_EQ(icons->RequestIcon(nullptr, nullptr, nullptr, 3525, ::SysAllocString(L"lost")),
            S_OK);
  EXPECT_EQ(host_.Icons().Waiting(), 1u);
  MSG msg;
  EXPECT_FALSE(::PeekMessageW(&msg, nullptr, 3525, 3525, PM_NOREMOVE));
}

}  // namespace
}  // namespace tessary::testing
