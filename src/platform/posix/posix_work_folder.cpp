// The work folder's files on Linux: regular files only, opened without blocking.
#include "platform/posix/posix_work_folder.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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
  explicit PosixOutputFile(int fd) : fd_(fd) {}
  ~PosixOutputFile() override {
    if (fd_ >= 0) ::close(fd_);
  }
  IoError Write(std::string_view bytes) override { return WriteAll(fd_, bytes); }
  IoError Finish() override {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) return Reason(errno);
    return std::nullopt;
  }

 private:
  int fd_;
};

}  // namespace

std::filesystem::path PosixWorkFolder::PathOf(std::string_view name) const {
  return UnicodeNames() ? NativePathUtf8(dir_, name) : NativePath(dir_, name);
}

std::unique_ptr<InputFile> PosixWorkFolder::OpenRead(std::string_view name, IoError& error) {
  error.reset();
  const int fd = OpenRegular(PathOf(name), O_RDONLY, error);
  if (fd < 0) return nullptr;
  struct stat st {};
  ::fstat(fd, &st);
  return std::make_unique<PosixInputFile>(fd, static_cast<std::uint64_t>(st.st_size));
}

std::unique_ptr<OutputFile> PosixWorkFolder::Create(std::string_view name, IoError& error) {
  error.reset();
  const int fd = OpenRegular(PathOf(name), O_WRONLY | O_CREAT | O_TRUNC, error);
  if (fd < 0) return nullptr;
  return std::make_unique<PosixOutputFile>(fd);
}

IoError PosixWorkFolder::Append(std::string_view name, std::string_view bytes) {
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

IoError PosixWorkFolder::Replace(std::string_view from, std::string_view to) {
  if (::rename(PathOf(from).c_str(), PathOf(to).c_str()) != 0) return Reason(errno);
  return std::nullopt;
}

IoError PosixWorkFolder::MakeFolder(std::string_view name) {
  if (::mkdir(PathOf(name).c_str(), 0777) != 0 && errno != EEXIST) return Reason(errno);
  return std::nullopt;
}

// A hard link never replaces its target; the old name then goes. File
// systems without hard links get a rename after a check, which is as close
// as they allow.
IoError PosixWorkFolder::PlaceNew(std::string_view from, std::string_view to, bool& taken) {
  taken = false;
  const std::filesystem::path source = PathOf(from);
  const std::filesystem::path target = PathOf(to);
  if (::link(source.c_str(), target.c_str()) == 0) {
    ::unlink(source.c_str());
    return std::nullopt;
  }
  int err = errno;
  if (err == EPERM || err == ENOTSUP || err == EOPNOTSUPP) {
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

IoError PosixWorkFolder::Remove(std::string_view name) {
  if (::unlink(PathOf(name).c_str()) != 0 && errno != ENOENT) return Reason(errno);
  return std::nullopt;
}

}  // namespace tolvex::posix
