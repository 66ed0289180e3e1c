// The detection rule for command.txt and text files, UTF-8 and UTF-16
// decoding, and code page 932 from Unicode by the platform's own table read
// backwards.
#include "encoding/source_text.hpp"

#include <cstdio>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/sjis_text.hpp"
#include "base/text_convert.hpp"

namespace tolvex {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Length of the well-formed sequence at `pos`, 0 when there is none.
std::size_t ValidLen(std::string_view s, std::size_t pos) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[pos + k]); };
  const unsigned char c = b(0);
  if (c < 0x80) return 1;
  std::size_t n = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (c >= 0xC2 && c <= 0xDF) {
    n = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    n = 3;
    if (c == 0xE0) lo = 0xA0;
    if (c == 0xED) hi = 0x9F;  // no surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    n = 4;
    if (c == 0xF0) lo = 0x90;
    if (c == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (pos + n > s.size()) return 0;
  if (b(1) < lo || b(1) > hi) return 0;
  for (std::size_t k = 2; k < n; ++k) {
    if (b(k) < 0x80 || b(k) > 0xBF) return 0;
  }
  return n;
}

// The line (from 1) of `pos` in `text`: CR LF, CR and LF each end a line.
// Both are ASCII, never part of a multi-byte character of code page 932 or
// UTF-8, so the bytes are searched directly.
std::size_t LineAt(std::string_view text, std::size_t pos) {
  std::size_t line = 1;
  for (std::size_t i = 0; i < pos && i < text.size(); ++i) {
    if (text[i] == '\n' || (text[i] == '\r' && (i + 1 >= text.size() || text[i + 1] != '\n')))
      ++line;
  }
  return line;
}

std::string HexByte(unsigned char b) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", static_cast<unsigned>(b));
  return buf;
}

SourceText FromUtf16(std::string_view bytes, TextEncoding encoding) {
  const bool bigEndian = encoding == TextEncoding::Utf16Be;
  SourceText source{encoding, {}, {}, {}};
  std::string& out = source.text;
  out.reserve(bytes.size() * 3 / 2);
  const std::size_t units = bytes.size() / 2;
  auto unit = [&](std::size_t i) -> char32_t {
    const auto a = static_cast<unsigned char>(bytes[2 * i]);
    const auto b = static_cast<unsigned char>(bytes[2 * i + 1]);
    return bigEndian ? (char32_t{a} << 8 | b) : (char32_t{b} << 8 | a);
  };
  auto fault = [&](std::string what) {
    if (!source.invalid) source.invalid = SourceFault{LineAt(out, out.size()), std::move(what)};
  };
  for (std::size_t i = 0; i < units; ++i) {
    const char32_t u = unit(i);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
      const char32_t v = unit(i + 1);
      if (v >= 0xDC00 && v <= 0xDFFF) {
        utf8::Append(out, 0x10000 + ((u - 0xD800) << 10) + (v - 0xDC00));
        ++i;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) {
      char buf[48];
      std::snprintf(buf, sizeof buf, "a lone UTF-16 surrogate 0x%04X", static_cast<unsigned>(u));
      fault(buf);
      utf8::Append(out, kReplacement);
    } else {
      utf8::Append(out, u);
    }
  }
  if (bytes.size() % 2 != 0) {
    fault("an odd number of bytes: the last one, " +
          HexByte(static_cast<unsigned char>(bytes.back())) + ", is half a UTF-16 code unit");
  }
  return source;
}

// Unicode → code page 932, built once from the platform's code page 932 →
// UTF-8 converter. Runs of codes are converted together and split in halves
// only where a code is no character, so the table costs a few hundred calls.
class ReverseTable {
  static constexpr std::pair<char32_t, std::uint16_t> kJisForms[] = {
      {0x301C, 0x8160},  // WAVE DASH
      {0x2016, 0x8161},  // DOUBLE VERTICAL LINE
      {0x2212, 0x817C},  // MINUS SIGN
      {0x00A2, 0x8191},  // CENT SIGN
      {0x00A3, 0x8192},  // POUND SIGN
      {0x00AC, 0x81CA},  // NOT SIGN
      {0x2014, 0x815C},  // EM DASH
  };

