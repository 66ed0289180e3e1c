// What stands in for the main window on Linux: the caption as one status
// line on a terminal, failures as lines on standard error, and the end of
// the process as the end of the event loop.
#pragma once

#include <functional>
#include <ostream>
#include <string>

#include "base/platform.hpp"

namespace tolvex::posix {

class TerminalWindow : public Window {
 public:
  // `statusLine`: show captions (standard error is a terminal). `onEnd` is
  // called once by EndProcess and must stop the event loop.
  TerminalWindow(std::ostream& err, bool statusLine, std::function<void(int)> onEnd);

  void SetCaption(const std::string& caption) override;
  void HideDebugButton() override {}
  void ShowMinimized() override;
  void Hide() override;
  // Linux has no notification area for this program; the icon is only
  // recorded so the run can be inspected.
  void AddTrayIcon() override { trayIcon_ = true; }
  void DeleteTrayIcon() override { trayIcon_ = false; }
  void ReportFailure(const Failure& failure) override;
  void ReportNotice(const std::string& utf8) override;
  void EndProcess(int exitCode) override;

  const std::string& Caption() const { return caption_; }
  bool TrayIcon() const { return trayIcon_; }
  bool Ended() const { return ended_; }
  int ExitCode() const { return exitCode_; }

 private:
  void ClearStatus();
  void EndStatusLine();

  std::ostream& err_;
  bool statusLine_;
  std::function<void(int)> onEnd_;
  std::string caption_;
  bool statusShown_ = false;  // a status line is on screen, cursor at its end
  bool trayIcon_ = false;
  bool ended_ = false;
  int exitCode_ = 0;
};

}  // namespace tolvex::posix
