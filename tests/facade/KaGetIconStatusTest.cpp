// Icon fetch requests through the DLL: the class object, the answers for
// present and missing files, one request per missing file until the host's
// completion message reaches the hidden window, and paths relative to the
// folder above the host's own.
#include <windows.h>
#include <shlwapi.h>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include <string>

#include "TessaryLib.h"
#include "common/Text.h"
#include "common/Unique.h"
#include "host/Host.h"
#include "support/TestSupport.h"

namespace tessary::testing {
namespace {

using Microsoft::WRL::ComPtr;

constexpr UINT kIconDone = 3525;
constexpr wchar_t kWindowName[] = L"ZORARADAD_EREDOVEVODAZO_VUDUVEVAR";

std::wstring ParentOf(std::wstring path) {
  wchar_t buffer[MAX_PATH * 4] = {};
  ::lstrcpynW(buffer, path.c_str(), MAX_PATH * 4);
  ::PathRemoveFileSpecW(buffer);
  return buffer;
}

std::wstring FileUrl(const std::wstring& path) { return L"file:///" + path; }

class KaGetIconStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dll_.ok());
    ASSERT_HRESULT_SUCCEEDED(host_.Start());
    host_.Icons().HoldRequests(true);
    ASSERT_HRESULT_SUCCEEDED(dll_.Create(CLSID_KaSoftStatusManager, plugin_.GetAddressOf()));
    plugin_->Attach(host_.Services());
    ASSERT_EQ(dll_.Create(CLSID_KaGetIconStatus, icons_.GetAddressOf()), S_OK);
    // Icons hang below the folder above the test executable's folder.
    base_ = ParentOf(ExeDirectory()) + L"\\";
    relativeFolder_ = L"tessary_icons_" + std::to_wstring(::GetCurrentProcessId()) + L"_" +
                      std::to_wstring(++counter_);
    ASSERT_TRUE(CreateDirectories(base_ + relativeFolder_));
  }
  void TearDown() override {
    icons_.Reset();
    if (plugin_) plugin_->Detach();
    plugin_.Reset();
    host_.Shutdown();
    RemoveTree(base_ + relativeFolder_);
  }

  HRESULT Get(const std::wstring& path, const std::wstring& url = L"http://icons.invalid/a.ico") {
    UniqueBstr localPath, link;
    EXPECT_TRUE(localPath.CopyFrom(path.c_str()));
    EXPECT_TRUE(link.CopyFrom(url.c_str()));
    return icons_->GetIconStatus(localPath.Get(), link.Get());
  }
  size_t Requests() const { return host_.Icons().Requests().size(); }
  const host::HostIconService::Request& Last() const { return host_.Icons().Requests().back(); }

  // Delivers what the host posted to the object's window, and nothing else
  // of this thread's.
  static void Pump(HWND window) {
    MSG msg;
    while (::PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
  }

  TessaryDll dll_;
  host::Host host_;
  ComPtr<IKaHostPlugin> plugin_;
  ComPtr<IKaGetIconStatus> icons_;
  TempDir temp_;
  std::wstring base_;
  std::wstring relativeFolder_;
  static inline int counter_ = 0;
};

TEST_F(KaGetIconStatusTest, PresentFilesAndFoldersAnswerAtOnceWithoutARequest) {
  ASSERT_TRUE(WriteFileBytes(temp_.Join(L"here.ico"), "icon"));
  ASSERT_TRUE(WriteFileBytes(base_ + relativeFolder_ + L"\\rel.ico", "icon"));
  EXPECT_EQ(Get(temp_.Join(L"here.ico")), S_OK);
  EXPECT_EQ(Get(temp_.path()), S_OK);
  EXPECT_EQ(Get(relativeFolder_ + L"\\rel.ico"), S_OK);
  EXPECT_EQ(Get(L".\\" + relativeFolder_ + L"\\..\\" + relativeFolder_ + L"\\rel.ico"), S_OK);
  EXPECT_EQ(Requests(), 0u);
}

TEST_F(KaGetIconStatusTest, AMissingIconIsRequestedOnceUntilTheHostReportsBack) {
  const std::wstring relative = relativeFolder_ + L"\\missing.ico";
  const std::wstring full = base_ + relative;
  const std::wstring url = FileUrl(temp_.Join(L"nowhere.ico"));
  EXPECT_EQ(Get(relative, url), E_FAIL);
  ASSERT_EQ(Requests(), 1u);
  EXPECT_EQ(Last().url, url);
  EXPECT_EQ(Last().localPath, full);
  EXPECT_EQ(Last().message, kIconDone);
  ASSERT_NE(Last().cookie, nullptr);
  EXPECT_EQ(TextToNul(Last().cookie), full);

  // The window: a hidden top-level pop-up tool window of the module's own
  // class, named so the host can find it.
  const HWND window = Last().window;
  ASSERT_TRUE(::IsWindow(window));
  EXPECT_EQ(::GetParent(window), nullptr);
  EXPECT_FALSE(::IsWindowVisible(window));
  EXPECT_TRUE(::GetWindowLongPtrW(window, GWL_STYLE) & WS_POPUP);
  EXPECT_TRUE(::GetWindowLongPtrW(window, GWL_EXSTYLE) & WS_EX_TOOLWINDOW);
  EXPECT_EQ(reinterpret_cast<HMODULE>(::GetClassLongPtrW(window, GCLP_HMODULE)), dll_.module());
  wchar_t name[64] = {};
  ::GetWindowTextW(window, name, 64);
  EXPECT_STREQ(name, kWindowName);
  EXPECT_EQ(::GetWindowThreadProcessId(window, nullptr), ::GetCurrentThreadId());

  // Asked again before the completion: no second request.
  EXPECT_EQ(Get(relative, url), E_FAIL);
  EXPECT_EQ(Get(full, url), E_FAIL);
  EXPECT_EQ(Requests(), 1u);

  // The download failed: the completion frees the cookie and the next call
  // asks again.
  EXPECT_EQ(host_.Icons().Complete(), 1);
  EXPECT_EQ(host_.Icons().Waiting(), 0u);
  Pump(window);
  EXPECT_EQ(Get(relative, url), E_FAIL);
  EXPECT_EQ(Requests(), 2u);

  // This time the file is there when the host reports back.
  ASSERT_TRUE(WriteFileBytes(full, "icon bytes"));
  host_.Icons().Complete();
  Pump(window);
  EXPECT_EQ(Get(relative, url), S_OK);
  EXPECT_EQ(Requests(), 2u);
}

