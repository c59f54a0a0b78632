// The DLL's module-wide host reference, set and cleared through the status
// manager's Attach and Detach, and released when the module is unloaded.
#include <windows.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <atomic>
#include <vector>
#include <thread>

#include "TessaryLib.h"
#include "host/Host.h"
#include "hostlink/HostReference.h"
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

// Apartments attaching and detaching hosts of their own in tight loops while
// asking for them: each finds its own host, alive, and no other; and every
// reference taken is given back.
TEST(ApartmentHostsTest, ManyApartmentsEachFindTheirOwnHostWhileOthersComeAndGo) {
  constexpr int kApartments = 6;
  constexpr int kRounds = 200;
  std::atomic<int> ready = 0, wrong = 0, missing = 0, leftOver = 0, unbalanced = 0;
  std::vector<std::thread> threads;
  for (int a = 0; a < kApartments; ++a) {
    threads.emplace_back([&] {
      const HRESULT com = ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      PlainHost host;
      const bool started = SUCCEEDED(host.Start());
      IKaHostServices* const services = started ? host.registry.Get() : nullptr;
      const ULONG baseline = started ? References(services) : 0;
      ++ready;
      while (ready < kApartments) std::this_thread::yield();
      for (int round = 0; started && round < kRounds; ++round) {
        SetHostReference(services);
        for (int ask = 0; ask < 3; ++ask) {
          const ComPtr<IKaHostServices> found = HostReference();
          if (!found) {
            ++missing;
          } else if (found.Get() != services) {
            ++wrong;
          }
        }
        ClearHostReference();
        if (HostReference()) ++leftOver;
        if (References(services) != baseline) ++unbalanced;
      }
      host.Release();
      if (SUCCEEDED(com)) ::CoUninitialize();
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(missing, 0);
  EXPECT_EQ(leftOver, 0);
  EXPECT_EQ(unbalanced, 0);
}

}  // namespace
}  // namespace tessary::testing
