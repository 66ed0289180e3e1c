// The work folder's files on Linux: regular files only, opened without blocking.
#include "platform/posix/work_folder.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "base/text_convert.hpp"
#include "platform/native_path.hpp"

namespace tolvex::posix {
namespace {

std::string Reason(int err) { return std::strerror(err); }

// What a file of this mode is, when it is not a regular file.
IoError NotRegular(const struct stat& st) {
  if (S_ISREG(st.st_mode)) return std::nullopt;
  if (S_ISDIR(st.st_mode)) return "is a directory";
  if (S_ISFIFO(st.st_mode)) return "is a FIFO, not a regular file";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "is a device, not a regular file";
  if (S_ISSOCK(st.st_mode)) return "is a socket, not a regular file";
  return "is not a regular file";
}

// Opens without blocking (a FIFO without a writer would block a plain
// open), checks that it is a regular file, then makes it blocking again.
int OpenRegular(const std::filesystem::path& path, int flags, IoError& error) {
  const int fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0666);
  if (fd < 0) {
    error = Reason(errno);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    error = Reason(errno);
  } else {
    error = NotRegular(st);
  }
  if (!error && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0)
    error = Reason(errno);
  if (error) {
    ::close(fd);
    return -1;
  }
  return fd;
}

class PosixInputFile final : public InputFile {
 public:
  PosixInputFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  ~PosixInputFile() override { ::close(fd_); }
  std::uint64_t Size() const override { return size_; }

  IoError ReadAt(std::uint64_t offset, char* buf, std::size_t cap, std::size_t& got) override {
    got = 0;
    if (offset >= size_) return std::nullopt;
    cap = static_cast<std::size_t>(std::min<std::uint64_t>(cap, size_ - offset));
    for (;;) {
      const ssize_t n = ::pread(fd_, buf, cap, static_cast<off_t>(offset));
      if (n >= 0) {
        got = static_cast<std::size_t>(n);
        return std::nullopt;
      }
      if (errno != EINTR) return Reason(errno);
    }
  }

 private:
  int fd_;
  std::uint64_t size_;
};

// Writes everything or reports why not.
IoError WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Reason(errno);
    }
    if (n == 0) return Reason(ENOSPC);
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return std::nullopt;
}

class PosixOutputFile final : public OutputFile {
 public:
  // `sync`: Finish waits until the bytes are on the disk.
  PosixOutputFile(int fd, bool sync) : fd_(fd), sync_(sync) {}
  ~PosixOutputFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  IoError Write(std::string_view bytes) override { return WriteAll(fd_, bytes); }
  IoError Finish() override {
    const int fd = fd_;
    fd_ = -1;
    IoError error;
    if (sync_ && ::fsync(fd) != 0) error = Reason(errno);
    if (::close(fd) != 0 && !error) error = Reason(errno);
    return error;
  }

 private:
  int fd_;
  bool sync_;
};

// A file name (UTF-8 on Linux) in code page 932, when it has a form there
// that NativePath turns back into the same name; otherwise nothing.
std::optional<std::string> Cp932Name(std::string_view utf8) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(utf8.size() * 2 + 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  std::size_t inLeft = utf8.size();
  char* dst = out.data();
  std::size_t dstLeft = out.size();
  const bool ok = iconv(cd, &in, &inLeft, &dst, &dstLeft) != static_cast<std::size_t>(-1);
  iconv_close(cd);
  if (!ok) return std::nullopt;
  out.resize(out.size() - dstLeft);
  if (Cp932ToUtf8Exact(out) != utf8) return std::nullopt;
  return out;
}

}  // namespace
}  // namespace tolvex::posix

