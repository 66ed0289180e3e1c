#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/base64.hpp"
#include "encoding/jis_convert.hpp"

namespace tolvex {
namespace {

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

// Base64 the slow way: the bits six at a time, then padding, then the
// characters cut into lines.
std::string Reference(std::string_view bytes, const Base64Form& f) {
  const char* alphabet = f.urlSafe
                             ? "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"
                             : "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string chars;
  std::uint32_t bits = 0;
  int held = 0;
  for (unsigned char c : bytes) {
    bits = (bits << 8) | c;
    for (held += 8; held >= 6; held -= 6) chars += alphabet[(bits >> (held - 6)) & 63];
  }
  if (held > 0) chars += alphabet[(bits << (6 - held)) & 63];
  while (f.padded && chars.size() % 4 != 0) chars += '=';
  if (f.lineChars == 0) return chars;
  std::string out;
  for (std::size_t at = 0; at < chars.size(); at += f.lineChars) {
    if (at > 0) out += "\r\n";
    out += chars.substr(at, f.lineChars);
  }
  if (f.breakAfterFullLast && !chars.empty() && chars.size() % f.lineChars == 0) out += "\r\n";
  return out;
}

struct NamedForm {
  const char* name;
  Base64Form form;
};

const NamedForm kForms[] = {
    {"one line", kBase64OneLine},
    {"URL-safe", kBase64Url},
    {"text lines", kBase64TextLines},
    {"file lines", kBase64FileLines},
    {"URL-safe, padded, lines of 8", {true, true, 8, false}},
    {"unpadded lines of 12, a full last one broken", {false, false, 12, true}},
};

// Every form, every length to 300 and a few past a Secret's first buffer,
// every byte value: the string, the Secret and the buffer all get the
// reference text after what they held, the length said beforehand.
TEST(Base64, EveryFormAgreesWithTheReference) {
  std::mt19937 rng(11);
  std::vector<std::size_t> sizes(301);
  for (std::size_t n = 0; n < sizes.size(); ++n) sizes[n] = n;
  sizes.insert(sizes.end(), {511, 512, 513, 1000, 4096 + 7});
  for (const NamedForm& f : kForms) {
    for (std::size_t n : sizes) {
      std::string bytes(n, '\0');
      for (char& b : bytes) b = static_cast<char>(rng());
      const std::string expected = Reference(bytes, f.form);
      ASSERT_EQ(Base64Length(n, f.form), expected.size()) << f.name << ", " << n << " bytes";

      std::string text = "head";
      AppendBase64(bytes, text, f.form);
      EXPECT_EQ(text, "head" + expected) << f.name << ", " << n << " bytes";

      Secret secret("AUTH PLAIN ");
      AppendBase64(bytes, secret, f.form);
      EXPECT_EQ(secret.View(), "AUTH PLAIN " + expected) << f.name << ", " << n << " bytes";

      std::string buffer(expected.size() + 1, '#');
      const char* end = WriteBase64(bytes.data(), n, buffer.data(), f.form);
      EXPECT_EQ(end, buffer.data() + expected.size()) << f.name << ", " << n << " bytes";
      EXPECT_EQ(buffer, expected + "#") << f.name << ", " << n << " bytes";
    }
  }
}

// With a CR LF after every full line, blocks of whole lines give the text
// of the whole.
TEST(Base64, BlocksOfWholeLinesGiveTheTextOfTheWhole) {
  std::mt19937 rng(5);
  for (const NamedForm& f : kForms) {
    if (!f.form.breakAfterFullLast) continue;
    const std::size_t lineBytes = f.form.lineChars / 4 * 3;
    std::string bytes(7 * lineBytes + 5, '\0');
    for (char& b : bytes) b = static_cast<char>(rng());
    for (std::size_t block = lineBytes; block <= 3 * lineBytes; block += lineBytes) {
      std::string text;
      for (std::size_t at = 0; at < bytes.size(); at += block) {
        AppendBase64(std::string_view(bytes).substr(at, block), text, f.form);
      }
      EXPECT_EQ(text, Reference(bytes, f.form)) << f.name << ", blocks of " << block;
    }
  }
}

TEST(EncodeBase64, EncodesRfcVectors) {
  EXPECT_EQ(EncodeBase64(""), "");
  EXPECT_EQ(EncodeBase64("f"), "Zg==");
  EXPECT_EQ(EncodeBase64("fo"), "Zm8=");
  EXPECT_EQ(EncodeBase64("foo"), "Zm9v");
  EXPECT_EQ(EncodeBase64("foob"), "Zm9vYg==");
  EXPECT_EQ(EncodeBase64("fooba"), "Zm9vYmE=");
  EXPECT_EQ(EncodeBase64("foobar"), "Zm9vYmFy");
  EXPECT_EQ(EncodeBase64(std::string("\xFB\xFF\xBF", 3)), "+/+/");
  EXPECT_EQ(EncodeBase64(std::string("\0\0\0", 3)), "AAAA");
}

TEST(EncodeBase64, BreaksLinesWithoutTrailingBreak) {
  const std::string line54 = EncodeBase64(Repeat('a', 54));
  std::string expected54;
  for (int i = 0; i < 18; ++i) expected54 += "YWFh";
  EXPECT_EQ(line54, expected54);

  const std::string line55 = EncodeBase64(Repeat('a', 55));
  ASSERT_EQ(line55.size(), 72u + 2 + 4);
  EXPECT_EQ(line55.substr(0, 72), line54);
  EXPECT_EQ(line55.substr(72, 2), "\r\n");
  EXPECT_EQ(line55.substr(74), "YQ==");

  // 108 bytes: two full lines, one break between, none after.
  const std::string two = EncodeBase64(Repeat('a', 108));
  EXPECT_EQ(two, line54 + "\r\n" + line54);
  // 52 and 53 bytes still fit one line.
  EXPECT_EQ(EncodeBase64(Repeat('a', 52)).size(), 72u);
  EXPECT_TRUE(EncodeBase64(Repeat('a', 52)).ends_with("YQ=="));
  EXPECT_TRUE(EncodeBase64(Repeat('a', 53)).ends_with("YWE="));
}

TEST(Base64Lines, FollowsEveryFullLineWithBreak) {
  auto lines = [](std::size_t n) {
    std::string out;
    AppendBase64Lines(Repeat('a', n), out);
    return out;
  };
  const std::string full(EncodeBase64(Repeat('a', 54)));
  EXPECT_EQ(lines(0), "");
  EXPECT_EQ(lines(1), "YQ==");
  EXPECT_EQ(lines(2), "YWE=");
  EXPECT_EQ(lines(54), full + "\r\n");
  EXPECT_EQ(lines(55), full + "\r\nYQ==");
  EXPECT_EQ(lines(108), full + "\r\n" + full + "\r\n");
  EXPECT_EQ(lines(52).size(), 74u);
  EXPECT_TRUE(lines(52).ends_with("YQ==\r\n"));
  EXPECT_TRUE(lines(53).ends_with("YWE=\r\n"));
}

TEST(Base64Lines, AppendsAfterExistingText) {
  std::string out = "head\r\n";
  AppendBase64Lines("foobar", out);
  EXPECT_EQ(out, "head\r\nZm9vYmFy");
}

TEST(Base64Lines, LengthMatchesOutputExactly) {
  EXPECT_EQ(Base64LinesLength(0), 0u);
  EXPECT_EQ(Base64LinesLength(1), 4u);
  EXPECT_EQ(Base64LinesLength(51), 68u);
  EXPECT_EQ(Base64LinesLength(52), 74u);
  EXPECT_EQ(Base64LinesLength(54), 74u);
  EXPECT_EQ(Base64LinesLength(55), 78u);
  EXPECT_EQ(Base64LinesLength(108), 148u);
}

}  // namespace
}  // namespace tolvex
