// The DLL's module-wide host reference, set and cleared through the status
// manager's Attach and Detach, and released when the module is unloaded.
#include <windows.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <thread>

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

class HostReferenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_HRESULT_SUCCEEDED(host_.Start());
    baseline_ = References(host_.Services());
  }
  void TearDown() override { host_.Shutdown(); }

  host::Host host_;
  ULONG baseline_ = 0;
};

TEST_F(HostReferenceTest, AttachHoldsTheHostAndDetachLetsItGo) {
  TessaryDll dll;
  ComPtr<IKaHostPlugin> plugin;
  ASSERT_HRESULT_SUCCEEDED(dll.Create(CLSID_KaSoftStatusManager, plugin.GetAddressOf()));
  EXPECT_EQ(plugin->Attach(host_.Services()), S_FALSE);
  EXPECT_EQ(References(host_.Services()), baseline_ + 1);
  // A second Attach replaces the reference rather than adding one.
  plugin->Attach(host_.Services());
  EXPECT_EQ(References(host_.Services()), baseline_ + 1);
  EXPECT_EQ(plugin->Detach(), S_OK);
  EXPECT_EQ(References(host_.Services()), baseline_);
  // The notification subscription outlives Detach: the host lets the facade
  // go before the module is freed.
  plugin.Reset();
  host_.Shutdown();
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

TEST_F(HostReferenceTest, UnloadingTheModuleReleasesAHostNeverDetached) {
  {
    TessaryDll dll;
    ComPtr<IKaHostPlugin> plugin;
    ASSERT_HRESULT_SUCCEEDED(dll.Create(CLSID_KaSoftStatusManager, plugin.GetAddressOf()));
    plugin->Attach(host_.Services());
    plugin.Reset();
    // The host lets the facade go: it held it as a service and a listener.
    host_.Shutdown();
    EXPECT_EQ(dll.CanUnloadNow(), S_OK);
    EXPECT_EQ(References(host_.Services()), baseline_ + 1);
  }
  EXPECT_EQ(References(host_.Services()), baseline_);
}

TEST_F(HostReferenceTest, TheStatusManagerHandsOutOneCatalogLoadedOnce) {
  TessaryDll dll;
  ComPtr<IKaSoftStatusManager> manager;
  ASSERT_HRESULT_SUCCEEDED(dll.Create(CLSID_KaSoftStatusManager, manager.GetAddressOf()));
  ComPtr<IKaHostPlugin> plugin;
  ASSERT_HRESULT_SUCCEEDED(manager.As(&plugin));
  plugin->Attach(host_.Services());

  ComPtr<IKaSoftwareCatelog> first, second;
  EXPECT_EQ(manager->GetSoftwareCatelog(nullptr), E_POINTER);
  ASSERT_EQ(manager->GetSoftwareCatelog(first.GetAddressOf()), S_OK);
  ASSERT_EQ(manager->GetSoftwareCatelog(second.GetAddressOf()), S_OK);
  EXPECT_EQ(first.Get(), second.Get());
  // One load: the catalog file and the registry-key file, once each.
  EXPECT_EQ(host_.Data().DataFilePathCalls(), 2);

  // Detach drops the catalog; the host's references keep it working.
  plugin->Detach();
  ComPtr<IKaSoftwareCatelog> third;
  ASSERT_EQ(manager->GetSoftwareCatelog(third.GetAddressOf()), S_OK);
  EXPECT_NE(third.Get(), first.Get());
  LONG count = -1;
  EXPECT_EQ(first->GetSoftCount(kaSoftInnerType_all, &count), S_OK);
  first.Reset();
  second.Reset();
  third.Reset();
  plugin.Reset();
  manager.Reset();
  host_.Shutdown();
  EXPECT_EQ(dll.CanUnloadNow(), S_OK);
}

// Set by the host of a thread that ended: nobody may call it after.
std::atomic<bool> g_endedHostCalled = false;

// Windows reuses thread ids: a thread that attached a host and ended without
// Detach must leave it to no later thread, even one given its id.
TEST(EndedApartmentTest, ALaterThreadWithTheSameIdFindsNoHost) {
  TessaryDll dll;
  ASSERT_TRUE(dll.ok());
  DWORD endedId = 0;
  std::thread ended([&] {
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return;
    {
      PlainHost host;
      ComPtr<IKaHostPlugin> plugin;
      if (SUCCEEDED(host.Start()) &&
          SUCCEEDED(dll.Create(CLSID_KaSoftStatusManager, plugin.GetAddressOf()))) {
        plugin->Attach(host.registry.Get());
        host.registry->onGetService = [] { g_endedHostCalled = true; };
        endedId = ::GetCurrentThreadId();
      }
      // The host forgets Detach.
      plugin.Reset();
      host.Release();
    }
    ::CoUninitialize();
  });
  ended.join();
  ASSERT_NE(endedId, 0u);

  bool reused = false;
  HRESULT refreshed = S_OK;
  for (int tries = 0; tries < 5000 && !reused; ++tries) {
    std::thread later([&] {
      if (::GetCurrentThreadId() != endedId) return;
      reused = true;
      if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        refreshed = E_UNEXPECTED;
        return;
      }
      {
        ComPtr<IKaSoftUpdater> updater;
        refreshed = dll.Create(CLSID_KaSoftUpdater, updater.GetAddressOf());
        if (SUCCEEDED(refreshed)) refreshed = updater->RefreshUpdateStatus();
      }
      ::CoUninitialize();
    });
    later.join();
  }
  if (!reused) GTEST_SKIP() << "no thread of 5,000 was given the id " << endedId << " again";
  // No host in this apartment: the updater cannot ask for its data.
  EXPECT_EQ(refreshed, E_FAIL);
  EXPECT_FALSE(g_endedHostCalled);
}

}  // namespace
}  // namespace tessary::testing
