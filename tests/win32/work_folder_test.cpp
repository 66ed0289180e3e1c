// The Windows work folder's kept-mail files: created new (CREATE_NEW, never
// through a link), written through to the disk, given their name without
// replacing one; the spool's Create takes a planted link away.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/win32/work_folder.hpp"

namespace tolvex::win {
namespace {

namespace fs = std::filesystem;

class WinWorkFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / (L"tolvex-wf-" + std::to_wstring(GetCurrentProcessId()));
    fs::remove_all(dir_);
    fs::create_directories(dir_ / L"kept");
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void Write(const fs::path& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
  }
  std::string Read(const fs::path& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  fs::path dir_;
};

TEST_F(WinWorkFolderTest, KeptFilesAreNewAndLinksAreNeverWrittenThrough) {
  WinWorkFolder files(dir_);
  Write(L"victim", "precious");
  Write(L"kept\\plain.new", "earlier");
  ASSERT_TRUE(
      CreateHardLinkW((dir_ / L"kept\\hardlink.new").c_str(), (dir_ / L"victim").c_str(), nullptr));
  // A symbolic link needs a privilege Windows may not grant (and Wine
  // reports one made without making it): tried when there is one.
  const fs::path link = dir_ / L"kept\\symlink.new";
  CreateSymbolicLinkW(link.c_str(), (dir_ / L"victim").c_str(), 0);
  const DWORD attributes = GetFileAttributesW(link.c_str());
  const bool symlink =
      attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
  for (const char* name : {"plain.new", "hardlink.new", symlink ? "symlink.new" : "plain.new"}) {
    IoError error;
    bool taken = false;
    EXPECT_EQ(files.CreateNew(std::string("kept\\") + name, error, taken), nullptr) << name;
    EXPECT_TRUE(taken) << name;
  }
  IoError error;
  bool taken = true;
  auto out = files.CreateNew("kept\\\x95\x5C.new", error, taken);  // 表.new
  ASSERT_NE(out, nullptr) << *error;
  EXPECT_FALSE(taken);
  EXPECT_FALSE(out->Write("message"));
  EXPECT_FALSE(out->Finish());
  EXPECT_TRUE(files.PlaceNew("kept\\\x95\x5C.new", "kept\\plain.new", taken));
  EXPECT_TRUE(taken);
  EXPECT_FALSE(files.PlaceNew("kept\\\x95\x5C.new", "kept\\1.eml", taken));
  EXPECT_EQ(Read(L"kept\\1.eml"), "message");
  EXPECT_EQ(Read(L"kept\\plain.new"), "earlier");

  // The spool's Create: the planted name is replaced by a file of its own.
  for (const char* name : {"kept\\hardlink.new", symlink ? "kept\\symlink.new" : nullptr}) {
    if (!name) continue;
    auto spool = files.Create(name, error);
    ASSERT_NE(spool, nullptr) << name << ": " << *error;
    EXPECT_FALSE(spool->Write("spool"));
    EXPECT_FALSE(spool->Finish());
    EXPECT_EQ(Read(name), "spool");
  }
  EXPECT_EQ(Read(L"victim"), "precious");
}

// The listing: regular files only, by their long names, in code page 932
// (表 with its 0x5C) or, for a Unicode command file, UTF-8; a name without
// a code page 932 form is counted, not listed.
TEST_F(WinWorkFolderTest, ListFolderGivesRegularFilesInTheCommandFilesEncoding) {
  WinWorkFolder files(dir_);
  fs::create_directories(dir_ / L"logs" / L"sub.csv");
  Write(L"logs\\\x8868.csv", "a");  // 表
  Write(L"logs\\Long name.csv", "b");
  Write(L"logs\\\x00e9.csv", "c");  // é
  for (const bool unicode : {false, true}) {
    files.SetUnicodeNames(unicode);
    IoError error;
    FolderListing listing = files.ListFolder("logs\\", error);
    ASSERT_FALSE(error) << *error;
    std::sort(listing.names.begin(), listing.names.end());
    const std::vector<std::string> expected =
        unicode ? std::vector<std::string>{"Long name.csv", "\xc3\xa9.csv", "\xe8\xa1\xa8.csv"}
                : std::vector<std::string>{"Long name.csv", "\x95\x5c.csv"};
    EXPECT_EQ(listing.names, expected);
    EXPECT_EQ(listing.unnamed, unicode ? 0u : 1u);
    EXPECT_TRUE(listing.ignoreCase);
  }
  IoError error;
  files.ListFolder("none\\", error);
  EXPECT_TRUE(error.has_value());
}

}  // namespace
}  // namespace tolvex::win
