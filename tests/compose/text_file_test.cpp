// The text-file reading rule: a buffer of as many characters as the file has
// bytes, each line copied with CR LF, then trimmed.
#include <gtest/gtest.h>

#include <string>

#include "compose/message.hpp"
#include "compose/text_file.hpp"
#include "platform/native_path.hpp"
#include "test_util.hpp"

namespace tolvex {
namespace {

using testing::TempDir;
using testing::WriteBytes;

class TextFile : public ::testing::Test {
 protected:
  // Reads `bytes` through the rule; "<failed: ...>" on failure.
  std::string Read(std::string_view bytes) {
    const auto path = dir.path() / "text.txt";
    WriteBytes(path, bytes);
    std::string text = "stale";
    if (IoError e = ReadTextFile(dir.folder(), "text.txt", text)) return "<failed: " + *e + ">";
    return text;
  }
  TempDir dir;
};

TEST_F(TextFile, FilesWithLineBreaksComeBackUnchanged) {
  EXPECT_EQ(Read(""), "");
  EXPECT_EQ(Read("abc\r\ndef\r\n"), "abc\r\ndef\r\n");
  EXPECT_EQ(Read("\x95\x5C\x83\x5C\r\n.\r\n\r\n"), "\x95\x5C\x83\x5C\r\n.\r\n\r\n");
  EXPECT_EQ(Read("\r\n"), "\r\n");
}

TEST_F(TextFile, MissingFinalBreakFitsOnlyIntoSpareRoom) {
  EXPECT_EQ(Read("abc"), "abc");                                // no spare room
  EXPECT_EQ(Read("x\x95\x5C"), "x\x95\x5C\r");                  // one double-byte: CR only
  EXPECT_EQ(Read("\x95\x5C\x83\x5C"), "\x95\x5C\x83\x5C\r\n");  // two: whole CR LF
  EXPECT_EQ(Read("a\r\n\x94\x5C\x94\x5C\x94\x5C"), "a\r\n\x94\x5C\x94\x5C\x94\x5C\r\n");
}

TEST_F(TextFile, LfAloneStaysInsideTheLine) {
  EXPECT_EQ(Read("a\nb\n"), "a\nb\n");  // one line of four characters, no room for CR LF
  EXPECT_EQ(Read("\x95\x5C\nb"), "\x95\x5C\nb\r");
  EXPECT_EQ(Read("a\n\r\nb\r\n"), "a\n\r\nb\r\n");
}

TEST_F(TextFile, BlanksAtBothEndsGoTabsStay) {
  EXPECT_EQ(Read("   lead\r\n"), "lead\r\n");
  EXPECT_EQ(Read("\tlead\r\n"), "\tlead\r\n");
  EXPECT_EQ(Read("tail   "), "tail");
  EXPECT_EQ(Read("   "), "");
  // Full-width space is not a blank.
  EXPECT_EQ(Read("\x81\x40x\r\n"), "\x81\x40x\r\n");
}

TEST_F(TextFile, CrAloneLinesWithinTheBuffer) {
  EXPECT_EQ(Read("ab\r"), "ab\r");  // the last line's LF finds no room
  EXPECT_EQ(Read("\x95\x5C\r\x95\x5C\r"), "\x95\x5C\r\n\x95\x5C\r\n");  // spare room of two
  EXPECT_EQ(Read("a\r\n\x95\x5C\rb"), "a\r\n\x95\x5C\r\nb");            // one spare, CR LF of b cut
}

TEST_F(TextFile, CrAloneLinesBeyondTheBufferAreAnError) {
  const std::string r = Read("a\rb\rc");
  EXPECT_EQ(r.rfind("<failed: lines end in CR alone", 0), 0u) << r;
  // An empty line that no longer fits is a lost line too.
  EXPECT_NE(Read("ab\r\r\r").find("<failed:"), std::string::npos);
  // Part of a line cut off.
  EXPECT_NE(Read("a\r\r\rbcd").find("<failed:"), std::string::npos);
}

TEST_F(TextFile, LargeFileAcrossReadChunks) {
  // A CR LF straddling the internal read chunks, and a CR alone at a chunk end.
  std::string bytes(65535, 'a');
  bytes += "\r\n";
  bytes += std::string(65534, 'b') + "\r";
  bytes +=
      "\x95\x5C\x95\x5C"
      "end";
  const std::string expected = std::string(65535, 'a') + "\r\n" + std::string(65534, 'b') + "\r\n" +
                               "\x95\x5C\x95\x5C"
                               "end"
                               "\r";
  EXPECT_EQ(Read(bytes), expected);
}

TEST_F(TextFile, MissingFileOrFolder) {
  std::string text = "kept";
  IoError e = ReadTextFile(dir.folder(), "nope.txt", text);
  ASSERT_TRUE(e);
  EXPECT_EQ(text, "kept");
  std::filesystem::create_directories(dir.path() / "sub");
  e = ReadTextFile(dir.folder(), "sub", text);
  ASSERT_TRUE(e);
  EXPECT_NE(e->find("is a directory"), std::string::npos) << *e;
  EXPECT_EQ(text, "kept");
}

TEST(ReadFile, LoadsTextFileDataByCodePage932Name) {
  TempDir dir;
  const std::string name = "\x95\x5C\x83\x5C.txt";  // 表ソ.txt
  WriteBytes(NativePath(dir.path(), name), " line one\r\nline two");
  RunState st;
  st.TextFileData = "old";
  ASSERT_FALSE(ReadFile(st, name, dir.folder()));
  EXPECT_EQ(st.TextFileData, "line one\r\nline two");
}

TEST(ReadFile, FailureNamesTheFileAndKeepsTheData) {
  TempDir dir;
  RunState st;
  st.TextFileData = "old";
  Status s = ReadFile(st, "\x94\x5C.txt", dir.folder());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->kind, FailureKind::InputMissing);
  EXPECT_EQ(s->message.rfind("cannot read text file \"\x94\x5C.txt\": ", 0), 0u) << s->message;
  EXPECT_EQ(st.TextFileData, "old");

  s = ReadFile(st, "", dir.folder());
  ASSERT_TRUE(s);
  EXPECT_EQ(s->message, "cannot read text file \"\": empty file name");
}

}  // namespace
}  // namespace tolvex
