// The Linux work folder: only regular files, found without blocking on a
// FIFO; reads held to the size taken at open; appends that fail leave the
// file as it was.
#include "platform/posix/work_folder.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "platform/native_path.hpp"

namespace tolvex::posix::test {
namespace {

namespace fs = std::filesystem;

class WorkFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tolvex-wf-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
  }
  std::string Read(const std::string& name) {
    std::ifstream in(dir_ / name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  fs::path dir_;
};

TEST_F(WorkFolderTest, NonRegularFilesAreRefusedAtOnceNamingWhatTheyAre) {
  PosixWorkFolder files(dir_);
  ASSERT_EQ(::mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  fs::create_directory(dir_ / "sub");
  fs::create_symlink("loop2", dir_ / "loop1");
  fs::create_symlink("loop1", dir_ / "loop2");
  fs::create_symlink("/dev/zero", dir_ / "zero");
  struct Case {
    const char* name;
    const char* reason;
  };
  const auto start = std::chrono::steady_clock::now();
  for (const Case& c :
       {Case{"fifo", "FIFO"}, Case{"sub", "directory"}, Case{"loop1", "symbolic links"},
        Case{"zero", "device"}, Case{"missing", "No such file"}}) {
    IoError error;
    EXPECT_EQ(files.OpenRead(c.name, error), nullptr) << c.name;
    ASSERT_TRUE(error) << c.name;
    EXPECT_NE(error->find(c.reason), std::string::npos) << c.name << ": " << *error;
  }
  // A FIFO as a log or spool is refused the same way, without waiting for a reader.
  EXPECT_TRUE(files.Append("fifo", "record\r\n"));
  IoError error;
  EXPECT_EQ(files.Create("fifo", error), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST_F(WorkFolderTest, ReadsStopAtTheSizeTakenWhenOpened) {
  PosixWorkFolder files(dir_);
  Write("a.bin", "0123456789");
  IoError error;
  auto file = files.OpenRead("a.bin", error);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->Size(), 10u);
  Write("a.bin", "0123456789 grown since");  // rewritten in place, longer
  char buf[64];
  std::size_t got = 0;
  ASSERT_FALSE(file->ReadAt(0, buf, sizeof buf, got));
  EXPECT_EQ(got, 10u);
  fs::resize_file(dir_ / "a.bin", 4);  // and now shorter
  EXPECT_TRUE(ReadExactly(*file, 0, buf, 10));
}

TEST_F(WorkFolderTest, NamesAreCodePage932AndReplaceIsOneRename) {
  PosixWorkFolder files(dir_);
  const std::string name = "\x95\x5C\x83\x5C.txt";  // 表ソ.txt
  IoError error;
  auto out = files.Create(name, error);
  ASSERT_NE(out, nullptr);
  EXPECT_FALSE(out->Write("new"));
  EXPECT_FALSE(out->Finish());
  EXPECT_TRUE(fs::exists(dir_ / fs::u8path("表ソ.txt")));
  Write("TEMP.TXT", "old");
  EXPECT_FALSE(files.Replace(name, "TEMP.TXT"));
  EXPECT_EQ(Read("TEMP.TXT"), "new");
  EXPECT_FALSE(files.Remove("TEMP.TXT"));
  EXPECT_FALSE(files.Remove("TEMP.TXT"));  // already gone: no error
}

TEST_F(WorkFolderTest, PlaceNewNeverReplaces) {
  PosixWorkFolder files(dir_);
  EXPECT_FALSE(files.MakeFolder("kept"));
  EXPECT_FALSE(files.MakeFolder("kept"));  // already there: no error
  Write("kept/a.new", "first");
  Write("kept/b.new", "second");
  bool taken = true;
  EXPECT_FALSE(files.PlaceNew("kept/a.new", "kept/1.eml", taken));
  EXPECT_FALSE(taken);
  EXPECT_TRUE(files.PlaceNew("kept/b.new", "kept/1.eml", taken));
  EXPECT_TRUE(taken);
  EXPECT_EQ(Read("kept/1.eml"), "first");
  EXPECT_FALSE(fs::exists(dir_ / "kept/a.new"));
  EXPECT_EQ(Read("kept/b.new"), "second");
  EXPECT_TRUE(files.PlaceNew("kept/missing", "kept/2.eml", taken));
  EXPECT_FALSE(taken);
}

// Kept mail: a folder and files of the owner's alone; a link planted at a
// name it would write (symbolic, dangling, or a second hard name) is never
// written through, and CreateNew passes over any name already there.
TEST_F(WorkFolderTest, NewFilesArePrivateAndLinksAreNeverWrittenThrough) {
  PosixWorkFolder files(dir_);
  const mode_t mask = ::umask(022);
  EXPECT_FALSE(files.MakeFolder("kept"));
  Write("victim", "precious");
  fs::create_symlink(dir_ / "victim", dir_ / "kept/symlink.new");
  fs::create_symlink(dir_ / "absent", dir_ / "kept/dangling.new");
  fs::create_hard_link(dir_ / "victim", dir_ / "kept/hardlink.new");
  Write("kept/plain.new", "earlier");
  for (const char* name : {"symlink.new", "dangling.new", "hardlink.new", "plain.new"}) {
    IoError error;
    bool taken = false;
    EXPECT_EQ(files.CreateNew(std::string("kept/") + name, error, taken), nullptr) << name;
    EXPECT_TRUE(taken) << name;
  }
  EXPECT_FALSE(fs::exists(dir_ / "absent"));
  IoError error;
  bool taken = true;
  auto out = files.CreateNew("kept/\x95\x5C.new", error, taken);  // 表.new
  ASSERT_NE(out, nullptr) << *error;
  EXPECT_FALSE(taken);
  EXPECT_FALSE(out->Write("message"));
  EXPECT_FALSE(out->Finish());
  EXPECT_TRUE(files.PlaceNew("kept/\x95\x5C.new", "kept/symlink.new", taken));
  EXPECT_TRUE(taken);  // the link stays, the file keeps its name
  EXPECT_FALSE(files.PlaceNew("kept/\x95\x5C.new", "kept/1.eml", taken));
  struct stat st {};
  ASSERT_EQ(::stat((dir_ / "kept").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  ASSERT_EQ(::lstat((dir_ / "kept/1.eml").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(Read("kept/1.eml"), "message");

  // Create (the spool) takes a planted link away instead of emptying its target.
  for (const char* name : {"kept/symlink.new", "kept/hardlink.new"}) {
    auto spool = files.Create(name, error);
    ASSERT_NE(spool, nullptr) << name;
    EXPECT_FALSE(spool->Write("spool"));
    EXPECT_FALSE(spool->Finish());
    ASSERT_EQ(::lstat((dir_ / name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode) && st.st_nlink == 1) << name;
    EXPECT_EQ(Read(name), "spool");
  }
  EXPECT_EQ(Read("victim"), "precious");
  ::umask(mask);
}

TEST_F(WorkFolderTest, AppendAddsWholeRecords) {
  PosixWorkFolder files(dir_);
  EXPECT_FALSE(files.Append("LOG.txt", "one\r\n"));
  EXPECT_FALSE(files.Append("LOG.txt", "two\r\n"));
  EXPECT_EQ(Read("LOG.txt"), "one\r\ntwo\r\n");
  fs::create_directory(dir_ / "dirlog");
  const IoError error = files.Append("dirlog", "x");
  ASSERT_TRUE(error);
  EXPECT_NE(error->find("directory"), std::string::npos) << *error;
}

}  // namespace
}  // namespace tolvex::posix::test
