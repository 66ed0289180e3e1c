// The terminal that stands in for the window on Linux.
#include "platform/posix/window.hpp"

#include "platform/native_path.hpp"

namespace tolvex::posix {
namespace {
constexpr char kClearToEnd[] = "\x1b[K";
}

TerminalWindow::TerminalWindow(std::ostream& err, bool statusLine, std::function<void(int)> onEnd)
    : err_(err), statusLine_(statusLine), onEnd_(std::move(onEnd)) {}

void TerminalWindow::SetCaption(const std::string& caption) {
  caption_ = caption;
  if (!statusLine_ || ended_) return;
  err_ << '\r' << Cp932ToUtf8(caption) << kClearToEnd << std::flush;
  statusShown_ = true;
}

// A minimized or hidden window shows no status: the line is wiped and stays
// off for the rest of the run.
void TerminalWindow::ShowMinimized() { ClearStatus(); }
void TerminalWindow::Hide() { ClearStatus(); }

void TerminalWindow::ClearStatus() {
  if (statusShown_) err_ << '\r' << kClearToEnd << std::flush;
  statusShown_ = false;
  statusLine_ = false;
}

void TerminalWindow::EndStatusLine() {
  if (statusShown_) err_ << '\n';
  statusShown_ = false;
}

void TerminalWindow::ReportFailure(const Failure& failure) {
  EndStatusLine();
  err_ << "tolvex: " << Cp932ToUtf8(failure.message) << '\n' << std::flush;
}

void TerminalWindow::ReportNotice(const std::string& utf8) {
  EndStatusLine();
  err_ << "tolvex: " << utf8 << '\n' << std::flush;
}

void TerminalWindow::EndProcess(int exitCode) {
  if (ended_) return;
  ended_ = true;
  exitCode_ = exitCode;
  EndStatusLine();
  err_ << std::flush;
  if (onEnd_) onEnd_(exitCode);
}

}  // namespace tolvex::posix
