// Shift_JIS (code page 932) to ISO-2022-JP, table driven: the JIS code of a
// double-byte character is the sum of one lookup for its lead byte and one
// for its trail byte.
#include <array>
#include <cstdint>

#include "base/sjis_text.hpp"
#include "encoding/cp932_vendor.hpp"
#include "encoding/jis_convert.hpp"

namespace tolvex {

namespace {

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
// kIbmLead for the IBM extensions 0xFA-0xFC, kNoChar for the bytes 0x80,
// 0xA0 and 0xFD-0xFF, which are no character); kTrail holds the row step
// (0 or 1) in the high byte and the cell in the low byte (0: no trail byte).
constexpr std::uint16_t kNoChar = 0xFD00;
constexpr std::uint16_t kIbmLead = 0xFE00;
constexpr std::uint16_t kNoJis = 0xFF00;
constexpr std::array<std::uint16_t, 256> kLead = [] {
  std::array<std::uint16_t, 256> t{};
  for (unsigned b : {0x80u, 0xA0u, 0xFDu, 0xFEu, 0xFFu}) t[b] = kNoChar;
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

// The final byte of the escape that opens the one-byte run at `p`: the run
// is every one-byte character up to the next double-byte character or the
// end of the text, line ends included. JIS X 0201 Roman (J) as ever, unless
// the run holds 0x5C or 0x7E, which Roman reads as the yen sign and the
// overline: then ASCII (B), so the backslash and the tilde arrive as written.
char RomanFinal(const unsigned char* p, const unsigned char* const end) {
  for (; p < end && kLead[*p] == 0; ++p) {
    if (*p == 0x5C || *p == 0x7E) return 'B';
  }
  return 'J';
}

// Converts [p, end) into `o` and returns the number of bytes written; with
// kWrite false only counts them, so the result can be sized exactly (a
// large body is not given room for its worst case, five bytes a byte).
template <bool kWrite>
std::size_t Convert(const unsigned char* p, const unsigned char* const end, unsigned char* o) {
  std::size_t size = 0;
  auto put = [&](unsigned char b) {
    if constexpr (kWrite) o[size] = b;
    ++size;
  };
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
        put(RomanFinal(p, end));
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
      if (lead == kNoChar) {
        ++p;  // one byte, sent as the geta mark like any byte without a code
      } else if (trail != 0) {
        if (lead < kIbmLead) {
          code = lead + trail;
        } else if (lead == kIbmLead) {
          code = IbmJisCode(p[0], p[1]);
        }
        p += 2;
      } else {
        ++p;  // the next byte, if any, is a character of its own
      }
      put(static_cast<unsigned char>(code >> 8));
      put(static_cast<unsigned char>(code));
    } while (p < end && kLead[*p] != 0);
  }
  return size;
}

}  // namespace

std::string SjisToJis(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  // Leading spaces (and dropped NULs) come out as leading spaces, which the
  // trim would remove again: skip them.
  while (p < end && (*p == ' ' || *p == 0)) ++p;

  // Counted, then written once into a result of that size.
  std::string out(Convert<false>(p, end, nullptr), '\0');
  auto* const o = reinterpret_cast<unsigned char*>(out.data());
  std::size_t size = Convert<true>(p, end, o);
  // JIS bytes are 0x21-0x7E, so trailing spaces are spaces of the text.
  while (size > 0 && o[size - 1] == ' ') --size;
  out.resize(size);
  return out;
}

}  // namespace tolvex
