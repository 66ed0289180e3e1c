#include <gtest/gtest.h>

#include <random>
#include <string>

#include "encoding/jis_convert.hpp"
#include "support/memory_file.hpp"

namespace tolvex {
namespace {

std::string Encode(const std::string& bytes) {
  test::MemoryFile file(bytes);
  std::string result = "old contents";
  const IoError error = EncodeFileBase64(file, result);
  EXPECT_FALSE(error.has_value()) << *error;
  return result;
}

TEST(FileBase64, FullLastLineIsFollowedByBreak) {
  const std::string line = EncodeBase64(std::string(54, 'z'));
  EXPECT_EQ(Encode(std::string(54, 'z')), line + "\r\n");
  EXPECT_EQ(Encode(std::string(108, 'z')), line + "\r\n" + line + "\r\n");
  EXPECT_EQ(Encode(std::string(55, 'z')), line + "\r\neg==");
}

TEST(FileBase64, ShortLastGroupStillCompletesALine) {
  const std::string r52 = Encode(std::string(52, 'z'));
  ASSERT_EQ(r52.size(), 74u);
  EXPECT_TRUE(r52.ends_with("eg==\r\n"));
  const std::string r53 = Encode(std::string(53, 'z'));
  ASSERT_EQ(r53.size(), 74u);
  EXPECT_TRUE(r53.ends_with("eno=\r\n"));
  EXPECT_EQ(Encode("zz"), "eno=");
}

TEST(FileBase64, EmptyFileReplacesResultWithEmptyText) { EXPECT_EQ(Encode(""), ""); }

TEST(FileBase64, ResultLosesFormerContentsEvenForShortFile) {
  std::string result(5000, 'x');
  test::MemoryFile file("foo");
  ASSERT_FALSE(EncodeFileBase64(file, result).has_value());
  EXPECT_EQ(result, "Zm9v");
}

TEST(FileBase64, BinaryFileMatchesInMemoryEncoding) {
  // All byte values, CR LF and NUL included, across many lines.
  std::mt19937 rng(7);
  std::string bytes(100000 + 17, '\0');
  for (char& b : bytes) b = static_cast<char>(rng());
  std::string expected;
  AppendBase64Lines(bytes, expected);
  EXPECT_EQ(Encode(bytes), expected);
}

TEST(FileBase64, BlocksOfWholeLinesGiveTheWholeFileText) {
  // Past one read block (about 1 MiB), with a short last block.
  std::mt19937 rng(11);
  std::string bytes(54 * 19418 * 2 + 1000, '\0');
  for (char& b : bytes) b = static_cast<char>(rng());
  std::string expected;
  AppendBase64Lines(bytes, expected);
  EXPECT_EQ(Encode(bytes), expected);
}

TEST(FileBase64, ReadFailureOrShrunkFileLeavesResultAlone) {
  std::string result = "kept";
  test::MemoryFile failing(std::string(3 * 1024 * 1024, 'a'));
  failing.failAtRead = 2;
  const IoError error = EncodeFileBase64(failing, result);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(*error, "injected read error");
  EXPECT_EQ(result, "kept");

  test::MemoryFile shrunk(std::string(1000, 'a'));
  shrunk.shrinkTo = 500;
  EXPECT_TRUE(EncodeFileBase64(shrunk, result).has_value());
  EXPECT_EQ(result, "kept");
}

}  // namespace
}  // namespace tolvex
