// tolvex::Timer as a window timer (SetTimer/KillTimer): its ticks arrive
// as WM_TIMER on the window's thread, and the window's procedure hands
// them on through Accepts().
#pragma once

#include <windows.h>

#include "base/platform.hpp"

namespace tolvex::win {

class WindowTimer final : public Timer {
 public:
  WindowTimer(HWND hwnd, UINT_PTR id, UINT periodMs) : hwnd_(hwnd), id_(id), periodMs_(periodMs) {}
  ~WindowTimer() override;
  WindowTimer(const WindowTimer&) = delete;
  WindowTimer& operator=(const WindowTimer&) = delete;

  // Enabling an enabled timer keeps its running period (it does not restart
  // the count); disabling drops a tick already due.
  void SetEnabled(bool enabled) override;
  bool Enabled() const override { return enabled_; }

  // True when a WM_TIMER with this id is a tick to deliver.
  bool Accepts(UINT_PTR id) const { return enabled_ && id == id_; }
  UINT_PTR Id() const { return id_; }
  UINT PeriodMs() const { return periodMs_; }

 private:
  HWND hwnd_;
  UINT_PTR id_;
  UINT periodMs_;
  bool enabled_ = false;
};

}  // namespace tolvex::win
