// Reading a file exactly.
#include "base/work_folder.hpp"

namespace tolvex {

IoError ReadExactly(InputFile& file, std::uint64_t offset, char* buf, std::size_t n) {
  while (n > 0) {
    std::size_t got = 0;
    if (IoError error = file.ReadAt(offset, buf, n, got)) return error;
    if (got == 0) return "the file became shorter while it was read";
    offset += got;
    buf += got;
    n -= got;
  }
  return std::nullopt;
}

}  // namespace tolvex
