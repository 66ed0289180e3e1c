// Properties over many inputs: the ISO-2022-JP conversion checked against
// the C library's converters for every JIS X 0208 cell, and the Base64
// encoders checked by decoding their output back.
#include <gtest/gtest.h>
#include <iconv.h>

#include <cerrno>
#include <map>
#include <optional>
#include <random>
#include <string>

#include "encoding/jis_convert.hpp"

namespace tolvex {
namespace {

// Whole-string conversion; nullopt when any byte sequence does not convert.
std::optional<std::string> Iconv(const char* from, const std::string& in) {
  iconv_t cd = iconv_open("UTF-8", from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
  std::string out(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  char* dst = out.data();
  std::size_t dstLeft = out.size();
  const std::size_t rc = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  if (rc == static_cast<std::size_t>(-1) || srcLeft != 0) return std::nullopt;
  out.resize(out.size() - dstLeft);
  return out;
}

std::string SjisOfJis(int j1, int j2) {
  // Row and cell to lead and trail byte, the inverse of the conversion.
  const int row = j1 - 0x21, cell = j2 - 0x21;
  int s1 = 0x81 + row / 2;
  if (s1 > 0x9F) s1 += 0x40;
  int s2 = (row % 2 == 0) ? 0x40 + cell : 0x9F + cell;
  if (row % 2 == 0 && s2 >= 0x7F) ++s2;
  return {static_cast<char>(s1), static_cast<char>(s2)};
}

// Characters where code page 932 and JIS X 0208 name a different Unicode
// character for the same cell (UTF-8 of code page 932 -> UTF-8 of JIS).
const std::map<std::string, std::string> kMappingVariants = {
    {"\xEF\xBD\x9E", "\xE3\x80\x9C"},  // 8160: U+FF5E / U+301C
    {"\xE2\x88\xA5", "\xE2\x80\x96"},  // 8161: U+2225 / U+2016
    {"\xEF\xBC\x8D", "\xE2\x88\x92"},  // 817C: U+FF0D / U+2212
    {"\xEF\xBF\xA0", "\xC2\xA2"},      // 8191: U+FFE0 / U+00A2
    {"\xEF\xBF\xA1", "\xC2\xA3"},      // 8192: U+FFE1 / U+00A3
    {"\xEF\xBF\xA2", "\xC2\xAC"},      // 81CA: U+FFE2 / U+00AC
};

TEST(SjisToJisProperty, EveryAssignedCellRoundTripsThroughIso2022Jp) {
  ASSERT_TRUE(Iconv("CP932", "a").has_value()) << "iconv lacks CP932";
  int assigned = 0, viaIso2022 = 0, viaEucMs = 0, vendorOnly = 0;
  for (int j1 = 0x21; j1 <= 0x7E; ++j1) {
    for (int j2 = 0x21; j2 <= 0x7E; ++j2) {
      const std::string sjis = SjisOfJis(j1, j2);
      const std::optional<std::string> expected = Iconv("CP932", sjis);
      if (!expected) continue;  // no character in code page 932
      ++assigned;
      const std::string jis = SjisToJis(sjis);
      const std::string cell{static_cast<char>(j1), static_cast<char>(j2)};
      ASSERT_EQ(jis, "\x1B$B" + cell) << "row " << j1 << " cell " << j2;

      // Inside a line of text, closed so that a decoder accepts it.
      const std::string line = SjisToJis("a" + sjis + "b");
      ASSERT_EQ(line, "a\x1B$B" + cell + "\x1B(Jb");
      if (const std::optional<std::string> decoded = Iconv("ISO-2022-JP", line)) {
        const auto variant = kMappingVariants.find(*expected);
        const std::string want = variant == kMappingVariants.end() ? *expected : variant->second;
        EXPECT_EQ(*decoded, "a" + want + "b") << "row " << j1 << " cell " << j2;
        ++viaIso2022;
      } else if (j1 == 0x2D) {
        // NEC row 13 is outside JIS X 0208; the same cell in the vendor
        // EUC form must name the same character.
        const std::string euc{static_cast<char>(j1 | 0x80), static_cast<char>(j2 | 0x80)};
        EXPECT_EQ(Iconv("EUC-JP-MS", euc), expected) << "cell " << j2;
        ++viaEucMs;
      } else {
        // The IBM rows 89-92 (lead bytes ED, EE) have no decoder; the exact
        // row and cell were checked above.
        EXPECT_TRUE(j1 >= 0x79 && j1 <= 0x7C) << "row " << j1 << " cell " << j2;
        ++vendorOnly;
      }
    }
  }
  ::testing::Test::RecordProperty("assigned", assigned);
  ::testing::Test::RecordProperty("decoded_iso2022jp", viaIso2022);
  ::testing::Test::RecordProperty("decoded_vendor_euc", viaEucMs);
  ::testing::Test::RecordProperty("vendor_only", vendorOnly);
  // JIS X 0208 has 6879 characters; code page 932 adds NEC and IBM rows.
  EXPECT_GE(viaIso2022, 6879);
  EXPECT_GT(viaEucMs, 0);
  EXPECT_GT(vendorOnly, 0);
  EXPECT_EQ(assigned, viaIso2022 + viaEucMs + vendorOnly);
}

// Mixed texts of kanji (表, ソ and 能 among them, trail byte 5C), ASCII with
// backslashes and tildes, and line ends: the C library's ISO-2022-JP
// decoder gives back the text the C library reads from code page 932, the
// backslash and the tilde included.
TEST(SjisToJisProperty, MixedTextsDecodeBackWithBackslashAndTilde) {
  const char* const pieces[] = {"\x95\x5C", "\x83\x5C", "\x94\x5C", "\x8C\x8E", "\x82\xA0", "\\",
                                "~",        "a",        "C:",       "\r\n",     " ",        "|"};
  std::mt19937 rng(2024);
  for (int round = 0; round < 500; ++round) {
    std::string text = "x";
    const std::size_t n = rng() % 24;
    for (std::size_t k = 0; k < n; ++k) text += pieces[rng() % std::size(pieces)];
    text += "y";
    const std::optional<std::string> want = Iconv("CP932", text);
    ASSERT_TRUE(want.has_value());
    EXPECT_EQ(Iconv("ISO-2022-JP", SjisToJis(text) + "\x1B(B"), want) << text;
  }
}

// Reference decoder: strict RFC 2045 alphabet, CR LF skipped.
std::optional<std::string> DecodeBase64(const std::string& text) {
  std::string out;
  unsigned acc = 0;
  int count = 0, pad = 0;
  for (char c : text) {
    if (c == '\r' || c == '\n') continue;
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else if (c == '=') {
      v = 0;
      ++pad;
    } else
      return std::nullopt;
    if (pad > 0 && c != '=') return std::nullopt;  // data after padding
    acc = (acc << 6) | static_cast<unsigned>(v);
    if (++count == 4) {
      out.push_back(static_cast<char>(acc >> 16));
      if (pad < 2) out.push_back(static_cast<char>(acc >> 8));
      if (pad < 1) out.push_back(static_cast<char>(acc));
      acc = 0;
      count = 0;
    }
  }
  if (count != 0) return std::nullopt;
  return out;
}

void ExpectWellFormedLines(const std::string& text, bool fileRule, std::size_t n) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t br = text.find("\r\n", pos);
    const std::size_t lineEnd = br == std::string::npos ? text.size() : br;
    const std::size_t len = lineEnd - pos;
    ASSERT_GT(len, 0u) << "empty line, n=" << n;
    ASSERT_LE(len, 72u) << "n=" << n;
    if (br != std::string::npos) {
      // A broken line is always full.
      ASSERT_EQ(len, 72u) << "n=" << n;
      pos = br + 2;
    } else {
      pos = lineEnd;
    }
  }
  if (fileRule) {
    EXPECT_EQ(text.ends_with("\r\n"), n > 0 && ((n + 2) / 3) % 18 == 0) << "n=" << n;
  } else {
    EXPECT_FALSE(text.ends_with("\r\n")) << "n=" << n;
  }
}

TEST(Base64Property, DecodesBackToInputForManyLengths) {
  std::mt19937 rng(12345);
  for (std::size_t n = 0; n <= 1200; n = n < 300 ? n + 1 : n + 37) {
    std::string bytes(n, '\0');
    for (char& b : bytes) b = static_cast<char>(rng());

    const std::string text = EncodeBase64(bytes);
    ASSERT_EQ(DecodeBase64(text), bytes) << "text rule, n=" << n;
    ExpectWellFormedLines(text, false, n);

    std::string lines = "prefix";
    AppendBase64Lines(bytes, lines);
    ASSERT_TRUE(lines.starts_with("prefix"));
    lines.erase(0, 6);
    ASSERT_EQ(DecodeBase64(lines), bytes) << "file rule, n=" << n;
    ASSERT_EQ(lines.size(), Base64LinesLength(n));
    ExpectWellFormedLines(lines, true, n);
    // The two rules differ only in a break after a full last line.
    EXPECT_EQ(lines.ends_with("\r\n") ? lines.substr(0, lines.size() - 2) : lines, text);
  }
}

TEST(Base64Property, MisalignedInputsEncodeTheSame) {
  // Whole-line encoding loads eight bytes at a time; the start of the input
  // within memory must not matter.
  std::mt19937 rng(99);
  std::string buffer(600, '\0');
  for (char& b : buffer) b = static_cast<char>(rng());
  for (std::size_t offset = 0; offset < 8; ++offset) {
    const std::string_view view(buffer.data() + offset, 500);
    std::string out;
    AppendBase64Lines(view, out);
    ASSERT_EQ(DecodeBase64(out), std::string(view)) << "offset " << offset;
  }
}

}  // namespace
}  // namespace tolvex
