// Status managers in several single-threaded apartments at once, each
// attached to a host of its own, as a host with several UI threads runs
// them: each apartment's objects reach only its own host, one apartment's
// Detach leaves the others attached, and nothing outlives the objects.
#include <windows.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TessaryLib.h"
#include "support/CatalogXml.h"
#include "support/PlainHost.h"
#include "support/TestSupport.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;

constexpr int kPrograms = 40;

struct Answers {
  LONG programs = -1;
  LONG updates = -1;
  kaSoftInstallStatus antivirus = kaSoftInstallStatus_unknown;
  std::wstring antivirusName;
  bool operator==(const Answers&) const = default;
};

BOOL CALLBACK CountOurWindow(HWND window, LPARAM count) {
  wchar_t name[64] = {};
  ::GetClassNameW(window, name, 64);
  const std::wstring_view view(name);
  if (view.starts_with(L"Tessary.")) {
    ++*reinterpret_cast<int*>(count);
  }
  return TRUE;
}

int OurWindows(DWORD thread) {
  int count = 0;
  ::EnumThreadWindows(thread, &CountOurWindow, reinterpret_cast<LPARAM>(&count));
  return count;
}

void PumpMessages() {
  MSG message;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
}

// A thread of the multithreaded apartment that runs what it is given, one
// piece of work at a time, until it is destroyed.
class MtaThread {
 public:
  MtaThread() : thread_([this] { Loop(); }) {}
  ~MtaThread() {
    Run(nullptr);
    thread_.join();
  }
  MtaThread(const MtaThread&) = delete;
  MtaThread& operator=(const MtaThread&) = delete;

  // Runs `work` there and waits for it; nothing stops the thread.
  void Run(std::function<void()> work) {
    std::unique_lock lock(mutex_);
    work_ = std::move(work);
    pending_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !pending_; });
  }

 private:
  void Loop() {
    const HRESULT com = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    for (bool stop = false; !stop;) {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [this] { return pending_; });
      stop = !work_;
      if (work_ && SUCCEEDED(com)) work_();
      work_ = nullptr;
      pending_ = false;
      changed_.notify_all();
    }
    if (SUCCEEDED(com)) ::CoUninitialize();
  }

  std::mutex mutex_;
  std::condition_variable changed_;
  std::function<void()> work_;
  bool pending_ = false;
  std::thread thread_;
};

class ApartmentsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sandbox_.ok());
    ASSERT_TRUE(copy_.ok() && dll_.ok());
    std::string rules = "<vedad>";
    for (int i = 0; i < kPrograms; i += 4) {
      const std::string n = std::to_string(i);
      rules += "<soft name='Program" + n + "'><regkey policy='0'>Key" + n + "</regkey></soft>";
      ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"Key" + std::to_wstring(i),
                                    {{L"DisplayName", L"Program"}, {L"DisplayVersion", L"1.0"}}));
    }
    ASSERT_TRUE(copy_.WriteData(L"KaSoftwareVerIdentify.xml", rules + "</vedad>"));
    ASSERT_TRUE(copy_.WriteData(
        L"KaAntivirusIdentify.xml",
        "<r><KaAntivirus><av name='Shield' displayname='Shield AV'><k value='ShieldKey'/></av>"
        "</KaAntivirus></r>"));
    ASSERT_TRUE(AddUninstallEntry(HKEY_LOCAL_MACHINE, L"ShieldKey", {{L"DisplayName", L"Shield"}}));
    ASSERT_TRUE(WriteFileBytes(files_.Join(L"catalog.xml"), GeneratedCatalogXml(kPrograms, 3, 2)));
    ASSERT_TRUE(WriteFileBytes(files_.Join(L"regkeys.xml"), GeneratedRegistryKeyXml(kPrograms)));
    foreignBefore_ = PlainHostForeignCalls();
  }

  // One host's whole session on the calling thread: attach, load, refresh,
  // ask, reload on the host's word, detach, let go.
  Answers Session(bool notify) const {
    PlainHost host;
    Answers answers;
    if (FAILED(host.Start())) return answers;
    host.data->catalogPath = files_.Join(L"catalog.xml");
    host.data->registryKeyPath = files_.Join(L"regkeys.xml");
    host.data->reloadFlag = 1;
    host.RegisterNotify();
    ComPtr<IKaSoftStatusManager> manager;
    ComPtr<IKaHostPlugin> plugin;
    if (FAILED(dll_.Create(CLSID_KaSoftStatusManager, manager.GetAddressOf())) ||
        FAILED(manager.As(&plugin))) {
      return answers;
    }
    plugin->Attach(host.registry.Get());
    ComPtr<IKaSoftwareCatelog> catalog;
    if (SUCCEEDED(manager->GetSoftwareCatelog(catalog.GetAddressOf()))) {
      catalog->GetSoftCount(kaSoftInnerType_all, &answers.programs);
    }
    // The data changed: the antivirus rules and the catalog are read again.
    if (notify) host.notify->Notify(1, 2);
    ComPtr<IKaSoftUpdater> updater;
    if (SUCCEEDED(manager->GetSoftwareUpdater(updater.GetAddressOf())) &&
        SUCCEEDED(updater->RefreshUpdateStatus())) {
      updater->GetUpdateSoftCount(&answers.updates);
    }
    UniqueBstr name, shown;
    manager->GetAntivirusInstallStatus(&answers.antivirus, name.Receive(), shown.Receive());
    answers.antivirusName = Text(name);
    plugin->Detach();
    updater.Reset();
    catalog.Reset();
    plugin.Reset();
    manager.Reset();
    host.Release();
    PumpMessages();
    return answers;
  }

  RegistrySandbox sandbox_;
  TempDir files_;
  PrivateDllCopy copy_;
  TessaryDll dll_{copy_.path()};
  int foreignBefore_ = 0;
};

