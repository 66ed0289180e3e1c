#include "smtp/dot_stuffer.hpp"

#include <algorithm>
#include <cstring>

namespace tolvex {

namespace {

constexpr std::size_t kNone = std::string_view::npos;

// Offset of the "." of a final "." CR LF line, or kNone when the data does
// not end with a complete terminator line.
std::size_t FindTerminator(std::string_view data) {
  if (!data.ends_with(".\r\n")) return kNone;
  const std::size_t dot = data.size() - 3;
  if (dot == 0) return dot;
  if (dot >= 2 && data[dot - 2] == '\r' && data[dot - 1] == '\n') return dot;
  return kNone;
}

}  // namespace

DotStuffer::DotStuffer(std::string_view data)
    : data_(data), terminator_(FindTerminator(data)), extraDotAt_(kNone) {}

bool DotStuffer::LineStart(std::size_t pos) const {
  return pos == 0 || (pos >= 2 && data_[pos - 2] == '\r' && data_[pos - 1] == '\n');
}

std::size_t DotStuffer::Fill(char* buf, std::size_t cap) {
  std::size_t written = 0;
  const std::size_t n = data_.size();
  while (written < cap && pos_ < n) {
    if (data_[pos_] == '.' && pos_ != terminator_ && extraDotAt_ != pos_ && LineStart(pos_)) {
      buf[written++] = '.';  // the doubling dot; the original follows in the run
      extraDotAt_ = pos_;
      continue;
    }
    // Copy up to and including the next CR LF: the next place a dot may
    // need doubling. Searching from pos_-1 finds a CR LF whose CR went out
    // in the previous chunk.
    const std::size_t crlf = data_.find("\r\n", pos_ == 0 ? 0 : pos_ - 1);
    const std::size_t runEnd = crlf == kNone ? n : crlf + 2;
    const std::size_t len = std::min(runEnd - pos_, cap - written);
    std::memcpy(buf + written, data_.data() + pos_, len);
    written += len;
    pos_ += len;
  }
  return written;
}

std::size_t DotStuffer::StuffedSize(std::string_view data) {
  const std::size_t terminator = FindTerminator(data);
  std::size_t extra = 0;
  if (!data.empty() && data[0] == '.' && terminator != 0) ++extra;
  for (std::size_t at = data.find("\r\n."); at != kNone; at = data.find("\r\n.", at + 2)) {
    if (at + 2 != terminator) ++extra;
  }
  return data.size() + extra;
}

}  // namespace tolvex
