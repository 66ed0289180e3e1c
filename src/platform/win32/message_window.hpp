// A hidden message-only window that hands its messages to a callback, so a
// component (the socket) receives its notifications on the thread's one
// message loop without owning the main window.
#pragma once

#include <windows.h>

#include <functional>

namespace tolvex::win {

// Closed once the process is ending: no event may reach run control after
// that, even when a message is still queued.
struct EventGate {
  bool open = true;
};

// Dispatches the thread's messages until WM_QUIT: the program's message
// loop.
void PumpMessages();

class MessageWindow {
 public:
  // Returns true when it handled the message.
  using Handler = std::function<bool(UINT msg, WPARAM wParam, LPARAM lParam)>;

  explicit MessageWindow(Handler handler);
  ~MessageWindow();
  MessageWindow(const MessageWindow&) = delete;
  MessageWindow& operator=(const MessageWindow&) = delete;

  HWND Handle() const { return hwnd_; }

 private:
  static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

  Handler handler_;
  HWND hwnd_ = nullptr;
};

}  // namespace tolvex::win