TEST_F(ApartmentsTest, EachApartmentReachesOnlyItsOwnHost) {
  constexpr int kApartments = 6;
  constexpr int kRounds = 40;
  std::vector<Answers> seen(kApartments * kRounds);
  std::atomic<int> leftWindows = 0, comFailures = 0;
  std::vector<std::thread> threads;
  // The module's antivirus rules are first loaded by these apartments at
  // once; every other session is told its data changed, so reloads meet
  // detections in other apartments.
  for (int a = 0; a < kApartments; ++a) {
    threads.emplace_back([&, a] {
      if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
        ++comFailures;
        return;
      }
      for (int round = 0; round < kRounds; ++round) {
        seen[a * kRounds + round] = Session((round + a) % 2 == 0);
        if (OurWindows(::GetCurrentThreadId()) != 0) ++leftWindows;
      }
      ::CoUninitialize();
    });
  }
  for (std::thread& thread : threads) thread.join();
  const Answers alone = Session(true);
  ASSERT_EQ(alone.programs, kPrograms);
  ASSERT_GT(alone.updates, 0);
  ASSERT_EQ(alone.antivirus, kaSoftInstallStatus_installed);
  EXPECT_EQ(std::count(seen.begin(), seen.end(), alone), kApartments * kRounds);
  EXPECT_EQ(comFailures, 0);
  EXPECT_EQ(leftWindows, 0);
  EXPECT_EQ(PlainHostForeignCalls(), foreignBefore_);
  EXPECT_EQ(PlainHostObjects(), 0);
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

