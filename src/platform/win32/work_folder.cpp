// The work folder's files on Windows through the wide file API.
#include "platform/win32/work_folder.hpp"

#include <windows.h>

#include <algorithm>
#include <optional>

#include "platform/native_path.hpp"
#include "platform/win32/win_text.hpp"

namespace tolvex::win {
namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The system's own words for an error code, one line, code page 932.
std::string Reason(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring line = n > 0 && text ? std::wstring(text, n) : L"error " + std::to_wstring(code);
  if (text) LocalFree(text);
  while (!line.empty() && (line.back() == L'\r' || line.back() == L'\n' || line.back() == L' ' ||
                           line.back() == L'.')) {
    line.pop_back();
  }
  return Cp932FromWide(line);
}

// Opens `path` and checks that it is a regular disk file.
HANDLE OpenRegular(const std::filesystem::path& path, DWORD access, DWORD share, DWORD disposition,
                   IoError& error) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    error = "is a folder";
    return INVALID_HANDLE_VALUE;
  }
  HANDLE h = CreateFileW(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = Reason(GetLastError());
    return h;
  }
  if (GetFileType(h) != FILE_TYPE_DISK) {
    CloseHandle(h);
    error = "is a device, not a regular file";
    return INVALID_HANDLE_VALUE;
  }
  return h;
}

IoError WriteAll(HANDLE h, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 1u << 30));
    DWORD wrote = 0;
    if (!WriteFile(h, bytes.data(), want, &wrote, nullptr)) return Reason(GetLastError());
    if (wrote == 0) return Reason(ERROR_DISK_FULL);
    bytes.remove_prefix(wrote);
  }
  return std::nullopt;
}

class WinInputFile final : public InputFile {
 public:
  WinInputFile(HANDLE h, std::uint64_t size) : h_(h), size_(size) {}
  ~WinInputFile() override { CloseHandle(h_); }
  std::uint64_t Size() const override { return size_; }

  IoError ReadAt(std::uint64_t offset, char* buf, std::size_t cap, std::size_t& got) override {
    got = 0;
    if (offset >= size_) return std::nullopt;
    const DWORD want =
        static_cast<DWORD>(std::min<std::uint64_t>({cap, size_ - offset, std::uint64_t{1} << 30}));
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD read = 0;
    if (!ReadFile(h_, buf, want, &read, &at)) {
      const DWORD code = GetLastError();
      if (code != ERROR_HANDLE_EOF) return Reason(code);
    }
    got = read;
    return std::nullopt;
  }

 private:
  HANDLE h_;
  std::uint64_t size_;
};

class WinOutputFile final : public OutputFile {
 public:
  // `flush`: Finish waits until the bytes are on the disk.
  WinOutputFile(HANDLE h, bool flush) : h_(h), flush_(flush) {}
  ~WinOutputFile() override {
    if (h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
  }
  IoError Write(std::string_view bytes) override { return WriteAll(h_, bytes); }
  IoError Finish() override {
    const HANDLE h = h_;
    h_ = INVALID_HANDLE_VALUE;
    IoError error;
    if (flush_ && !FlushFileBuffers(h)) error = Reason(GetLastError());
    if (!CloseHandle(h) && !error) error = Reason(GetLastError());
    return error;
  }

 private:
  HANDLE h_;
  bool flush_;
};

// Why an open handle is not a file of this folder's own: a link (a
// reparse point, or a second name; `link` is set), a folder or not a disk
// file; nothing when it is.
IoError NotOwnFile(HANDLE h, bool& link) {
  link = false;
  if (GetFileType(h) != FILE_TYPE_DISK) return "is a device, not a regular file";
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return Reason(GetLastError());
  link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) || info.nNumberOfLinks > 1;
  if (link) return "is a link, not written through";
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return "is a folder";
  return std::nullopt;
}

// A file name in the command file's encoding: code page 932 when it
// converts exactly (no best-fit stand-ins) and back to the same name,
// otherwise nothing; UTF-8 when it holds no unpaired surrogate.
std::optional<std::string> NameIn(std::wstring_view wide, bool unicode) {
  const int size = static_cast<int>(wide.size());
  const UINT page = unicode ? CP_UTF8 : kCodePage932;
  const DWORD flags = unicode ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* defaulted = unicode ? nullptr : &usedDefault;
  const int n = WideCharToMultiByte(page, flags, wide.data(), size, nullptr, 0, nullptr, defaulted);
  if (n <= 0 || usedDefault) return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(page, flags, wide.data(), size, out.data(), n, nullptr, defaulted);
  if (!unicode && WideFromCp932(out) != wide) return std::nullopt;
  return out;
}

}  // namespace
}  // namespace tolvex::win

