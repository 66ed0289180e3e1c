// What the interpreter does at once, as each line is read: "#FOR" shows the
// window minimized, or hides it and adds the tray icon; "#HOS" sets the
// socket's remote host. A run carries them out on its window and socket;
// --check, the tests and the fuzz target pass a recorder.
#pragma once

#include <string>
#include <vector>

#include "base/platform.hpp"

namespace tolvex {

class CommandEffects {
 public:
  virtual ~CommandEffects() = default;
  virtual void ShowMinimized() = 0;                         // "#FOR=icon"
  virtual void Hide() = 0;                                  // "#FOR=tray", first
  virtual void AddTrayIcon() = 0;                           // then SetTaskTrayIcon
  virtual void SetRemoteHost(const std::string& host) = 0;  // "#HOS"
};

// The effects on a window and a socket.
class WindowSocketEffects final : public CommandEffects {
 public:
  WindowSocketEffects(Window& window, Socket& socket) : window_(window), socket_(socket) {}
  void ShowMinimized() override { window_.ShowMinimized(); }
  void Hide() override { window_.Hide(); }
  void AddTrayIcon() override { window_.AddTrayIcon(); }
  void SetRemoteHost(const std::string& host) override { socket_.SetRemoteHost(host); }

 private:
  Window& window_;
  Socket& socket_;
};

// The effects kept in order ("minimized", "hide", "tray", "host:<name>"),
// and the last remote host.
class EffectRecorder final : public CommandEffects {
 public:
  void ShowMinimized() override { calls.push_back("minimized"); }
  void Hide() override { calls.push_back("hide"); }
  void AddTrayIcon() override { calls.push_back("tray"); }
  void SetRemoteHost(const std::string& h) override {
    host = h;
    calls.push_back("host:" + h);
  }

  std::vector<std::string> calls;
  std::string host;
};

}  // namespace tolvex
