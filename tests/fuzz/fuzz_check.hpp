// What the fuzz targets share: the check that stops a run on a broken
// invariant (libFuzzer and the replay program both report an abort), and
// the splitting of one input into the pieces a target feeds.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace tolvex::fuzz {

[[noreturn]] inline void Fail(const char* condition, std::string_view detail, const char* file,
                              int line) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s\n  %.*s\n", file, line, condition,
               static_cast<int>(detail.size()), detail.data());
  std::abort();
}

// Printable form of bytes for failure messages.
inline std::string Escaped(std::string_view bytes, std::size_t max = 400) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < max; ++i) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b >= 0x20 && b < 0x7F && b != '\\') {
      out.push_back(static_cast<char>(b));
    } else {
      out.append("\\x").push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 15]);
    }
  }
  if (bytes.size() > max) out.append("...");
  return out;
}

// `input` cut at every `separator`; always at least one piece.
inline std::vector<std::string_view> Split(std::string_view input, std::string_view separator) {
  std::vector<std::string_view> pieces;
  for (;;) {
    const std::size_t at = input.find(separator);
    if (at == std::string_view::npos) {
      pieces.push_back(input);
      return pieces;
    }
    pieces.push_back(input.substr(0, at));
    input.remove_prefix(at + separator.size());
  }
}

inline std::string_view AsText(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

}  // namespace tolvex::fuzz

#define FUZZ_CHECK(condition, detail)                                                 \
  do {                                                                                \
    if (!(condition)) ::tolvex::fuzz::Fail(#condition, (detail), __FILE__, __LINE__); \
  } while (0)