TEST_F(KaGetIconStatusTest, PathsAreKeptAsWrittenApartFromTheBaseFolder) {
  // Letter case makes separate requests; an absolute path is not
  // canonicalised; ..\ climbs above the base folder.
  const std::wstring absolute = temp_.Join(L"sub\\..\\Case.ico");
  EXPECT_EQ(Get(absolute), E_FAIL);
  EXPECT_EQ(Get(temp_.Join(L"sub\\..\\case.ico")), E_FAIL);
  ASSERT_EQ(Requests(), 2u);
  EXPECT_EQ(host_.Icons().Requests()[0].localPath, absolute);
  EXPECT_EQ(host_.Icons().Requests()[1].localPath, temp_.Join(L"sub\\..\\case.ico"));

  const std::wstring above = L"..\\" + relativeFolder_ + L"_above.ico";
  EXPECT_EQ(Get(above), E_FAIL);
  ASSERT_EQ(Requests(), 3u);
  EXPECT_EQ(Last().localPath,
            ParentOf(ParentOf(ExeDirectory())) + L"\\" + relativeFolder_ + L"_above.ico");
}

TEST_F(KaGetIconStatusTest, PathsThatNameNoIconAreRefusedWithoutARequest) {
  // Empty or absent, the path would name the base folder itself.
  EXPECT_EQ(icons_->GetIconStatus(nullptr, nullptr), E_FAIL);
  EXPECT_EQ(Get(L""), E_FAIL);
  // Joined to the base it would not fit a path.
  EXPECT_EQ(Get(std::wstring(MAX_PATH, L'a') + L".ico"), E_FAIL);
  EXPECT_EQ(Requests(), 0u);
}

TEST_F(KaGetIconStatusTest, OnlyCookiesItHandedOutAreTakenBack) {
  const std::wstring path = temp_.Join(L"pending.ico");
  EXPECT_EQ(Get(path), E_FAIL);
  const HWND window = Last().window;
  // Anyone can find the window by name; a stranger's message must neither be
  // freed as a string nor release the pending path.
  UniqueBstr stranger;
  ASSERT_TRUE(stranger.CopyFrom(path.c_str()));
  ASSERT_TRUE(::PostMessageW(window, kIconDone, reinterpret_cast<WPARAM>(stranger.Get()), 0));
  ASSERT_TRUE(::PostMessageW(window, kIconDone, 0x1234, 0));
  ASSERT_TRUE(::PostMessageW(window, kIconDone, 0, 0));
  Pump(window);
  EXPECT_EQ(TextToNul(stranger.Get()), path);
  EXPECT_EQ(Get(path), E_FAIL);
  EXPECT_EQ(Requests(), 1u);
  EXPECT_EQ(::SendMessageW(window, kIconDone, 0, 0), 0);
}

TEST_F(KaGetIconStatusTest, WithoutAHostAMissingPathStaysPending) {
  plugin_->Detach();
  const std::wstring path = temp_.Join(L"lonely.ico");
  EXPECT_EQ(Get(path), E_FAIL);
  plugin_->Attach(host_.Services());
  // Still pending from the first call: not asked for.
  EXPECT_EQ(Get(path), E_FAIL);
  EXPECT_EQ(Requests(), 0u);
  EXPECT_EQ(Get(temp_.Join(L"other.ico")), E_FAIL);
  EXPECT_EQ(Requests(), 1u);
}

TEST_F(KaGetIconStatusTest, TheObjectTakesItsWindowAlongWhenItGoes) {
  EXPECT_EQ(Get(temp_.Join(L"late.ico")), E_FAIL);
  const HWND window = Last().window;
  icons_.Reset();
  EXPECT_FALSE(::IsWindow(window));
  // A completion after that finds no window; the host keeps its cookie.
  host_.Icons().Complete();
  EXPECT_EQ(host_.Icons().Waiting(), 1u);
}

TEST_F(KaGetIconStatusTest, ReleasingTheObjectsAndTheHostLetsTheModuleUnload) {
  icons_.Reset();
  plugin_->Detach();
  plugin_.Reset();
  // The facade's notification subscription outlives Detach: the host lets it go.
  host_.Shutdown();
  EXPECT_EQ(dll_.CanUnloadNow(), S_OK);
}

}  // namespace
}  // namespace tessary::testing