 public:
  ReverseTable() {
    std::vector<std::uint16_t> codes;
    for (unsigned b = 0; b < 0x80; ++b) codes.push_back(static_cast<std::uint16_t>(b));
    for (unsigned b = 0xA1; b <= 0xDF; ++b) codes.push_back(static_cast<std::uint16_t>(b));
    Add(codes);
    for (unsigned lead = 0x81; lead <= 0xFC; ++lead) {
      if (!sjis::IsLeadByte(static_cast<unsigned char>(lead))) continue;
      codes.clear();
      for (unsigned t = 0x40; t <= 0xFC; ++t) {
        if (sjis::IsTrailByte(static_cast<unsigned char>(t)))
          codes.push_back(static_cast<std::uint16_t>(lead << 8 | t));
      }
      Add(codes);
    }
    // JIS X 0208 characters that code page 932 reads as other code points:
    // Mac and Linux text holds these forms (〜 is U+301C there, U+FF5E from
    // Windows). Both go out as the same JIS X 0208 character.
    for (const auto& [cp, code] : kJisForms) map_.try_emplace(cp, code);
  }

  std::optional<std::uint16_t> Find(char32_t cp) const {
    const auto it = map_.find(cp);
    if (it == map_.end()) return std::nullopt;
    return it->second;
  }

 private:
  static void Put(std::string& s, std::uint16_t code) {
    if (code > 0xFF) s.push_back(static_cast<char>(code >> 8));
    s.push_back(static_cast<char>(code & 0xFF));
  }

  void Add(const std::vector<std::uint16_t>& codes) { AddRange(codes, 0, codes.size()); }

  void AddRange(const std::vector<std::uint16_t>& codes, std::size_t lo, std::size_t hi) {
    if (lo >= hi) return;
    std::string bytes;
    for (std::size_t i = lo; i < hi; ++i) Put(bytes, codes[i]);
    const std::optional<std::string> utf8 = Cp932ToUtf8Exact(bytes);
    if (utf8 && utf8::IsValid(*utf8)) {
      std::vector<char32_t> cps;
      for (std::size_t p = 0; p < utf8->size(); p += utf8::CharLen(*utf8, p))
        cps.push_back(utf8::CodePoint(*utf8, p));
      if (cps.size() == hi - lo) {
        for (std::size_t i = lo; i < hi; ++i) map_.try_emplace(cps[i - lo], codes[i]);
        return;
      }
    }
    if (hi - lo == 1) return;  // no character
    const std::size_t mid = lo + (hi - lo) / 2;
    AddRange(codes, lo, mid);
    AddRange(codes, mid, hi);
  }

  std::unordered_map<char32_t, std::uint16_t> map_;
};

const ReverseTable& Reverse() {
  static const ReverseTable table;
  return table;
}

template <typename Missing>
bool ToCp932(std::string_view utf8, std::string& out, Missing missing) {
  out.reserve(utf8.size());
  for (std::size_t p = 0; p < utf8.size(); p += utf8::CharLen(utf8, p)) {
    const char32_t cp = utf8::CodePoint(utf8, p);
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
      continue;
    }
    if (const std::optional<std::uint16_t> code = Reverse().Find(cp)) {
      if (*code > 0xFF) out.push_back(static_cast<char>(*code >> 8));
      out.push_back(static_cast<char>(*code & 0xFF));
    } else if (!missing(out)) {
      return false;
    }
  }
  return true;
}

}  // namespace

