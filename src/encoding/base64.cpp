// The two Base64 encoders with their line rules: 72-character lines, CR LF
// between them, and for the file rule a CR LF after a full last line too.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>

#include "encoding/jis_convert.hpp"

namespace tolvex {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kLineChars = 72;
constexpr std::size_t kLineBytes = 54;  // input bytes of one full line
constexpr std::size_t kGroupsPerLine = kLineChars / 4;

// Two output characters for every 12-bit value, as they lie in memory when
// the 16-bit entry is stored: one lookup per half group.
constexpr std::array<std::uint16_t, 4096> kPairs = [] {
  std::array<std::uint16_t, 4096> t{};
  for (std::size_t i = 0; i < t.size(); ++i) {
    const auto first = static_cast<unsigned char>(kAlphabet[i >> 6]);
    const auto second = static_cast<unsigned char>(kAlphabet[i & 63]);
    t[i] = std::endian::native == std::endian::little
               ? static_cast<std::uint16_t>(first | second << 8)
               : static_cast<std::uint16_t>(first << 8 | second);
  }
  return t;
}();

inline void PutPair(char* out, std::uint64_t twelveBits) {
  std::memcpy(out, &kPairs[twelveBits & 0xFFF], 2);
}

// Eight bytes read as one big-endian number.
inline std::uint64_t LoadBigEndian64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::little) {
#if defined(__GNUC__) || defined(__clang__)
    v = __builtin_bswap64(v);
#else
    v = ((v & 0x00000000000000FFull) << 56) | ((v & 0x000000000000FF00ull) << 40) |
        ((v & 0x0000000000FF0000ull) << 24) | ((v & 0x00000000FF000000ull) << 8) |
        ((v & 0x000000FF00000000ull) >> 8) | ((v & 0x0000FF0000000000ull) >> 24) |
        ((v & 0x00FF000000000000ull) >> 40) | ((v & 0xFF00000000000000ull) >> 56);
#endif
  }
  return v;
}

// Eight characters for the six bytes held in the low 48 bits of `v`,
// stored at once.
inline void PutSix(char* out, std::uint64_t v) {
  const std::uint64_t a = kPairs[(v >> 36) & 0xFFF];
  const std::uint64_t b = kPairs[(v >> 24) & 0xFFF];
  const std::uint64_t c = kPairs[(v >> 12) & 0xFFF];
  const std::uint64_t d = kPairs[v & 0xFFF];
  const std::uint64_t chars = std::endian::native == std::endian::little
                                  ? a | b << 16 | c << 32 | d << 48
                                  : a << 48 | b << 32 | c << 16 | d;
  std::memcpy(out, &chars, 8);
}

// Writes the file-rule text of `n` bytes at `out` (exactly
// Base64LinesLength(n) characters) and returns the end.
char* EncodeLines(const unsigned char* in, std::size_t n, char* out) {
  // Whole lines: 54 bytes -> 72 characters + CR LF, nine 8-byte loads that
  // never reach past the line (the last one is taken ending at its end).
  for (; n >= kLineBytes; n -= kLineBytes, in += kLineBytes) {
    for (std::size_t k = 0; k < 8; ++k) PutSix(out + 8 * k, LoadBigEndian64(in + 6 * k) >> 16);
    PutSix(out + 64, LoadBigEndian64(in + 46));
    out[72] = '\r';
    out[73] = '\n';
    out += kLineChars + 2;
  }
  // The last, shorter line.
  const std::size_t groups = (n + 2) / 3;
  for (; n >= 3; n -= 3, in += 3, out += 4) {
    const std::uint32_t v = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
    PutPair(out, v >> 12);
    PutPair(out + 2, v);
  }
  if (n > 0) {
    const std::uint32_t v = (std::uint32_t{in[0]} << 16) | (n == 2 ? std::uint32_t{in[1]} << 8 : 0);
    out[0] = kAlphabet[v >> 18];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = n == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out[3] = '=';
    out += 4;
  }
  // 52 or 53 remaining bytes still make a full line of 18 groups.
  if (groups == kGroupsPerLine) {
    out[0] = '\r';
    out[1] = '\n';
    out += 2;
  }
  return out;
}

}  // namespace

std::size_t Base64LinesLength(std::size_t n) {
  const std::size_t groups = n / 3 + (n % 3 != 0);
  return 4 * groups + 2 * (groups / kGroupsPerLine);
}

std::string EncodeBase64(std::string_view text) {
  std::string out;
  if (text.empty()) return out;
  out.resize(Base64LinesLength(text.size()));
  EncodeLines(reinterpret_cast<const unsigned char*>(text.data()), text.size(), out.data());
  // Unlike the file rule, a full last line gets no CR LF.
  if (out.ends_with("\r\n")) out.resize(out.size() - 2);
  return out;
}

char* WriteBase64Lines(const char* bytes, std::size_t n, char* out) {
  return EncodeLines(reinterpret_cast<const unsigned char*>(bytes), n, out);
}

void AppendBase64Lines(std::string_view bytes, std::string& out) {
  if (bytes.empty()) return;
  const std::size_t old = out.size();
  out.resize(old + Base64LinesLength(bytes.size()));
  EncodeLines(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out.data() + old);
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
