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

#include "encoding/cp932_vendor.hpp"
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

// The same arithmetic split into two lookups, so that the code of a
// character is kLead[s1] + kTrail[s2] without data-dependent branches:
// kLead holds the first row of the lead byte in the high byte (0 for bytes
// that are no lead byte, kNoJis for the user-defined area 0xF0-0xF9,
// kIbmLead for the IBM extensions 0xFA-0xFC); kTrail holds the row step
// (0 or 1) in the high byte and the cell in the low byte (0: no trail byte).
constexpr std::uint16_t kIbmLead = 0xFE00;
constexpr std::uint16_t kNoJis = 0xFF00;
constexpr std::array<std::uint16_t, 256> kLead = [] {
  std::array<std::uint16_t, 256> t{};
  for (unsigned b = 0x81; b <= 0xFC; ++b) {
    if (!sjis::IsLeadByte(static_cast<unsigned char>(b))) continue;
    t[b] = b >= 0xFA   ? kIbmLead
           : b >= 0xF0 ? kNoJis
                       : static_cast<std::uint16_t>(JisCode(b, 0x40) & 0xFF00);
  }
  return t;
}();

// An IBM extension character goes out as its twin (NEC row 13, JIS X 0208
// or JIS rows 89-92), as code page 50220 sends it; the geta mark if none.
unsigned IbmJisCode(unsigned char s1, unsigned char s2) {
  const std::uint16_t twin = cp932::IbmTwin(s1, s2);
  return twin == 0 ? kGeta : JisCode(twin >> 8, twin & 0xFF);
}
constexpr std::array<std::uint16_t, 256> kTrail = [] {
  std::array<std::uint16_t, 256> t{};
  for (unsigned b = 0; b < 256; ++b) {
    if (sjis::IsTrailByte(static_cast<unsigned char>(b))) {
      t[b] = static_cast<std::uint16_t>(JisCode(0x81, b) - 0x2100);
    }
  }
  return t;
}();
static_assert(kLead[0x82] + kTrail[0xA0] == 0x2422);
static_assert(kLead[0xE0] + kTrail[0x40] == 0x5F21);
static_assert(kLead[0x9F] + kTrail[0xFC] == 0x5E7E);

// Converts [p, end) into `o`, which has room for 5 bytes per input byte
// (a stray lead byte becomes ESC $ B and the geta mark); returns the number
// of bytes written.
std::size_t Convert(const unsigned char* p, const unsigned char* const end, unsigned char* o) {
  std::size_t size = 0;
  auto put = [&](unsigned char b) { o[size++] = b; };
  bool kanji = false;
  while (p < end) {
    if (kLead[*p] == 0) {  // a run of one-byte characters
      if (*p == 0) {
        ++p;
        continue;
      }
      if (kanji) {
        put(kEsc);
        put('(');
        put('J');
        kanji = false;
      }
      do {
        if (*p != 0) put(*p);
        ++p;
      } while (p < end && kLead[*p] == 0);
      continue;
    }
    if (!kanji) {
      put(kEsc);
      put('$');
      put('B');
      kanji = true;
    }
    do {  // a run of double-byte characters
      const unsigned lead = kLead[*p];
      const unsigned trail = p + 1 < end ? kTrail[p[1]] : 0;
      unsigned code = kGeta;
      if (trail != 0) {
        if (lead < kIbmLead) {
          code = lead + trail;
        } else if (lead == kIbmLead) {
          code = IbmJisCode(p[0], p[1]);
        }
        p += 2;
      } else {
        ++p;  // the next byte, if any, is a character of its own
      }
      o[size] = static_cast<unsigned char>(code >> 8);
      o[size + 1] = static_cast<unsigned char>(code);
      size += 2;
    } while (p < end && kLead[*p] != 0);
  }
  return size;
}

// ---------------------------------------------------------------------------
// Base64

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
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

  // Written once into a buffer for the worst case, then shrunk.
  std::string out;
  out.resize(5 * static_cast<std::size_t>(end - p));
  auto* const o = reinterpret_cast<unsigned char*>(out.data());
  std::size_t size = Convert(p, end, o);
  // JIS bytes are 0x21-0x7E, so trailing spaces are spaces of the text.
  while (size > 0 && o[size - 1] == ' ') --size;
  out.resize(size);
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
