// The spool handle and its byte source.
#include "base/mail_data.hpp"

#include <algorithm>

namespace tolvex {

std::string MailSpool::Bytes() const {
  std::string out;
  if (!file_ || size_ == 0) return out;
  out.resize(static_cast<std::size_t>(size_));
  if (ReadExactly(*file_, 0, out.data(), out.size())) out.clear();
  return out;
}

std::size_t FileSource::Fill(char* buf, std::size_t cap) {
  if (failed_ || pos_ == end_ || cap == 0) return 0;
  const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(cap, end_ - pos_));
  std::size_t got = 0;
  if (!file_ || file_->ReadAt(pos_, buf, want, got) || got == 0) {
    failed_ = true;
    return 0;
  }
  pos_ += got;
  return got;
}

}  // namespace tolvex