namespace utf8 {

bool IsValid(std::string_view s) {
  for (std::size_t p = 0; p < s.size();) {
    const std::size_t n = ValidLen(s, p);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

std::size_t CharLen(std::string_view s, std::size_t pos) {
  const auto c = static_cast<unsigned char>(s[pos]);
  const std::size_t n = c < 0xC0 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
  return pos + n <= s.size() ? n : s.size() - pos;
}

char32_t CodePoint(std::string_view s, std::size_t pos) {
  const std::size_t n = CharLen(s, pos);
  const auto c = static_cast<unsigned char>(s[pos]);
  if (n == 1) return c;
  char32_t cp = c & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k)
    cp = cp << 6 | (static_cast<unsigned char>(s[pos + k]) & 0x3F);
  return cp;
}

void Append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | cp >> 6));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | cp >> 12));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | cp >> 18));
    out.push_back(static_cast<char>(0x80 | (cp >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::string_view LeftChars(std::string_view s, std::size_t n) {
  std::size_t p = 0;
  for (; n > 0 && p < s.size(); --n) p += CharLen(s, p);
  return s.substr(0, p);
}

std::string_view DropChars(std::string_view s, std::size_t n) {
  return s.substr(LeftChars(s, n).size());
}

}  // namespace utf8

namespace {

bool HasBom(std::string_view bytes) {
  return bytes.starts_with("\xEF\xBB\xBF") || bytes.starts_with("\xFF\xFE") ||
         bytes.starts_with("\xFE\xFF");
}

// What text without a BOM is: UTF-8 when every sequence is, else code page
// 932 (noting whether it looks like damaged UTF-8). The text itself is left
// to the caller.
SourceText WithoutBom(std::string_view bytes) {
  bool multiByte = false;
  for (std::size_t p = 0; p < bytes.size();) {
    const std::size_t n = ValidLen(bytes, p);
    if (n == 0) {
      SourceText source{TextEncoding::ShiftJis, {}, {}, {}};
      std::size_t at = 0;
      if (LooksLikeDamagedUtf8(bytes, &at)) {
        source.damagedUtf8 =
            SourceFault{LineAt(bytes, at),
                        "byte " + HexByte(static_cast<unsigned char>(bytes[at])) + " is no UTF-8"};
      }
      return source;
    }
    multiByte = multiByte || n > 1;
    p += n;
  }
  return {multiByte ? TextEncoding::Utf8 : TextEncoding::ShiftJis, {}, {}, {}};
}

}  // namespace

SourceText DecodeSource(std::string_view bytes) {
  auto starts = [&](std::string_view bom) { return bytes.substr(0, bom.size()) == bom; };
  if (starts("\xEF\xBB\xBF")) {
    // A BOM says UTF-8; a sequence that is not is reported, and becomes
    // U+FFFD in the text.
    std::string_view rest = bytes.substr(3);
    SourceText source{TextEncoding::Utf8Bom, {}, {}, {}};
    std::string& text = source.text;
    text.reserve(rest.size());
    for (std::size_t p = 0; p < rest.size();) {
      const std::size_t n = ValidLen(rest, p);
      if (n == 0) {
        if (!source.invalid) {
          source.invalid =
              SourceFault{LineAt(rest, p), "invalid UTF-8 after the UTF-8 BOM: byte " +
                                               HexByte(static_cast<unsigned char>(rest[p]))};
        }
        utf8::Append(text, kReplacement);
        ++p;
      } else {
        text.append(rest.substr(p, n));
        p += n;
      }
    }
    return source;
  }
  if (starts("\xFF\xFE")) return FromUtf16(bytes.substr(2), TextEncoding::Utf16Le);
  if (starts("\xFE\xFF")) return FromUtf16(bytes.substr(2), TextEncoding::Utf16Be);
  SourceText source = WithoutBom(bytes);
  source.text.assign(bytes);
  return source;
}

SourceText DecodeSource(std::string&& bytes) {
  if (HasBom(bytes)) return DecodeSource(std::string_view(bytes));
  // Text without a BOM is kept as it is: the bytes themselves become the
  // text, so a large file is not held twice.
  SourceText source = WithoutBom(bytes);
  source.text = std::move(bytes);
  return source;
}

bool LooksLikeDamagedUtf8(std::string_view bytes, std::size_t* firstInvalid) {
  std::size_t sequences = 0;
  std::size_t invalid = 0;
  for (std::size_t p = 0; p < bytes.size();) {
    const std::size_t n = ValidLen(bytes, p);
    if (n == 0) {
      if (invalid++ == 0 && firstInvalid) *firstInvalid = p;
      ++p;
      continue;
    }
    if (n > 1) ++sequences;
    p += n;
  }
  return invalid > 0 && sequences >= 8 && sequences >= 4 * invalid;
}

std::optional<std::string> Utf8ToCp932Exact(std::string_view utf8) {
  std::string out;
  if (!ToCp932(utf8, out, [](std::string&) { return false; })) return std::nullopt;
  return out;
}

std::string Utf8ToCp932(std::string_view utf8, std::size_t& lost) {
  std::string out;
  ToCp932(utf8, out, [&](std::string& o) {
    o.append("\x81\xAC");  // 〓
    ++lost;
    return true;
  });
  return out;
}

std::size_t FirstNonJis0208(std::string_view cp932) {
  for (std::size_t p = 0; p < cp932.size();) {
    const auto b = static_cast<unsigned char>(cp932[p]);
    const std::size_t n = sjis::CharLen(cp932, p);
    const bool proper =
        n == 1 ? b < 0x80
               : (b >= 0x81 && b <= 0x84) || (b >= 0x88 && b <= 0x9F) || (b >= 0xE0 && b <= 0xEA);
    if (!proper) return p;
    p += n;
  }
  return std::string_view::npos;
}

std::string CodePointName(char32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "U+%04X", static_cast<unsigned>(cp));
  return buf;
}

}  // namespace tolvex
