// Window timers (SetTimer/KillTimer).
#include "platform/win32/timer.hpp"

namespace tolvex::win {

WindowTimer::~WindowTimer() {
  if (enabled_) KillTimer(hwnd_, id_);
}

void WindowTimer::SetEnabled(bool enabled) {
  if (enabled == enabled_) return;
  if (enabled) {
    enabled_ = SetTimer(hwnd_, id_, periodMs_, nullptr) != 0;
  } else {
    KillTimer(hwnd_, id_);  // also removes a WM_TIMER already posted
    enabled_ = false;
  }
}

}  // namespace tolvex::win
