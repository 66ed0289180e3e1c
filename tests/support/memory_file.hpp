// An InputFile over bytes in memory, for tests of code that reads files
// without touching the disk. `shrinkTo` makes it behave like a file cut
// short while it is read.
#pragma once

#include <algorithm>
#include <cstring>
#include <string>

#include "base/work_folder.hpp"

namespace tolvex::test {

class MemoryFile final : public InputFile {
 public:
  explicit MemoryFile(std::string bytes) : bytes_(std::move(bytes)), size_(bytes_.size()) {}

  std::uint64_t Size() const override { return size_; }
  IoError ReadAt(std::uint64_t offset, char* buf, std::size_t cap, std::size_t& got) override {
    ++reads;
    got = 0;
    if (failAtRead != 0 && reads == failAtRead) return "injected read error";
    const std::size_t end = std::min(bytes_.size(), shrinkTo);
    if (offset >= end) return std::nullopt;
    got = std::min<std::size_t>(cap, end - static_cast<std::size_t>(offset));
    std::memcpy(buf, bytes_.data() + offset, got);
    return std::nullopt;
  }

  std::size_t shrinkTo = std::string::npos;  // bytes left readable
  int failAtRead = 0;                        // 1-based read that fails; 0 none
  int reads = 0;

 private:
  std::string bytes_;
  std::uint64_t size_;
};

}  // namespace tolvex::test
