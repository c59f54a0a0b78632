// The hidden-window helper with kinds that exist only in this test: one class
// per kind, one message per kind, the owner cut off before its window goes,
// and a window let go on another thread destroyed on its own.
#include <windows.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "com/HiddenWindow.h"
#include "com/Module.h"

namespace {

using tessary::HiddenWindow;
using tessary::HiddenWindowKind;
using tessary::Module;

constexpr UINT kPing = WM_APP + 1;
constexpr UINT kPong = WM_APP + 2;
constexpr HiddenWindowKind kPingWindow{L"TestPing", kPing, nullptr};
constexpr HiddenWindowKind kPongWindow{L"TestPong", kPong, nullptr};

struct Owner {
  std::vector<WPARAM> heard;
  static void Hear(void* self, WPARAM wParam, LPARAM) noexcept {
    static_cast<Owner*>(self)->heard.push_back(wParam);
  }
};

std::wstring ClassName(HWND window) {
  wchar_t name[64] = {};
  ::GetClassNameW(window, name, 64);
  return name;
}

std::wstring ExpectedClassName(const wchar_t* kind) {
  wchar_t name[64] = {};
  std::swprintf(name, std::size(name), L"Tessary.%ls.%p", kind,
                static_cast<void*>(Module::Handle()));
  return name;
}

void PumpMessages() {
  MSG message;
  while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
}

TEST(HiddenWindowTest, EachKindServesItsOwnMessageToItsOwnerUntilReset) {
  Owner first, second, other;
  HiddenWindow a, b, c;
  ASSERT_TRUE(a.Create(kPingWindow, L"first", HiddenWindow::Placement::kDefault, &first,
                       &Owner::Hear));
  ASSERT_TRUE(b.Create(kPingWindow, nullptr, HiddenWindow::Placement::kOrigin, &second,
                       &Owner::Hear));
  ASSERT_TRUE(c.Create(kPongWindow, nullptr, HiddenWindow::Placement::kOrigin, &other,
                       &Owner::Hear));
  // One class per kind, named for the kind and the module.
  EXPECT_EQ(ClassName(a.get()), ExpectedClassName(L"TestPing"));
  EXPECT_EQ(::GetClassLongW(a.get(), GCW_ATOM), ::GetClassLongW(b.get(), GCW_ATOM));
  EXPECT_EQ(ClassName(c.get()), ExpectedClassName(L"TestPong"));
  EXPECT_EQ(::GetParent(a.get()), nullptr);
  EXPECT_FALSE(::IsWindowVisible(a.get()));

  EXPECT_EQ(::SendMessageW(a.get(), kPing, 7, 0), 0);
  EXPECT_EQ(::SendMessageW(b.get(), kPing, 8, 0), 0);
  // Another kind's message is not this window's.
  ::SendMessageW(a.get(), kPong, 9, 0);
  ::SendMessageW(c.get(), kPing, 10, 0);
  EXPECT_EQ(first.heard, std::vector<WPARAM>{7});
  EXPECT_EQ(second.heard, std::vector<WPARAM>{8});
  EXPECT_TRUE(other.heard.empty());

  const HWND gone = a.get();
  a.Reset();
  EXPECT_FALSE(a);
  EXPECT_FALSE(::IsWindow(gone));
  EXPECT_EQ(::SendMessageW(b.get(), kPing, 11, 0), 0);
  EXPECT_EQ(first.heard.size(), 1u);
  EXPECT_EQ(second.heard.size(), 2u);
}

TEST(HiddenWindowTest, AWindowLetGoOnAnotherThreadGoesOnItsOwnWithoutReachingItsOwner) {
  const LONG locks = Module::LockCount();
  Owner owner;
  HiddenWindow window;
  ASSERT_TRUE(window.Create(kPingWindow, nullptr, HiddenWindow::Placement::kOrigin, &owner,
                            &Owner::Hear));
  const HWND handle = window.get();
  ASSERT_TRUE(::PostMessageW(handle, kPing, 1, 0));
  std::thread([&] { window.Reset(); }).join();
  // Only this thread can destroy it: until it reads its queue the window
  // stays and keeps the module in use.
  EXPECT_TRUE(::IsWindow(handle));
  EXPECT_EQ(Module::LockCount(), locks + 1);
  PumpMessages();
  EXPECT_FALSE(::IsWindow(handle));
  EXPECT_EQ(Module::LockCount(), locks);
  // The message queued before the owner was cut off never reached it.
  EXPECT_TRUE(owner.heard.empty());
}

}  // namespace
