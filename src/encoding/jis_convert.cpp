#include "encoding/jis_convert.hpp"

#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <memory>
#include <new>
#include <system_error>

#include "encoding/sjis_text.hpp"

namespace tolvex {

namespace {

// ---------------------------------------------------------------------------
// Shift_JIS to ISO-2022-JP

constexpr unsigned char kEsc = 0x1B;
constexpr unsigned kGeta = 0x222E;  // 〓, sent for characters JIS X 0208 lacks

// The JIS X 0208 code (j1 << 8 | j2) of a double-byte character with lead
// byte 0x81-0x9F or 0xE0-0xEF and a valid trail byte. Each lead byte covers
// two rows of 94 cells.
constexpr unsigned JisCode(unsigned s1, unsigned s2) {
  if (s1 >= 0xE0) s1 -= 0x40;
  if (s2 >= 0x80) s2 -= 1;
  const unsigned n = (s1 - 0x81) * 188 + (s2 - 0x40);
  return ((n / 94 + 0x21) << 8) | (n % 94 + 0x21);
}

// ---------------------------------------------------------------------------
// Base64

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::size_t kLineChars = 72;
constexpr std::size_t kLineBytes = 54;  // input bytes of one full line
constexpr std::size_t kGroupsPerLine = kLineChars / 4;

// Two output characters for every 12-bit value: one lookup per half group.
using CharPair = std::array<char, 2>;
constexpr std::array<CharPair, 4096> kPairs = [] {
  std::array<CharPair, 4096> t{};
  for (std::size_t i = 0; i < t.size(); ++i) t[i] = {kAlphabet[i >> 6], kAlphabet[i & 63]};
  return t;
}();

inline void PutPair(char* out, std::uint64_t twelveBits) {
  std::memcpy(out, kPairs[twelveBits & 0xFFF].data(), 2);
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

// Eight characters for the six bytes held in the low 48 bits of `v`.
inline void PutSix(char* out, std::uint64_t v) {
  PutPair(out, v >> 36);
  PutPair(out + 2, v >> 24);
  PutPair(out + 4, v >> 12);
  PutPair(out + 6, v);
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

// The path as the one-line text of a message.
std::string DisplayName(const std::filesystem::path& path) {
  try {
    return path.string();
  } catch (...) {
    const std::u8string u = path.u8string();
    return std::string(u.begin(), u.end());
  }
}

Failure ReadFailure(const std::filesystem::path& path, const std::string& reason) {
  return Failure{FailureKind::InputMissing,
                 "cannot read attachment \"" + DisplayName(path) + "\": " + reason};
}

}  // namespace

std::string SjisToJis(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  // Leading spaces (and dropped NULs) come out as leading spaces, which the
  // trim would remove again: skip them.
  while (p < end && (*p == ' ' || *p == 0)) ++p;

  // Worst case 5 bytes per input byte: a stray lead byte becomes ESC $ B and
  // the geta mark.
  std::string out;
  out.resize(5 * static_cast<std::size_t>(end - p));
  auto* o = reinterpret_cast<unsigned char*>(out.data());
  bool kanji = false;
  while (p < end) {
    const unsigned b = *p;
    if (!sjis::IsLeadByte(static_cast<unsigned char>(b))) {
      ++p;
      if (b == 0) continue;
      if (kanji) {
        o[0] = kEsc;
        o[1] = '(';
        o[2] = 'J';
        o += 3;
        kanji = false;
      }
      *o++ = static_cast<unsigned char>(b);
      continue;
    }
    unsigned code = kGeta;
    if (p + 1 < end && sjis::IsTrailByte(p[1])) {
      if (b < 0xF0) code = JisCode(b, p[1]);
      p += 2;
    } else {
      ++p;  // the next byte, if any, is a character of its own
    }
    if (!kanji) {
      o[0] = kEsc;
      o[1] = '$';
      o[2] = 'B';
      o += 3;
      kanji = true;
    }
    o[0] = static_cast<unsigned char>(code >> 8);
    o[1] = static_cast<unsigned char>(code);
    o += 2;
  }
  // JIS bytes are 0x21-0x7E, so trailing spaces are spaces of the text.
  auto* const begin = reinterpret_cast<unsigned char*>(out.data());
  while (o > begin && o[-1] == ' ') --o;
  out.resize(static_cast<std::size_t>(o - begin));
  out.shrink_to_fit();
  return out;
}

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

void AppendBase64Lines(std::string_view bytes, std::string& out) {
  if (bytes.empty()) return;
  const std::size_t old = out.size();
  out.resize(old + Base64LinesLength(bytes.size()));
  EncodeLines(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), out.data() + old);
}

Status AppendFileBase64(const std::filesystem::path& path, std::string& out) {
  std::error_code ec;
  const std::uintmax_t size = std::filesystem::file_size(path, ec);
  if (ec) return ReadFailure(path, ec.message());
  if (size == 0) return std::nullopt;
  // The text is a third larger than the file; it must fit in one string.
  if (size > (out.max_size() - out.size()) / 4 * 3 - 64 ||
      size > static_cast<std::uintmax_t>(std::numeric_limits<std::streamsize>::max())) {
    return ReadFailure(path, "file too large");
  }
  const auto n = static_cast<std::size_t>(size);

  std::unique_ptr<char[]> bytes;
  try {
    bytes = std::make_unique_for_overwrite<char[]>(n);
  } catch (const std::bad_alloc&) {
    return ReadFailure(path, "not enough memory");
  }
  {
    errno = 0;
    std::ifstream file(path, std::ios::binary);
    if (!file) {
      const int err = errno;
      return ReadFailure(path, err != 0 ? std::generic_category().message(err) : "cannot open");
    }
    file.read(bytes.get(), static_cast<std::streamsize>(n));
    if (static_cast<std::size_t>(file.gcount()) != n) {
      return ReadFailure(path, "file shorter than its size (read error)");
    }
  }

  const std::size_t old = out.size();
  try {
    out.resize(old + Base64LinesLength(n));
  } catch (const std::bad_alloc&) {  // `out` keeps its text
    return ReadFailure(path, "not enough memory");
  }
  EncodeLines(reinterpret_cast<const unsigned char*>(bytes.get()), n, out.data() + old);
  return std::nullopt;
}

Status EncodeFileBase64(const std::filesystem::path& path, std::string& result) {
  std::string text;
  if (Status failed = AppendFileBase64(path, text)) return failed;
  result = std::move(text);
  return std::nullopt;
}

}  // namespace tolvex
