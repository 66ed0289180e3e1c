#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "encoding/jis_convert.hpp"

namespace tolvex {
namespace {

namespace fs = std::filesystem;

class FileBase64 : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = fs::temp_directory_path() /
           ("tolvex_b64_" + std::to_string(std::random_device{}()) + "_" + info->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Write(const std::string& name, const std::string& bytes) {
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  std::string Encode(const std::string& bytes) {
    std::string result = "old contents";
    const Status status = EncodeFileBase64(Write("f.bin", bytes), result);
    EXPECT_FALSE(status.has_value()) << (status ? status->message : "");
    return result;
  }

  fs::path dir_;
};

TEST_F(FileBase64, FullLastLineIsFollowedByBreak) {
  const std::string line = EncodeBase64(std::string(54, 'z'));
  EXPECT_EQ(Encode(std::string(54, 'z')), line + "\r\n");
  EXPECT_EQ(Encode(std::string(108, 'z')), line + "\r\n" + line + "\r\n");
  EXPECT_EQ(Encode(std::string(55, 'z')), line + "\r\neg==");
}

TEST_F(FileBase64, ShortLastGroupStillCompletesALine) {
  const std::string r52 = Encode(std::string(52, 'z'));
  ASSERT_EQ(r52.size(), 74u);
  EXPECT_TRUE(r52.ends_with("eg==\r\n"));
  const std::string r53 = Encode(std::string(53, 'z'));
  ASSERT_EQ(r53.size(), 74u);
  EXPECT_TRUE(r53.ends_with("eno=\r\n"));
  EXPECT_EQ(Encode("zz"), "eno=");
}

TEST_F(FileBase64, EmptyFileReplacesResultWithEmptyText) {
  EXPECT_EQ(Encode(""), "");
}

TEST_F(FileBase64, ResultLosesFormerContentsEvenForShortFile) {
  std::string result(5000, 'x');
  ASSERT_FALSE(EncodeFileBase64(Write("a", "foo"), result).has_value());
  EXPECT_EQ(result, "Zm9v");
}

TEST_F(FileBase64, AppendKeepsWhatWasThere) {
  std::string out = "--boundary\r\n\r\n";
  ASSERT_FALSE(AppendFileBase64(Write("a", "foobar"), out).has_value());
  EXPECT_EQ(out, "--boundary\r\n\r\nZm9vYmFy");
}

TEST_F(FileBase64, BinaryFileMatchesInMemoryEncoding) {
  // All byte values, CR LF and NUL included, across many lines.
  std::mt19937 rng(7);
  std::string bytes(100000 + 17, '\0');
  for (char& b : bytes) b = static_cast<char>(rng());
  std::string expected;
  AppendBase64Lines(bytes, expected);
  EXPECT_EQ(Encode(bytes), expected);
}

TEST_F(FileBase64, MissingFileFailsAndLeavesOutputAlone) {
  std::string out = "kept";
  const Status status = AppendFileBase64(dir_ / "missing.bin", out);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->kind, FailureKind::InputMissing);
  EXPECT_TRUE(status->message.starts_with("cannot read attachment \"")) << status->message;
  EXPECT_NE(status->message.find("missing.bin\": "), std::string::npos) << status->message;
  EXPECT_EQ(out, "kept");

  std::string result = "kept too";
  EXPECT_TRUE(EncodeFileBase64(dir_ / "missing.bin", result).has_value());
  EXPECT_EQ(result, "kept too");
}

TEST_F(FileBase64, FolderOrEmptyNameFails) {
  std::string out = "kept";
  const Status folder = AppendFileBase64(dir_, out);
  ASSERT_TRUE(folder.has_value());
  EXPECT_EQ(folder->kind, FailureKind::InputMissing);
  const Status empty = AppendFileBase64(fs::path(), out);
  ASSERT_TRUE(empty.has_value());
  EXPECT_EQ(empty->kind, FailureKind::InputMissing);
  EXPECT_EQ(out, "kept");
}

}  // namespace
}  // namespace tolvex
