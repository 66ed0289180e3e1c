#include "platform/posix/fd_stream.hpp"

#include <unistd.h>

#include <cerrno>

namespace tolvex::posix {

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool FdStreamBuf::Drain() {
  const bool ok =
      WriteAll(fd_, std::string_view(pbase(), static_cast<std::size_t>(pptr() - pbase())));
  setp(buffer_, buffer_ + sizeof buffer_);
  return ok;
}

FdStreamBuf::int_type FdStreamBuf::overflow(int_type c) {
  if (!Drain()) return traits_type::eof();
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  *pptr() = traits_type::to_char_type(c);
  pbump(1);
  return c;
}

std::streamsize FdStreamBuf::xsputn(const char* s, std::streamsize n) {
  // Large pieces (a message's bytes for --check --raw) go out directly.
  if (n >= static_cast<std::streamsize>(sizeof buffer_)) {
    if (!Drain() || !WriteAll(fd_, std::string_view(s, static_cast<std::size_t>(n)))) return 0;
    return n;
  }
  return std::streambuf::xsputn(s, n);
}

}  // namespace tolvex::posix
