// Runs the thread's message loop in tests until a condition holds or a
// deadline passes.
#pragma once

#include <windows.h>

#include <functional>

namespace tolvex::win::test {

inline void PumpOnce() {
  MSG m;
  while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
}

// True when `done` became true before `ms` milliseconds passed.
inline bool PumpUntil(const std::function<bool()>& done, DWORD ms) {
  DWORD start = GetTickCount();
  for (;;) {
    PumpOnce();
    if (done()) return true;
    DWORD elapsed = GetTickCount() - start;
    if (elapsed >= ms) return false;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - elapsed, QS_ALLINPUT);
  }
}

// Dispatches everything that arrives during `ms` milliseconds.
inline void PumpFor(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

}  // namespace tolvex::win::test