namespace tolvex {

using namespace win;

std::filesystem::path NativeWorkFolder::PathOf(std::string_view name) const {
  return UnicodeNames() ? NativePathUtf8(dir_, name) : NativePath(dir_, name);
}

std::unique_ptr<InputFile> NativeWorkFolder::OpenRead(std::string_view name, IoError& error) {
  error.reset();
  HANDLE h = OpenRegular(PathOf(name), GENERIC_READ, kShareAll, OPEN_EXISTING, error);
  if (h == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(h, &size)) {
    error = Reason(GetLastError());
    CloseHandle(h);
    return nullptr;
  }
  return std::make_unique<WinInputFile>(h, static_cast<std::uint64_t>(size.QuadPart));
}

// The name is opened as itself (FILE_FLAG_OPEN_REPARSE_POINT), never
// through a link: a link found there is removed and the name opened once
// more; one planted again meanwhile is refused. The file is emptied only
// after that check.
std::unique_ptr<OutputFile> NativeWorkFolder::Create(std::string_view name, IoError& error) {
  error.reset();
  const std::filesystem::path path = PathOf(name);
  for (int attempt = 0;; ++attempt) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
        !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      error = "is a folder";
      return nullptr;
    }
    HANDLE h =
        CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      error = Reason(GetLastError());
      return nullptr;
    }
    bool link = false;
    error = NotOwnFile(h, link);
    if (!error && !SetEndOfFile(h)) error = Reason(GetLastError());
    if (!error) return std::make_unique<WinOutputFile>(h, false);
    CloseHandle(h);
    if (!link || attempt > 0 || !DeleteFileW(path.c_str())) return nullptr;
    error.reset();
  }
}

// CREATE_NEW fails on any name already there; FILE_FLAG_OPEN_REPARSE_POINT
// keeps it from creating a file where a dangling link points.
std::unique_ptr<OutputFile> NativeWorkFolder::CreateNew(std::string_view name, IoError& error,
                                                        bool& taken) {
  error.reset();
  taken = false;
  HANDLE h = CreateFileW(PathOf(name).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    taken = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS;
    error = Reason(code);
    return nullptr;
  }
  bool link = false;
  if ((error = NotOwnFile(h, link))) {
    CloseHandle(h);
    return nullptr;
  }
  return std::make_unique<WinOutputFile>(h, true);
}

IoError NativeWorkFolder::Append(std::string_view name, std::string_view bytes) {
  IoError error;
  HANDLE h = OpenRegular(PathOf(name), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                         OPEN_ALWAYS, error);
  if (h == INVALID_HANDLE_VALUE) return error;
  LARGE_INTEGER end{};
  GetFileSizeEx(h, &end);
  LARGE_INTEGER zero{};
  if (!SetFilePointerEx(h, zero, nullptr, FILE_END)) {
    error = Reason(GetLastError());
  } else {
    error = WriteAll(h, bytes);
    // A record that did not go in whole is taken out again, so the file
    // keeps exactly what it had.
    if (error && !(SetFilePointerEx(h, end, nullptr, FILE_BEGIN) && SetEndOfFile(h))) {
      *error += " (and the file could not be restored)";
    }
  }
  if (!CloseHandle(h) && !error) error = Reason(GetLastError());
  return error;
}

IoError NativeWorkFolder::Replace(std::string_view from, std::string_view to) {
  if (!MoveFileExW(PathOf(from).c_str(), PathOf(to).c_str(), MOVEFILE_REPLACE_EXISTING)) {
    return Reason(GetLastError());
  }
  return std::nullopt;
}

IoError NativeWorkFolder::MakeFolder(std::string_view name) {
  if (!CreateDirectoryW(PathOf(name).c_str(), nullptr)) {
    const DWORD code = GetLastError();
    if (code != ERROR_ALREADY_EXISTS) return Reason(code);
  }
  return std::nullopt;
}

// Without MOVEFILE_REPLACE_EXISTING the move fails when the target exists.
IoError NativeWorkFolder::PlaceNew(std::string_view from, std::string_view to, bool& taken) {
  taken = false;
  if (!MoveFileExW(PathOf(from).c_str(), PathOf(to).c_str(), 0)) {
    const DWORD code = GetLastError();
    taken = code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS;
    return Reason(code);
  }
  return std::nullopt;
}

// FindExInfoBasic leaves out the 8.3 short names: only the long names are
// listed, and matched.
FolderListing NativeWorkFolder::ListFolder(std::string_view folder, IoError& error) {
  error.reset();
  FolderListing listing;
  listing.ignoreCase = true;
  const std::filesystem::path search = (folder.empty() ? dir_ : PathOf(folder)) / L"*";
  WIN32_FIND_DATAW found{};
  HANDLE h = FindFirstFileExW(search.c_str(), FindExInfoBasic, &found, FindExSearchNameMatch,
                              nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND) error = Reason(code);
    return listing;
  }
  do {
    if (found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) continue;
    if (std::optional<std::string> name = NameIn(found.cFileName, UnicodeNames())) {
      listing.names.push_back(std::move(*name));
    } else {
      ++listing.unnamed;
    }
  } while (FindNextFileW(h, &found));
  const DWORD code = GetLastError();
  if (code != ERROR_NO_MORE_FILES) error = Reason(code);
  FindClose(h);
  return listing;
}

IoError NativeWorkFolder::Remove(std::string_view name) {
  if (!DeleteFileW(PathOf(name).c_str())) {
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) return Reason(code);
  }
  return std::nullopt;
}

}  // namespace tolvex
