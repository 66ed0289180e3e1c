#include <gtest/gtest.h>

#include <string>

#include "encoding/jis_convert.hpp"

namespace tolvex {
namespace {

std::string Repeat(char c, std::size_t n) { return std::string(n, c); }

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