namespace tolvex {

using namespace posix;

std::filesystem::path NativeWorkFolder::PathOf(std::string_view name) const {
  return UnicodeNames() ? NativePathUtf8(dir_, name) : NativePath(dir_, name);
}

std::unique_ptr<InputFile> NativeWorkFolder::OpenRead(std::string_view name, IoError& error) {
  error.reset();
  const int fd = OpenRegular(PathOf(name), O_RDONLY, error);
  if (fd < 0) return nullptr;
  struct stat st {};
  ::fstat(fd, &st);
  return std::make_unique<PosixInputFile>(fd, static_cast<std::uint64_t>(st.st_size));
}

// A link planted at the name is removed, not written through; one planted
// again before the open is refused (O_NOFOLLOW, the link count), and the
// file is emptied only after those checks.
std::unique_ptr<OutputFile> NativeWorkFolder::Create(std::string_view name, IoError& error) {
  error.reset();
  const std::filesystem::path path = PathOf(name);
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 &&
      (S_ISLNK(st.st_mode) || (S_ISREG(st.st_mode) && st.st_nlink > 1))) {
    ::unlink(path.c_str());
  }
  const int fd = OpenRegular(path, O_WRONLY | O_CREAT | O_NOFOLLOW, error);
  if (fd < 0) return nullptr;
  if (::fstat(fd, &st) != 0) {
    error = Reason(errno);
  } else if (st.st_nlink > 1) {
    error = "has another name (a hard link), not written through";
  } else if (::ftruncate(fd, 0) != 0) {
    error = Reason(errno);
  }
  if (error) {
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixOutputFile>(fd, false);
}

std::unique_ptr<OutputFile> NativeWorkFolder::CreateNew(std::string_view name, IoError& error,
                                                        bool& taken) {
  error.reset();
  taken = false;
  const int fd = ::open(PathOf(name).c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) {
    taken = errno == EEXIST;
    error = Reason(errno);
    return nullptr;
  }
  return std::make_unique<PosixOutputFile>(fd, true);
}

IoError NativeWorkFolder::Append(std::string_view name, std::string_view bytes) {
  IoError error;
  const int fd = OpenRegular(PathOf(name), O_WRONLY | O_CREAT | O_APPEND, error);
  if (fd < 0) return error;
  struct stat st {};
  ::fstat(fd, &st);
  error = WriteAll(fd, bytes);
  // A record that did not go in whole is taken out again, so the file keeps
  // exactly what it had.
  if (error && ::ftruncate(fd, st.st_size) != 0)
    error = *error + " (and the file could not be restored)";
  if (::close(fd) != 0 && !error) error = Reason(errno);
  return error;
}

IoError NativeWorkFolder::Replace(std::string_view from, std::string_view to) {
  if (::rename(PathOf(from).c_str(), PathOf(to).c_str()) != 0) return Reason(errno);
  return std::nullopt;
}

IoError NativeWorkFolder::MakeFolder(std::string_view name) {
  if (::mkdir(PathOf(name).c_str(), 0700) != 0 && errno != EEXIST) return Reason(errno);
  return std::nullopt;
}

// A hard link never replaces its target (nor follows a link there); the
// old name then goes. File systems without hard links get a rename that
// refuses to replace; those without that either, a rename after a check,
// which is as close as they allow.
IoError NativeWorkFolder::PlaceNew(std::string_view from, std::string_view to, bool& taken) {
  taken = false;
  const std::filesystem::path source = PathOf(from);
  const std::filesystem::path target = PathOf(to);
  if (::link(source.c_str(), target.c_str()) == 0) {
    ::unlink(source.c_str());
    return std::nullopt;
  }
  int err = errno;
  if (err == EPERM || err == ENOTSUP || err == EOPNOTSUPP) {
    if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0)
      return std::nullopt;
    err = errno;
  }
  if (err == EINVAL || err == ENOSYS) {
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0) {
      err = EEXIST;
    } else if (::rename(source.c_str(), target.c_str()) == 0) {
      return std::nullopt;
    } else {
      err = errno;
    }
  }
  taken = err == EEXIST;
  return Reason(err);
}

FolderListing NativeWorkFolder::ListFolder(std::string_view folder, IoError& error) {
  error.reset();
  FolderListing listing;
  const std::filesystem::path path = folder.empty() ? dir_ : PathOf(folder);
  DIR* dir = ::opendir(path.c_str());
  if (!dir) {
    error = Reason(errno);
    return listing;
  }
  const int fd = ::dirfd(dir);
  for (;;) {
    errno = 0;
    const struct dirent* entry = ::readdir(dir);
    if (!entry) break;
    struct stat st {};
    // Links are followed, as OpenRead follows them.
    if (::fstatat(fd, entry->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode)) continue;
    const std::string_view name = entry->d_name;
    if (UnicodeNames()) {
      listing.names.emplace_back(name);
    } else if (std::optional<std::string> cp932 = Cp932Name(name)) {
      listing.names.push_back(std::move(*cp932));
    } else {
      ++listing.unnamed;
    }
  }
  if (errno != 0) error = Reason(errno);
  ::closedir(dir);
  return listing;
}

IoError NativeWorkFolder::Remove(std::string_view name) {
  if (::unlink(PathOf(name).c_str()) != 0 && errno != ENOENT) return Reason(errno);
  return std::nullopt;
}

}  // namespace tolvex
