// Standard output and standard error of the windowed program.
#include "platform/win32/console_output.hpp"

#include <windows.h>

#include "platform/win32/win_text.hpp"

namespace tolvex::win {
namespace {

// The handle for `which`, attaching to the parent's console when the
// program was started from one without redirection.
HANDLE StdHandle(DWORD which) {
  HANDLE h = GetStdHandle(which);
  if (h != nullptr && h != INVALID_HANDLE_VALUE) return h;
  static bool attached = AttachConsole(ATTACH_PARENT_PROCESS) != 0;
  if (!attached) return nullptr;
  h = CreateFileW(L"CONOUT$", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

std::wstring WideFromUtf8(std::string_view text) {
  std::wstring out;
  if (text.empty()) return out;
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (n <= 0) return out;
  out.resize(static_cast<std::size_t>(n));
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string InCodePage(const std::wstring& text, UINT codePage) {
  std::string out;
  if (text.empty()) return out;
  const int n = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()),
                                    nullptr, 0, nullptr, nullptr);
  if (n <= 0) return out;
  out.resize(static_cast<std::size_t>(n));
  WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                      nullptr, nullptr);
  return out;
}

void Write(HANDLE h, const std::wstring& text) {
  if (h == nullptr) return;
  DWORD written;
  DWORD mode;
  if (GetConsoleMode(h, &mode)) {
    WriteConsoleW(h, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    return;
  }
  UINT codePage = GetConsoleOutputCP();
  if (codePage == 0) codePage = GetOEMCP();
  const std::string bytes = InCodePage(text, codePage);
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

void WriteOut(std::string_view utf8) {
  std::wstring text = WideFromUtf8(utf8);
  // Line ends as Windows text files have them.
  std::wstring crlf;
  crlf.reserve(text.size() + text.size() / 16);
  for (wchar_t c : text) {
    if (c == L'\n') crlf.push_back(L'\r');
    crlf.push_back(c);
  }
  Write(StdHandle(STD_OUTPUT_HANDLE), crlf);
}

void WriteOutBytes(std::string_view bytes) {
  HANDLE h = StdHandle(STD_OUTPUT_HANDLE);
  if (h == nullptr) return;
  DWORD written;
  WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

int ConsoleBuffer::sync() {
  if (str().empty()) return 0;
  if (bytes_) {
    WriteOutBytes(str());
  } else {
    WriteOut(str());
  }
  str({});
  return 0;
}

void WriteStandardError(const std::wstring& line) { Write(StdHandle(STD_ERROR_HANDLE), line); }

void ConsoleWindow::ReportFailure(const Failure& failure) {
  WriteStandardError(FailureLine(failure));
}

}  // namespace tolvex::win
