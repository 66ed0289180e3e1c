// Groups of three bytes become four characters through tables of two
// characters per 12 bits; runs of six bytes are read with one 8-byte load
// and stored as eight characters at once.
#include "base/base64.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace tolvex {
namespace {

constexpr char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kUrlSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

// Two output characters for every 12-bit value, as they lie in memory when
// the 16-bit entry is stored: one lookup per half group.
using Pairs = std::array<std::uint16_t, 4096>;

constexpr Pairs MakePairs(const char* alphabet) {
  Pairs t{};
  for (std::size_t i = 0; i < t.size(); ++i) {
    const auto first = static_cast<unsigned char>(alphabet[i >> 6]);
    const auto second = static_cast<unsigned char>(alphabet[i & 63]);
    t[i] = std::endian::native == std::endian::little
               ? static_cast<std::uint16_t>(first | second << 8)
               : static_cast<std::uint16_t>(first << 8 | second);
  }
  return t;
}

constexpr Pairs kStandardPairs = MakePairs(kStandard);
constexpr Pairs kUrlSafePairs = MakePairs(kUrlSafe);

// Input bytes of the message's 72-character lines.
constexpr std::size_t kMessageLineBytes = 54;

struct Alphabet {
  const char* chars;
  const Pairs& pairs;
};

inline void PutPair(char* out, std::uint64_t twelveBits, const Pairs& pairs) {
  std::memcpy(out, &pairs[twelveBits & 0xFFF], 2);
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
inline void PutSix(char* out, std::uint64_t v, const Pairs& pairs) {
  const std::uint64_t a = pairs[(v >> 36) & 0xFFF];
  const std::uint64_t b = pairs[(v >> 24) & 0xFFF];
  const std::uint64_t c = pairs[(v >> 12) & 0xFFF];
  const std::uint64_t d = pairs[v & 0xFFF];
  const std::uint64_t chars = std::endian::native == std::endian::little
                                  ? a | b << 16 | c << 32 | d << 48
                                  : a << 48 | b << 32 | c << 16 | d;
  std::memcpy(out, &chars, 8);
}

// `n` bytes, a multiple of 3, as 4 * n / 3 characters. The 8-byte loads
// never reach past the run: once fewer than 8 bytes are left, six more are
// read as the last 8 bytes of the run.
inline char* PutGroups(const unsigned char* in, std::size_t n, char* out, const Pairs& pairs) {
  const unsigned char* start = in;
  for (; n >= 8; n -= 6, in += 6, out += 8) PutSix(out, LoadBigEndian64(in) >> 16, pairs);
  if (n == 6 && in - start >= 2) {
    PutSix(out, LoadBigEndian64(in - 2), pairs);
    return out + 8;
  }
  for (; n >= 3; n -= 3, in += 3, out += 4) {
    const std::uint32_t v = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
    PutPair(out, v >> 12, pairs);
    PutPair(out + 2, v, pairs);
  }
  return out;
}

// The last one or two bytes.
char* PutTail(const unsigned char* in, std::size_t n, char* out, const Alphabet& a, bool padded) {
  const std::uint32_t v = (std::uint32_t{in[0]} << 16) | (n == 2 ? std::uint32_t{in[1]} << 8 : 0);
  *out++ = a.chars[v >> 18];
  *out++ = a.chars[(v >> 12) & 63];
  if (n == 2) *out++ = a.chars[(v >> 6) & 63];
  if (padded) {
    if (n == 1) *out++ = '=';
    *out++ = '=';
  }
  return out;
}

// Characters of `n` bytes without line breaks.
std::size_t Chars(std::size_t n, bool padded) { return padded ? (n + 2) / 3 * 4 : (4 * n + 2) / 3; }

}  // namespace

std::size_t Base64Length(std::size_t n, const Base64Form& form) {
  const std::size_t chars = Chars(n, form.padded);
  if (form.lineChars == 0 || n == 0) return chars;
  const std::size_t lineBytes = form.lineChars / 4 * 3;
  const std::size_t whole = n / lineBytes;
  const std::size_t last = Chars(n % lineBytes, form.padded);
  const std::size_t breaks =
      form.breakAfterFullLast ? whole + (last == form.lineChars) : whole + (last > 0) - 1;
  return chars + 2 * breaks;
}

char* WriteBase64(const char* bytes, std::size_t n, char* out, const Base64Form& form) {
  const Alphabet a =
      form.urlSafe ? Alphabet{kUrlSafe, kUrlSafePairs} : Alphabet{kStandard, kStandardPairs};
  auto in = reinterpret_cast<const unsigned char*>(bytes);
  if (form.lineChars > 0) {
    const std::size_t lineBytes = form.lineChars / 4 * 3;
    for (; n >= lineBytes; n -= lineBytes, in += lineBytes) {
      // The message's lines, with their length known here, are unrolled.
      out = lineBytes == kMessageLineBytes ? PutGroups(in, kMessageLineBytes, out, a.pairs)
                                           : PutGroups(in, lineBytes, out, a.pairs);
      if (n > lineBytes || form.breakAfterFullLast) {
        out[0] = '\r';
        out[1] = '\n';
        out += 2;
      }
    }
  }
  const char* lineStart = out;
  const std::size_t whole = n - n % 3;
  out = PutGroups(in, whole, out, a.pairs);
  if (n > whole) out = PutTail(in + whole, n - whole, out, a, form.padded);
  // A shorter last line may still be full once padded (52 or 53 bytes of
  // 54 make 72 characters).
  if (form.breakAfterFullLast && form.lineChars > 0 &&
      static_cast<std::size_t>(out - lineStart) == form.lineChars) {
    out[0] = '\r';
    out[1] = '\n';
    out += 2;
  }
  return out;
}

void AppendBase64(std::string_view bytes, std::string& out, const Base64Form& form) {
  const std::size_t old = out.size();
  out.resize(old + Base64Length(bytes.size(), form));
  WriteBase64(bytes.data(), bytes.size(), out.data() + old, form);
}

void AppendBase64(std::string_view bytes, Secret& out, const Base64Form& form) {
  const std::size_t n = Base64Length(bytes.size(), form);
  if (n > 0) WriteBase64(bytes.data(), bytes.size(), out.Extend(n), form);
}

}  // namespace tolvex
