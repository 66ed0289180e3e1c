#include "platform/posix/sign_in_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "platform/posix/fd_stream.hpp"

namespace tolvex::posix {
namespace {

// FNV-1a, 64 bits: a file name for the key (the key itself is checked on
// reading, so a collision finds nothing rather than another's token).
std::string HashName(const std::string& key) {
  std::uint64_t h = 14695981039346656037ull;
  for (unsigned char c : key) {
    h ^= c;
    h *= 1099511628211ull;
  }
  char name[32];
  std::snprintf(name, sizeof name, "signin-%016llx", static_cast<unsigned long long>(h));
  return name;
}

std::string Errno(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

std::string Refused(const std::filesystem::path& path, const std::string& why) {
  return "the sign-in store " + path.string() + " is refused: " + why;
}

std::string Unreadable(const std::filesystem::path& path) {
  return "the sign-in store " + path.string() + " cannot be read: " + std::strerror(errno);
}

}  // namespace

std::filesystem::path FileSignInStore::DefaultFolder() {
  const char* xdg = std::getenv("XDG_CONFIG_HOME");
  if (xdg && xdg[0] == '/') return std::filesystem::path(xdg) / "tolvex";
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::filesystem::path(home) / ".config" / "tolvex";
  return {};
}

std::filesystem::path FileSignInStore::FileOf(const std::string& key) const {
  return folder_ / HashName(key);
}

std::string FileSignInStore::Refusal(int fd, const std::filesystem::path& path, bool folder) const {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return Unreadable(path);
  if (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) {
    return Refused(path, folder ? "it is not a folder" : "it is not a regular file");
  }
  if (st.st_uid != owner_) {
    return Refused(path, "it belongs to another user (uid " + std::to_string(st.st_uid) + ")");
  }
  if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    return Refused(path, "group or others may write to it");
  }
  if (!folder && static_cast<std::uintmax_t>(st.st_size) > kMaxStoredSignIn) {
    return Refused(path, "it is larger than 64 KiB");
  }
  return {};
}

StoredSignIn FileSignInStore::Load(const std::string& key) {
  StoredSignIn found;
  if (folder_.empty()) return found;
  const int dir = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) {
    if (errno != ENOENT && errno != ENOTDIR) found.refused = Unreadable(folder_);
    return found;
  }
  const std::filesystem::path path = FileOf(key);
  // Not blocking: a FIFO put there must not hold the run up.
  const int fd =
      ::openat(dir, path.filename().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ELOOP) {
      found.refused = Refused(path, "it is a symbolic link");
    } else if (errno != ENOENT) {
      found.refused = Unreadable(path);
    }
    ::close(dir);
    return found;
  }
  found.refused = Refusal(dir, folder_, true);
  if (found.refused.empty()) found.refused = Refusal(fd, path, false);
  ::close(dir);
  Secret content;
  char buffer[512];
  // At most one byte past the limit, should the file grow after the check.
  while (found.refused.empty() && content.Size() <= kMaxStoredSignIn) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) found.refused = Unreadable(path);
    if (n <= 0) break;
    content.Append(std::string_view(buffer, static_cast<std::size_t>(n)));
  }
  WipeBytes(buffer, sizeof buffer);
  ::close(fd);
  if (!found.refused.empty()) return found;
  if (content.Size() > kMaxStoredSignIn) {
    found.refused = Refused(path, "it is larger than 64 KiB");
    return found;
  }
  const std::string_view text = content.View();
  const std::size_t eol = text.find('\n');
  // Another key's file (a hash collision, a copied file) is none of this
  // key's.
  if (eol != std::string_view::npos && text.substr(0, eol) != key) return found;
  std::string_view token = eol == std::string_view::npos ? "" : text.substr(eol + 1);
  if (!token.empty() && token.back() == '\n') token.remove_suffix(1);
  if (token.empty() || token.find('\n') != std::string_view::npos) {
    found.refused = "the sign-in store " + path.string() +
                    " is corrupt: it does not hold its key and one refresh token on two lines";
    return found;
  }
  found.token.Assign(token);
  return found;
}

std::string FileSignInStore::Save(const std::string& key, const Secret& refreshToken) {
  if (folder_.empty()) return "neither XDG_CONFIG_HOME nor HOME is set";
  std::error_code ec;
  std::filesystem::create_directories(folder_.parent_path(), ec);
  if (ec) return folder_.parent_path().string() + ": " + ec.message();
  if (::mkdir(folder_.c_str(), 0700) != 0 && errno != EEXIST) return Errno(folder_.c_str());
  const int dir = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return Errno(folder_.c_str());
  // A folder open to others is refused here too, not mended; one only
  // readable by others is made private.
  if (std::string refused = Refusal(dir, folder_, true); !refused.empty()) {
    ::close(dir);
    return refused;
  }
  ::fchmod(dir, 0700);
  const std::string target = FileOf(key).filename().string();
  const std::string temp = target + ".new";
  const std::string tempPath = (folder_ / temp).string();
  ::unlinkat(dir, temp.c_str(), 0);  // left by a run that did not end
  const int fd =
      ::openat(dir, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    std::string error = Errno(tempPath.c_str());
    ::close(dir);
    return error;
  }
  Secret content(key);
  content.Append("\n");
  content.Append(refreshToken.View());
  content.Append("\n");
  bool ok = WriteAll(fd, content.View()) && ::fsync(fd) == 0;
  std::string error = ok ? std::string() : Errno(tempPath.c_str());
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = Errno(tempPath.c_str());
  }
  if (ok && ::renameat(dir, temp.c_str(), dir, target.c_str()) != 0) {
    ok = false;
    error = Errno(FileOf(key).c_str());
  }
  if (!ok) {
    ::unlinkat(dir, temp.c_str(), 0);
  } else {
    ::fsync(dir);  // the rename itself made lasting
  }
  ::close(dir);
  return error;
}

}  // namespace tolvex::posix
