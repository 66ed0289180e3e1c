// The message's wire form: CR LF line ends and doubled dots, streamed.
#include "smtp/dot_stuffer.hpp"

#include <algorithm>
#include <cstring>

namespace tolvex {
namespace {
constexpr std::size_t kInBytes = 64 * 1024;
}

DotStuffer::DotStuffer(ByteSource& message, std::uint64_t size)
    : message_(message), size_(size), in_(kInBytes) {}

bool DotStuffer::Done() const { return ended_ && pendLen_ == 0; }

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

std::size_t DotStuffer::Fill(char* buf, std::size_t cap) {
  std::size_t written = 0;
  // Writes `bytes`, keeping what does not fit for the next call.
  auto emit = [&](std::string_view bytes) {
    for (char c : bytes) {
      if (written < cap) {
        buf[written++] = c;
      } else {
        pend_[pendLen_++] = c;
      }
    }
  };
  while (written < cap && pendLen_ > 0) {
    buf[written++] = pend_[0];
    std::memmove(pend_.data(), pend_.data() + 1, --pendLen_);
  }
  while (written < cap && pendLen_ == 0 && !failed_) {
    if (offset_ == size_) {
      if (ended_) break;
      // The data ends with CR LF "." CR LF.
      if (afterCr_ || !lineStart_) emit("\r\n");
      afterCr_ = false;
      emit(".\r\n");
      ended_ = true;
      continue;
    }
    if (inPos_ == inLen_ && !Refill(1)) break;
    const char* p = in_.data() + inPos_;
    const std::size_t avail = std::min(inLen_ - inPos_, cap - written);
    // Every line end goes out as CR LF: a CR alone and an LF alone too,
    // so no receiver can read a line end where the message has none.
    if (afterCr_) {
      afterCr_ = false;
      emit("\r\n");
      lineStart_ = true;
      if (*p == '\n') {
        ++inPos_;
        ++offset_;
      }
      continue;
    }
    if (*p == '\r') {
      afterCr_ = true;
      ++inPos_;
      ++offset_;
      continue;
    }
    if (*p == '\n') {
      emit("\r\n");
      lineStart_ = true;
      ++inPos_;
      ++offset_;
      continue;
    }
    if (lineStart_ && *p == '.') {
      emit(".");  // the doubling dot; the original follows in the run
      lineStart_ = false;
      continue;
    }
    // A run up to the next CR or LF.
    std::size_t run = avail;
    if (const void* lf = std::memchr(p, '\n', run))
      run = static_cast<std::size_t>(static_cast<const char*>(lf) - p);
    if (const void* cr = std::memchr(p, '\r', run))
      run = static_cast<std::size_t>(static_cast<const char*>(cr) - p);
    std::memcpy(buf + written, p, run);
    written += run;
    inPos_ += run;
    offset_ += run;
    lineStart_ = false;
  }
  return written;
}

std::optional<std::uint64_t> OctetsOnTheWire(ByteSource& message, std::uint64_t size) {
  std::vector<char> buf(kInBytes);
  std::uint64_t octets = 0;
  bool afterCr = false;
  bool lineStart = true;
  for (std::uint64_t left = size; left > 0;) {
    const std::size_t n = message.Fill(
        buf.data(), static_cast<std::size_t>(std::min<std::uint64_t>(buf.size(), left)));
    if (n == 0) return std::nullopt;
    left -= n;
    for (std::size_t i = 0; i < n; ++i) {
      const char c = buf[i];
      if (afterCr && c == '\n') {  // counted with its CR
        afterCr = false;
        continue;
      }
      afterCr = c == '\r';
      lineStart = c == '\r' || c == '\n';
      octets += lineStart ? 2 : 1;
    }
  }
  if (!lineStart) octets += 2;
  return octets;
}

}  // namespace tolvex
