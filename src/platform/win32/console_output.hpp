// Text for standard output and standard error of a windowed program: a
// console gets UTF-16, a file or pipe gets the console's code page (code
// page 932 on a Japanese system). A program started from a console without
// redirection writes to that console.
#pragma once

#include <sstream>
#include <string>
#include <string_view>

#include "base/platform.hpp"

namespace tolvex::win {

// UTF-8 text to standard output.
void WriteOut(std::string_view utf8);
// Bytes to standard output, unchanged.
void WriteOutBytes(std::string_view bytes);
// One line (UTF-16, line end included) to standard error.
void WriteStandardError(const std::wstring& line);

// Standard output as a stream: what was written goes out at each flush,
// as UTF-8 text (WriteOut) or, with `bytes`, unchanged (WriteOutBytes).
class ConsoleBuffer final : public std::stringbuf {
 public:
  explicit ConsoleBuffer(bool bytes = false) : bytes_(bytes) {}

 protected:
  int sync() override;

 private:
  bool bytes_;
};

// The window of a run without a window (--check): failures go to standard
// error as the program's line; the window directives do nothing.
class ConsoleWindow final : public Window {
 public:
  void SetCaption(const std::string&) override {}
  void HideDebugButton() override {}
  void ShowMinimized() override {}
  void Hide() override {}
  void AddTrayIcon() override {}
  void DeleteTrayIcon() override {}
  void ReportFailure(const Failure& failure) override;
  void EndProcess(int) override {}
};

}  // namespace tolvex::win
