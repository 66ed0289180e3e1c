#include "platform/posix/file_sign_in_store.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
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

std::optional<Secret> FileSignInStore::Load(const std::string& key) {
  problem_.clear();
  if (folder_.empty()) return std::nullopt;
  const std::filesystem::path file = FileOf(key);
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    if (errno != ENOENT) problem_ = "the sign-in store file " + Errno(file.c_str());
    return std::nullopt;
  }
  Secret content;
  char buffer[512];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    content.Append(std::string_view(buffer, static_cast<std::size_t>(n)));
  }
  WipeBytes(buffer, sizeof buffer);
  ::close(fd);
  const std::string_view text = content.View();
  const std::size_t eol = text.find('\n');
  std::string_view token;
  if (eol != std::string_view::npos && text.substr(0, eol) == key) token = text.substr(eol + 1);
  if (!token.empty() && token.back() == '\n') token.remove_suffix(1);
  if (token.empty() || token.find('\n') != std::string_view::npos) {
    problem_ = "the sign-in store file " + file.string() + " is corrupt";
    return std::nullopt;
  }
  return Secret(token);
}

std::string FileSignInStore::Save(const std::string& key, const Secret& refreshToken) {
  if (folder_.empty()) return "neither XDG_CONFIG_HOME nor HOME is set";
  std::error_code ec;
  std::filesystem::create_directories(folder_, ec);
  if (ec) return folder_.string() + ": " + ec.message();
  ::chmod(folder_.c_str(), 0700);
  const std::filesystem::path target = FileOf(key);
  std::filesystem::path temp = target;
  temp += ".new";
  ::unlink(temp.c_str());  // left by a run that did not end
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return Errno(temp.c_str());
  Secret content(key);
  content.Append("\n");
  content.Append(refreshToken.View());
  content.Append("\n");
  bool ok = WriteAll(fd, content.View()) && ::fsync(fd) == 0;
  std::string error = ok ? std::string() : Errno(temp.c_str());
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = Errno(temp.c_str());
  }
  if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
    ok = false;
    error = Errno(target.c_str());
  }
  if (!ok) {
    ::unlink(temp.c_str());
    return error;
  }
  // The rename itself made lasting.
  const int dir = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return {};
}

}  // namespace tolvex::posix
