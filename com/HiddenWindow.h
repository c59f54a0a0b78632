#pragma once
// The module's hidden windows: never-shown top-level pop-up tool windows,
// each serving one message for the object that owns it.
//
// A kind's window class is registered against this module the first time a
// window of that kind is made, named "Tessary.<kind>.<module address>" so
// that private copies of the module never share one, and unregistered when
// the module is freed. The owner is cut off before the window goes, so a
// message still queued never reaches a dead object; the window itself is
// destroyed on its own thread (only that thread can): from any other the
// request is posted to it, and the module counts as in use until the window
// is gone (or its thread ended, which takes the window with it).
#include <windows.h>

namespace tessary {

struct HiddenWindowKind {
  const wchar_t* name;
  // The one message its windows serve, answered with 0; every other goes to
  // the default procedure.
  UINT message;
  // A system cursor (IDC_...), or null for none.
  const wchar_t* cursor;
};

class HiddenWindow {
 public:
  // Runs for the owner on the window's thread with the message's parameters.
  using Callback = void (*)(void* owner, WPARAM wParam, LPARAM lParam) noexcept;

  enum class Placement {
    kOrigin,   // an empty rectangle at the origin
    kDefault,  // the system's default position and size
  };

  HiddenWindow() noexcept = default;
  ~HiddenWindow() { Reset(); }
  HiddenWindow(const HiddenWindow&) = delete;
  HiddenWindow& operator=(const HiddenWindow&) = delete;

  // Makes the window on the calling thread, named `title` (null for none),
  // and hands its kind's message to `callback` with `owner` until Reset.
  // False, and no window, when the class or the window cannot be had.
  // `kind` is a constant that outlives the module's windows.
  bool Create(const HiddenWindowKind& kind, const wchar_t* title, Placement placement, void* owner,
              Callback callback) noexcept;
  // Cuts the owner off, then destroys the window on its own thread.
  void Reset() noexcept;

  HWND get() const noexcept { return window_; }
  explicit operator bool() const noexcept { return window_ != nullptr; }

 private:
  static LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam,
                                    LPARAM lParam) noexcept;

  HWND window_ = nullptr;
  const HiddenWindowKind* kind_ = nullptr;
  void* owner_ = nullptr;
  Callback callback_ = nullptr;
};

}  // namespace tessary