TEST_F(ApartmentsTest, OneApartmentsDetachLeavesAnothersHostAttached) {
  PlainHost host;
  ASSERT_HRESULT_SUCCEEDED(host.Start());
  host.data->catalogPath = files_.Join(L"catalog.xml");
  host.data->registryKeyPath = files_.Join(L"regkeys.xml");
  ComPtr<IKaSoftStatusManager> manager;
  ASSERT_HRESULT_SUCCEEDED(dll_.Create(CLSID_KaSoftStatusManager, manager.GetAddressOf()));
  ComPtr<IKaHostPlugin> plugin;
  ASSERT_HRESULT_SUCCEEDED(manager.As(&plugin));
  plugin->Attach(host.registry.Get());

  // Another apartment attaches after this one and detaches before it uses
  // anything; a catalog made there finds no host, and fails cleanly.
  LONG foreignProgramsWithoutHost = -1;
  std::thread other([&] {
    ASSERT_HRESULT_SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    {
      PlainHost second;
      ASSERT_HRESULT_SUCCEEDED(second.Start());
      ComPtr<IKaHostPlugin> secondPlugin;
      ASSERT_HRESULT_SUCCEEDED(dll_.Create(CLSID_KaSoftStatusManager, secondPlugin.GetAddressOf()));
      secondPlugin->Attach(second.registry.Get());
      secondPlugin->Detach();
      ComPtr<IKaSoftwareCatelog> catalog;
      ASSERT_HRESULT_SUCCEEDED(dll_.Create(CLSID_KaSoftwareCatelog, catalog.GetAddressOf()));
      catalog->Load();
      catalog->GetSoftCount(kaSoftInnerType_all, &foreignProgramsWithoutHost);
      ComPtr<IKaSoftUpdater> updater;
      ASSERT_HRESULT_SUCCEEDED(dll_.Create(CLSID_KaSoftUpdater, updater.GetAddressOf()));
      EXPECT_EQ(updater->RefreshUpdateStatus(), E_FAIL);
      secondPlugin.Reset();
      second.Release();
    }
    ::CoUninitialize();
  });
  other.join();
  EXPECT_EQ(foreignProgramsWithoutHost, 0);

  ComPtr<IKaSoftwareCatelog> catalog;
  ASSERT_EQ(manager->GetSoftwareCatelog(catalog.GetAddressOf()), S_OK);
  LONG programs = -1;
  catalog->GetSoftCount(kaSoftInnerType_all, &programs);
  EXPECT_EQ(programs, kPrograms);
  ComPtr<IKaSoftUpdater> updater;
  ASSERT_EQ(manager->GetSoftwareUpdater(updater.GetAddressOf()), S_OK);
  EXPECT_EQ(updater->RefreshUpdateStatus(), S_OK);
  plugin->Detach();
  updater.Reset();
  catalog.Reset();
  plugin.Reset();
  manager.Reset();
  host.Release();
  EXPECT_EQ(PlainHostForeignCalls(), foreignBefore_);
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

TEST_F(ApartmentsTest, AWindowIsDestroyedOnItsOwnThreadWhoeverLetsItsObjectGo) {
  std::atomic<IKaSoftStatusManager*> handed = nullptr;
  std::atomic<bool> ready = false, released = false;
  std::atomic<int> windowsBefore = -1, windowsAfter = -1;
  HRESULT whileWaiting = E_UNEXPECTED;
  std::thread owner([&] {
    if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
      ready = true;
      return;
    }
    {
      PlainHost host;
      ComPtr<IKaSoftStatusManager> manager;
      ComPtr<IKaHostPlugin> plugin;
      if (SUCCEEDED(host.Start()) &&
          SUCCEEDED(dll_.Create(CLSID_KaSoftStatusManager, manager.GetAddressOf())) &&
          SUCCEEDED(manager.As(&plugin))) {
        // Attached, so the icon request object's window exists too.
        plugin->Attach(host.registry.Get());
        plugin->Detach();
        plugin.Reset();
        windowsBefore = OurWindows(::GetCurrentThreadId());
        handed = manager.Detach();
      }
      ready = true;
      while (!released) ::Sleep(1);
      // The requests wait in this thread's queue until it reads it.
      whileWaiting = dll_.CanUnloadNow();
      PumpMessages();
      windowsAfter = OurWindows(::GetCurrentThreadId());
      host.Release();
    }
    ::CoUninitialize();
  });
  while (!ready) ::Sleep(1);
  if (IKaSoftStatusManager* manager = handed.exchange(nullptr)) manager->Release();
  released = true;
  owner.join();
  EXPECT_EQ(windowsBefore, 1);  // the facade's; the icon window went with Detach
  EXPECT_EQ(whileWaiting, S_FALSE);
  EXPECT_EQ(windowsAfter, 0);
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

TEST_F(ApartmentsTest, ThreadsOfTheMultithreadedApartmentShareOneHost) {
  MtaThread one, two;
  PlainHost host;
  ComPtr<IKaHostPlugin> plugin;
  one.Run([&] {
    if (FAILED(host.Start())) return;
    host.data->catalogPath = files_.Join(L"catalog.xml");
    host.data->registryKeyPath = files_.Join(L"regkeys.xml");
    dll_.Create(CLSID_KaSoftStatusManager, plugin.GetAddressOf());
  });
  ASSERT_TRUE(plugin);
  // Whether an updater made on `thread` (the test's own apartment when null)
  // finds a host there: without one it cannot refresh.
  const auto refreshes = [&](MtaThread* thread) {
    HRESULT refreshed = E_UNEXPECTED;
    const auto refresh = [&] {
      ComPtr<IKaSoftUpdater> updater;
      refreshed = dll_.Create(CLSID_KaSoftUpdater, updater.GetAddressOf());
      if (SUCCEEDED(refreshed)) refreshed = updater->RefreshUpdateStatus();
    };
    if (thread) {
      thread->Run(refresh);
    } else {
      refresh();
    }
    return refreshed;
  };
  EXPECT_EQ(refreshes(&one), E_FAIL);

  // Attached on one thread and detached on the other, both ways round.
  for (MtaThread* attaching : {&one, &two}) {
    MtaThread* detaching = attaching == &one ? &two : &one;
    attaching->Run([&] { plugin->Attach(host.registry.Get()); });
    EXPECT_EQ(refreshes(&one), S_OK);
    EXPECT_EQ(refreshes(&two), S_OK);
    // The single-threaded apartment of the test has no host of its own.
    EXPECT_EQ(refreshes(nullptr), E_FAIL);
    detaching->Run([&] { plugin->Detach(); });
    EXPECT_EQ(refreshes(&one), E_FAIL);
    EXPECT_EQ(refreshes(&two), E_FAIL);
  }
  one.Run([&] {
    plugin.Reset();
    host.Release();
  });
  // Each thread's windows go when it reads its queue.
  one.Run(&PumpMessages);
  two.Run(&PumpMessages);
  EXPECT_EQ(PlainHostObjects(), 0);
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace tessary::testing
