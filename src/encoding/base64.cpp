// The message's Base64: its text in 72-character lines, and a file read in
// blocks of whole lines so that no copy of it is held beside the text.
#include <algorithm>
#include <memory>
#include <new>

#include "encoding/jis_convert.hpp"

namespace tolvex {

std::string EncodeBase64(std::string_view text) {
  std::string out;
  AppendBase64(text, out, kBase64TextLines);
  return out;
}

IoError EncodeFileBase64(InputFile& file, std::string& result) {
  // Blocks of whole lines, so the text comes out as for the file read whole.
  constexpr std::size_t kBlock = kBase64LineBytes * 19418;  // about 1 MiB
  const std::uint64_t size = file.Size();
  std::string text;
  if (size > text.max_size() / 4 * 3 - 64) return "the file is too large";
  try {
    text.reserve(Base64LinesLength(static_cast<std::size_t>(size)));
    std::unique_ptr<char[]> block = std::make_unique_for_overwrite<char[]>(
        static_cast<std::size_t>(std::min<std::uint64_t>(size, kBlock)));
    for (std::uint64_t at = 0; at < size;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, kBlock));
      if (IoError error = ReadExactly(file, at, block.get(), n)) return error;
      AppendBase64Lines(std::string_view(block.get(), n), text);
      at += n;
    }
  } catch (const std::bad_alloc&) {
    return "not enough memory";
  }
  result = std::move(text);
  return std::nullopt;
}

}  // namespace tolvex
