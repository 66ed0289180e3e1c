// A ByteSource over bytes held in memory.
#pragma once

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/platform.hpp"

namespace tolvex {

class StringSource final : public ByteSource {
 public:
  // `bytes` must stay alive and unchanged while the source is read.
  explicit StringSource(std::string_view bytes) : bytes_(bytes) {}

  std::size_t Fill(char* buf, std::size_t cap) override {
    const std::size_t n = std::min(cap, bytes_.size() - pos_);
    if (n > 0) std::memcpy(buf, bytes_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  bool Done() const override { return pos_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  std::size_t pos_ = 0;
};

}  // namespace tolvex
