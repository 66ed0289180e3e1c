// Standard output and error as streams written straight to their file
// descriptors, each output flushed as it is made (as std::cerr is): the
// program needs neither the standard streams nor their start-up, which
// --version and --help would otherwise pay for in memory.
#pragma once

#include <ostream>
#include <streambuf>
#include <string_view>

namespace tolvex::posix {

// Writes all of `bytes` to `fd`, again after an interrupted or partial
// write; false when the descriptor refuses them.
bool WriteAll(int fd, std::string_view bytes);

class FdStreamBuf final : public std::streambuf {
 public:
  explicit FdStreamBuf(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override { return Drain() ? 0 : -1; }

 private:
  bool Drain();

  int fd_;
  char buffer_[4096];
};

class FdStream final : public std::ostream {
 public:
  explicit FdStream(int fd) : std::ostream(nullptr), buf_(fd) {
    rdbuf(&buf_);
    setf(std::ios_base::unitbuf);
  }

 private:
  FdStreamBuf buf_;
};

}  // namespace tolvex::posix
