#include "com/HiddenWindow.h"

#include <cwchar>
#include <iterator>

#include "com/Module.h"

namespace tessary {
namespace {

// Few kinds exist; the table is emptied when the module is freed.
constexpr int kMaxKinds = 4;
struct ClassSlot {
  const HiddenWindowKind* kind;
  ATOM atom;
};
ClassSlot g_classes[kMaxKinds] = {};
int g_count = 0;

// Marks a window whose destruction was asked for from another thread; the
// module is locked until the window goes.
constexpr wchar_t kDestroyPending[] = L"Tessary.DestroyPending";

UINT DestroyRequest() noexcept {
  static const UINT message = ::RegisterWindowMessageW(L"Tessary.DestroyWindow");
  return message;
}

void UnregisterAll() {
  ModuleCriticalSectionGuard guard;
  for (int i = 0; i < g_count; ++i) {
    ::UnregisterClassW(MAKEINTATOM(g_classes[i].atom), Module::Handle());
  }
  g_count = 0;
}

// The kind's class, registered the first time; 0 when it cannot be had. A
// class left behind by an earlier load of the module is taken over.
ATOM ClassOf(const HiddenWindowKind& kind, WNDPROC procedure) noexcept {
  ModuleCriticalSectionGuard guard;
  for (int i = 0; i < g_count; ++i) {
    if (g_classes[i].kind == &kind) return g_classes[i].atom;
  }
  if (g_count == kMaxKinds) return 0;
  wchar_t name[64];
  if (std::swprintf(name, std::size(name), L"Tessary.%ls.%p", kind.name,
                    static_cast<void*>(Module::Handle())) < 0) {
    return 0;
  }
  WNDCLASSEXW windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = procedure;
  windowClass.hInstance = Module::Handle();
  windowClass.hCursor = kind.cursor ? ::LoadCursorW(nullptr, kind.cursor) : nullptr;
  windowClass.lpszClassName = name;
  ATOM atom = ::RegisterClassExW(&windowClass);
  if (!atom) atom = static_cast<ATOM>(::GetClassInfoExW(Module::Handle(), name, &windowClass));
  if (!atom) return 0;
  if (g_count == 0) Module::AddTermFunction(&UnregisterAll);
  g_classes[g_count++] = {&kind, atom};
  return atom;
}

void DestroyOnItsThread(HWND window) noexcept {
  if (::GetWindowThreadProcessId(window, nullptr) == ::GetCurrentThreadId()) {
    ::DestroyWindow(window);
    return;
  }
  const UINT destroy = DestroyRequest();
  if (destroy == 0) return;
  Module::Lock();
  if (!::SetPropW(window, kDestroyPending, reinterpret_cast<HANDLE>(1))) {
    Module::Unlock();
    return;
  }
  if (::PostMessageW(window, destroy, 0, 0)) return;
  // Nobody will serve the request: the window stays, as it would have.
  if (::RemovePropW(window, kDestroyPending)) Module::Unlock();
}

}  // namespace

bool HiddenWindow::Create(const HiddenWindowKind& kind, const wchar_t* title, Placement placement,
                          void* owner, Callback callback) noexcept {
  Reset();
  const ATOM windowClass = ClassOf(kind, &Procedure);
  if (!windowClass) return false;
  const int at = placement == Placement::kDefault ? CW_USEDEFAULT : 0;
  window_ = ::CreateWindowExW(WS_EX_TOOLWINDOW, MAKEINTATOM(windowClass), title, WS_POPUP, at, at,
                              at, at, nullptr, nullptr, Module::Handle(), nullptr);
  if (!window_) return false;
  kind_ = &kind;
  owner_ = owner;
  callback_ = callback;
  ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  return true;
}

void HiddenWindow::Reset() noexcept {
  if (!window_) return;
  ::SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
  DestroyOnItsThread(window_);
  window_ = nullptr;
}

LRESULT CALLBACK HiddenWindow::Procedure(HWND window, UINT message, WPARAM wParam,
                                         LPARAM lParam) noexcept {
  const UINT destroy = DestroyRequest();
  if (destroy != 0 && message == destroy && ::GetPropW(window, kDestroyPending)) {
    ::DestroyWindow(window);
    return 0;
  }
  if (message == WM_NCDESTROY && ::RemovePropW(window, kDestroyPending)) Module::Unlock();
  // The owner, cut off or not yet set, leaves every message to the default
  // procedure, which answers the kind's own message with 0 as well.
  const auto* self = reinterpret_cast<HiddenWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
  if (!self || message != self->kind_->message) {
    return ::DefWindowProcW(window, message, wParam, lParam);
  }
  if (self->callback_) self->callback_(self->owner_, wParam, lParam);
  return 0;
}

}  // namespace tessary
