#include "smtp/dot_stuffer.hpp"

#include <algorithm>
#include <cstring>

namespace tolvex {
namespace {
constexpr std::size_t kInBytes = 64 * 1024;
}

DotStuffer::DotStuffer(ByteSource& message, std::uint64_t size)
    : message_(message), size_(size), in_(kInBytes) {}

bool DotStuffer::Done() const { return offset_ == size_ && pendLen_ == 0; }

bool DotStuffer::Refill(std::size_t want) {
  const std::size_t available = inLen_ - inPos_;
  want = static_cast<std::size_t>(std::min<std::uint64_t>(want, size_ - offset_));
  if (available >= want) return true;
  std::memmove(in_.data(), in_.data() + inPos_, available);
  inPos_ = 0;
  inLen_ = available;
  const std::uint64_t left = size_ - offset_;
  while (inLen_ < want) {
    const std::size_t room =
        static_cast<std::size_t>(std::min<std::uint64_t>(in_.size() - inLen_, left - inLen_));
    const std::size_t n = message_.Fill(in_.data() + inLen_, room);
    if (n == 0) {  // the source failed or ended before its size
      failed_ = true;
      return false;
    }
    inLen_ += n;
  }
  return true;
}

bool DotStuffer::AtTerminator() {
  if (offset_ + 3 != size_ || !Refill(3)) return false;
  return in_[inPos_ + 1] == '\r' && in_[inPos_ + 2] == '\n';
}

std::size_t DotStuffer::Fill(char* buf, std::size_t cap) {
  std::size_t written = 0;
  while (written < cap && pendLen_ > 0) {
    buf[written++] = pend_[0];
    std::memmove(pend_.data(), pend_.data() + 1, --pendLen_);
  }
  while (written < cap && offset_ < size_ && !failed_) {
    if (inPos_ == inLen_ && !Refill(1)) break;
    std::size_t avail = std::min(inLen_ - inPos_, cap - written);
    const char* p = in_.data() + inPos_;
    if (!terminator_ && lineStart_ && *p == '.') {
      if (AtTerminator()) {
        terminator_ = true;  // copied raw below, once
        continue;
      }
      if (failed_) break;
      buf[written++] = '.';  // the doubling dot; the original follows in the run
      lineStart_ = false;
      afterCr_ = false;
      if (written == cap) {
        pend_[pendLen_++] = '.';
        ++inPos_;
        ++offset_;
        break;
      }
      avail = std::min(inLen_ - inPos_, cap - written);
    }
    std::size_t run = avail;
    if (!terminator_) {
      // Up to and including the next LF: the next place a line may start.
      if (const void* lf = std::memchr(p, '\n', avail)) {
        run = static_cast<std::size_t>(static_cast<const char*>(lf) - p) + 1;
      }
      const bool crBefore = run >= 2 ? p[run - 2] == '\r' : afterCr_;
      if (p[run - 1] == '\n') {
        lineStart_ = crBefore;
        afterCr_ = false;
      } else {
        lineStart_ = false;
        afterCr_ = p[run - 1] == '\r';
      }
    }
    std::memcpy(buf + written, p, run);
    written += run;
    inPos_ += run;
    offset_ += run;
  }
  return written;
}

}  // namespace tolvex
