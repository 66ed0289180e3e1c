// Tests of the command.txt interpreter. Each test writes its own command.txt
// into a fresh temporary folder; Shift_JIS bytes are written as escapes.
#include "command/command_file.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "platform/native_path.hpp"
#include "platform/posix/work_folder.hpp"
#include "support/memory_folder.hpp"

namespace tolvex {
namespace {

namespace fs = std::filesystem;

std::string Lines(std::initializer_list<std::string> lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line;
    text += "\r\n";
  }
  return text;
}

class CommandFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "tolvex-cmd-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    files_ = std::make_unique<posix::PosixWorkFolder>(dir_);
    st_.FromAddr = "DummySender";  // what start-up sets before reading
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    ASSERT_TRUE(out.good());
  }
  // A file named in the command file (code page 932 name).
  void WriteNamed(const std::string& cp932Name, const std::string& bytes) {
    WriteBytes(NativePath(dir_, cp932Name), bytes);
  }
  Status Read(const std::string& commandBytes) {
    WriteBytes(dir_ / kCommandFileName, commandBytes);
    return ReadCommandFile(st_, fx_, *files_);
  }
  void ReadOk(const std::string& commandBytes) {
    Status status = Read(commandBytes);
    ASSERT_FALSE(status.has_value()) << status->message;
  }

  void ExpectBad(const Status& status, const std::string& messageStart) {
    ASSERT_TRUE(status.has_value()) << messageStart;
    EXPECT_EQ(status->kind, FailureKind::CommandFileBad);
    EXPECT_EQ(status->message.rfind(messageStart, 0), 0u) << status->message;
  }

  fs::path dir_;
  std::unique_ptr<WorkFolder> files_;
  RunState st_;
  EffectRecorder fx_;  // what the interpreter does at once, in order
};

TEST_F(CommandFileTest, TypicalFileFillsTheRunState) {
  ReadOk(Lines({"#LOC=client.example", "#HOS = smtp.example", "#FRO=Sender <s@example.com>",
                "#TO=a@example.com,b@example.com", "#SUB=\x8a\xbf\x8e\x9a", "#WAI=5", "#MOR=3",
                "#TER=60", "#FOR=tray", "", "first line", "second line", "Subject: New"}));
  EXPECT_EQ(st_.LocalName, "client.example");
  EXPECT_EQ(st_.FromAddr, "Sender <s@example.com>");
  ASSERT_EQ(st_.ToCount, 2);
  EXPECT_EQ(st_.ToAddr[1], "a@example.com");
  EXPECT_EQ(st_.ToAddr[2], "b@example.com");
  EXPECT_EQ(st_.WaitMinutes, 5);
  EXPECT_EQ(st_.MoreCount, 3);
  EXPECT_EQ(st_.MoreInterval, 60);
  EXPECT_EQ(st_.FormMode, "tray");
  EXPECT_TRUE(st_.MailMode);
  EXPECT_FALSE(st_.DeleteCommandFile);
  // The mail-section subject replaced the directive's.
  EXPECT_EQ(st_.SubjectLine, "Subject: =?ISO-2022-JP?B?TmV3?=\r\n");
  EXPECT_EQ(st_.BodyText, "\r\nfirst line\r\nsecond line\r\n");
  EXPECT_EQ(fx_.calls, (std::vector<std::string>{"host:smtp.example", "hide", "tray"}));
}

TEST_F(CommandFileTest, JapaneseSubjectAndBodyAreConverted) {
  ReadOk(Lines({"#SUB=\x8a\xbf\x8e\x9a", "", "\x8a\xbf\x8e\x9a", "abc"}));
  EXPECT_EQ(st_.SubjectLine, "Subject: =?ISO-2022-JP?B?GyRCNEE7eg==?=\r\n");
  EXPECT_EQ(st_.BodyText, "\r\n\x1b$B\x34\x41\x3b\x7a\x1b(J\r\nabc\r\n");
}

TEST_F(CommandFileTest, LineEnds) {
  ReadOk("#FRO=a\nx\r\ry\r\nz");  // LF, CR and CR LF each end one line
  EXPECT_EQ(st_.FromAddr, "a");
  EXPECT_EQ(st_.BodyText, "x\r\n\r\ny\r\nz\r\n");
  ReadOk("#HOS=h\n#TO=a@b\n\nbody\n");
  EXPECT_EQ(st_.ToAddr[1], "a@b");
  EXPECT_EQ(st_.BodyText, "\r\nbody\r\n");
  EXPECT_EQ(fx_.calls, std::vector<std::string>{"host:h"});
  ReadOk("#FRO=a\r\n\r\n");  // a final line end opens no further line
  EXPECT_EQ(st_.BodyText, "\r\n");
  st_ = RunState{};
  ReadOk("");
  EXPECT_EQ(st_.BodyText, "");
  EXPECT_FALSE(st_.MailMode);
  EXPECT_EQ(st_.ToCount, 1);  // no recipient line: one empty recipient
  EXPECT_EQ(st_.ToAddr[1], "");
}

TEST_F(CommandFileTest, ReadingResetsOnlyItsOwnFlags) {
  st_.AttachFlag = true;
  st_.FileCount = 4;
  st_.MailMode = true;
  st_.MultiFlag = true;
  st_.LocalName = "kept";
  ReadOk(Lines({"#FRO=x"}));
  EXPECT_FALSE(st_.AttachFlag);
  EXPECT_EQ(st_.FileCount, 0);
  EXPECT_FALSE(st_.MailMode);
  EXPECT_TRUE(st_.MultiFlag);
  EXPECT_EQ(st_.LocalName, "kept");
}

TEST_F(CommandFileTest, ValuesAreTrimmedOfSpacesOnly) {
  ReadOk(
      Lines({"#LOCAL NAME = my host ", "#FRO=\x81\x40 a \x81\x40", "#REP=\x81\x40r@x\x81\x40 "}));
  EXPECT_EQ(st_.LocalName, "my host");             // letters before "=" ignored
  EXPECT_EQ(st_.FromAddr, "\x81\x40 a \x81\x40");  // the full-width space stays
  EXPECT_EQ(st_.ReplyToLine, "Reply-To: \x81\x40r@x\x81\x40\r\n");
}

TEST_F(CommandFileTest, ToWithSpaceOrEquals) {
  ReadOk(Lines({"#TO = a@x , b@y"}));
  EXPECT_EQ(st_.ToList, "a@x , b@y");
  ASSERT_EQ(st_.ToCount, 2);
  EXPECT_EQ(st_.ToAddr[2], "b@y");
  ReadOk(Lines({"#TO a@x"}));  // no "=": the whole line
  EXPECT_EQ(st_.ToList, "#TO a@x");
  EXPECT_FALSE(st_.MailMode);
}

TEST_F(CommandFileTest, LowerCaseKeywordIsBody) {
  ReadOk(Lines({"#HOS=h", "#to=a@x", "#fro=b@y", "#del"}));
  EXPECT_EQ(st_.ToList, "");
  EXPECT_EQ(st_.FromAddr, "DummySender");
  EXPECT_FALSE(st_.DeleteCommandFile);
  EXPECT_EQ(st_.BodyText, "#to=a@x\r\n#fro=b@y\r\n#del\r\n");
  // A directive after it would have been meant for the section: refused
  // (MisspelledDirectives below).
  ExpectBad(Read(Lines({"#HOS=h", "#to=a@x", "#FRO=b@y", "#DEL"})),
            "command.txt line 2: \"#to\" is no directive");
}

TEST_F(CommandFileTest, SubjectAndReplyLines) {
  // The line that ends the directives is body even when it reads "Subject:".
  ReadOk(Lines({"#FRO=a", "Subject: first", "Subject: second", "Reply-To:  r@x "}));
  EXPECT_EQ(st_.SubjectLine, "Subject: =?ISO-2022-JP?B?c2Vjb25k?=\r\n");
  EXPECT_EQ(st_.ReplyToLine, "Reply-To: r@x\r\n");
  EXPECT_EQ(st_.BodyText, "Subject: first\r\n");
  ReadOk(Lines({"", "Subj", "Repl:x"}));  // too short: empty values
  EXPECT_EQ(st_.SubjectLine,
            "Subject: =?ISO-2022-JP?B?"
            "?=\r\n");
  EXPECT_EQ(st_.ReplyToLine, "Reply-To: \r\n");
  // Eight characters are dropped: "Subj" and four double-byte characters.
  ReadOk(Lines({"",
                "Subj\x95\x5c\x83\x5c\x94\x5c\x8f\x5c"
                "Hello"}));
  EXPECT_EQ(st_.SubjectLine, "Subject: =?ISO-2022-JP?B?SGVsbG8=?=\r\n");
  ReadOk(Lines({"#SUB hello "}));  // no "=": the whole trimmed line
  EXPECT_EQ(st_.SubjectLine, "Subject: =?ISO-2022-JP?B?I1NVQiBoZWxsbw==?=\r\n");
}

TEST_F(CommandFileTest, KilNexDelAndFormModes) {
  ReadOk(Lines({"#KIL=everything", "#NEX=3", "#DEL and more text", "#FOR = icon "}));
  EXPECT_TRUE(st_.DeleteCommandFile);
  EXPECT_FALSE(st_.MailMode);
  EXPECT_EQ(st_.BodyText, "");
  EXPECT_EQ(st_.FormMode, "icon");
  EXPECT_EQ(fx_.calls, std::vector<std::string>{"minimized"});
  fx_.calls.clear();
  ReadOk(Lines({"#FOR=Tray", "#FOR=ICON"}));  // case differs: stored only
  EXPECT_EQ(st_.FormMode, "ICON");
  EXPECT_TRUE(fx_.calls.empty());
  ReadOk(Lines({"#FOR=tray", "#HOS=a", "#HOS=b"}));
  EXPECT_EQ(fx_.calls, (std::vector<std::string>{"hide", "tray", "host:a", "host:b"}));
}

TEST_F(CommandFileTest, TextFileThenAttachmentsReplacePrefix) {
  WriteNamed("note.txt", "line one\r\nline two\r\n");
  ReadOk(Lines({"#TEX = note.txt", "", "hello"}));
  EXPECT_EQ(st_.FileList[1], "note.txt");
  EXPECT_EQ(st_.FileCount, 0);
  EXPECT_EQ(st_.TextFileData, "line one\r\nline two\r\n");
  EXPECT_EQ(st_.BodyText, "note.txt\r\n-----\r\n\r\nhello\r\n");
  ReadOk(Lines({"#TEX=note.txt", "#ATT=a.bin, b.bin", "body"}));
  EXPECT_EQ(st_.TextFileData, "line one\r\nline two\r\n");
  EXPECT_TRUE(st_.AttachFlag);
  ASSERT_EQ(st_.FileCount, 2);
  EXPECT_EQ(st_.FileList[2], " b.bin");
  EXPECT_EQ(st_.BodyText, "a.bin, b.bin\r\n-----\r\nbody\r\n");
}

TEST_F(CommandFileTest, FileLists) {
  ReadOk(Lines({"#ATT=f1,f2,f3,f4,f5,f6,f7,f8,f9,f10,"}));  // ten, the comma opens none
  EXPECT_EQ(st_.FileCount, 10);
  EXPECT_EQ(st_.FileList[10], "f10");
  ReadOk(Lines({"#ATT=x,y,"}));
  EXPECT_EQ(st_.FileCount, 2);
  ReadOk(Lines({"#MUL=p1.txt,p2.txt", "body"}));  // no prefix for parts
  EXPECT_TRUE(st_.MultiFlag);
  EXPECT_FALSE(st_.AttachFlag);
  EXPECT_EQ(st_.FileCount, 2);
  EXPECT_EQ(st_.BodyText, "body\r\n");
}

TEST_F(CommandFileTest, MailLineEndsDirectives) {
  ReadOk(Lines({"mail  a@x, b@y ", "#FRO=z", "Subject: s"}));
  EXPECT_EQ(st_.ToList, "a@x, b@y");
  EXPECT_EQ(st_.ToCount, 2);
  EXPECT_EQ(st_.FromAddr, "DummySender");
  EXPECT_EQ(st_.BodyText, "#FRO=z\r\n");
  EXPECT_EQ(st_.SubjectLine, "Subject: =?ISO-2022-JP?B?cw==?=\r\n");
}

TEST_F(CommandFileTest, CatLines) {
  const std::string name = "\x95\x5c\x83\x5c.txt";  // trail bytes 0x5C
  WriteNamed(name, "data\r\n");
  ReadOk(Lines({"cat " + name + " |mail a@x,b@y", "Subject: s"}));
  EXPECT_EQ(st_.FileList[1], name);
  EXPECT_EQ(st_.TextFileData, "data\r\n");
  EXPECT_EQ(st_.ToCount, 2);
  EXPECT_EQ(st_.ToAddr[2], "b@y");
  EXPECT_EQ(st_.BodyText, "\x1b$BI=%=\x1b(J.txt\r\n-----\r\n");  // prefix only
  EXPECT_EQ(st_.SubjectLine, "Subject: =?ISO-2022-JP?B?cw==?=\r\n");
  const std::string bamboo = "\x92\x7c.txt";  // trail byte 0x7C is no bar
  WriteNamed(bamboo, "x\r\n");
  ReadOk(Lines({"cat " + bamboo + "|mail r@x"}));
  EXPECT_EQ(st_.FileList[1], bamboo);
  EXPECT_EQ(st_.ToList, "r@x");
}

TEST_F(CommandFileTest, BinLines) {
  ReadOk(Lines({"bin  a.bin,dir\\b.bin |mail  r@x ", "text"}));
  EXPECT_TRUE(st_.AttachFlag);
  ASSERT_EQ(st_.FileCount, 2);
  EXPECT_EQ(st_.FileList[1], "a.bin");
  EXPECT_EQ(st_.FileList[2], "dir\\b.bin");
  EXPECT_EQ(st_.ToList, "r@x");
  EXPECT_EQ(st_.BodyText, "a.bin,dir\\b.bin\r\n-----\r\ntext\r\n");
  ReadOk(Lines({"bin a | mail r@x"}));  // four characters after "|" skipped
  EXPECT_EQ(st_.ToList, "l r@x");
  ReadOk(Lines({"bin a|\x95\x5c\x95\x5c\x95\x5c\x95\x5cr@x"}));
  EXPECT_EQ(st_.ToList, "r@x");
  ReadOk(Lines({"bin a|ma"}));  // too short: no recipients
  EXPECT_EQ(st_.ToList, "");
}

TEST_F(CommandFileTest, PipeLineWithoutBarFails) {
  ExpectBad(Read(Lines({"#FRO=a", "bin a.bin mail r@x"})), "command.txt line 2: ");
  ExpectBad(Read(Lines({"cat \x92\x7c.txt mail r@x"})), "command.txt line 1: ");
}

TEST_F(CommandFileTest, Numbers) {
  ReadOk(Lines({"#WAI = 32767 ", "#MOR=-32768", "#TER=+7"}));
  EXPECT_EQ(st_.WaitMinutes, 32767);
  EXPECT_EQ(st_.MoreCount, -32768);
  EXPECT_EQ(st_.MoreInterval, 7);
  ReadOk(Lines({"#WAI=0", "#MOR=007", "#TER=-1"}));
  EXPECT_EQ(st_.WaitMinutes, 0);
  EXPECT_EQ(st_.MoreCount, 7);
  EXPECT_EQ(st_.MoreInterval, -1);
  for (const char* value : {"", "1.5", "32768", "-32769", "abc", "1 2", "-", "+", "\t5", "5x",
                            "99999999999999999999", "--1", "\x82\x54"}) {
    for (const char* key : {"#WAI=", "#MOR=", "#TER="}) {
      ExpectBad(Read(Lines({"#FRO=a", key + std::string(value), "#HOS=late"})),
                "command.txt line 2: ");
    }
  }
  EXPECT_TRUE(fx_.calls.empty());                             // reading stopped at the bad line
  ExpectBad(Read(Lines({"#WAI5"})), "command.txt line 1: ");  // no "="
}

TEST_F(CommandFileTest, Recipients) {
  ReadOk(Lines({"#TO= a@x ,, b@y ,"}));
  ASSERT_EQ(st_.ToCount, 4);
  EXPECT_EQ(st_.ToAddr[1], "a@x");
  EXPECT_EQ(st_.ToAddr[2], "");
  EXPECT_EQ(st_.ToAddr[3], "b@y");
  EXPECT_EQ(st_.ToAddr[4], "");
  std::string list = "1@x";
  for (int i = 2; i <= 100; ++i) list += "," + std::to_string(i) + "@x";
  ReadOk(Lines({"#TO=" + list}));
  ASSERT_EQ(st_.ToCount, 100);
  EXPECT_EQ(st_.ToAddr[100], "100@x");
  ExpectBad(Read(Lines({"#FRO=a", "#TO=" + list + ",101@x", "body"})),
            "command.txt line 2: 101 recipients");
}

// A comma inside a closed quoted display name does not split, in every
// list: #TO, #CC, #BCC and the recipients of "mail", "cat " and "bin ".
TEST_F(CommandFileTest, QuotedNamesKeepTheirCommas) {
  WriteNamed("a.txt", "x\r\n");
  const std::string suzuki = "\"Suzuki, Ichiro\" <s@x.jp>";
  const struct {
    std::vector<std::string> lines;
    std::vector<std::string> recipients;
  } cases[] = {
      {{"#TO=" + suzuki + ", b@y"}, {suzuki, "b@y"}},
      {{"#TO=t@x", "#CC=" + suzuki + ",c@y", "#BCC= \"B, b\" <b@z> ,"},
       {"t@x", suzuki, "c@y", "\"B, b\" <b@z>"}},
      {{"mail " + suzuki + ",b@y"}, {suzuki, "b@y"}},
      {{"cat a.txt |mail " + suzuki}, {suzuki}},
      {{"bin a.txt |mail b@y, " + suzuki}, {"b@y", suzuki}},
      // 表 ends in 0x5C, no quoted-pair: its quote closes.
      {{"#TO=\"\x95\x5C\", \"x, y\" <y@x>"}, {"\"\x95\x5C\"", "\"x, y\" <y@x>"}},
      // Without a closed quoted string every comma splits, as ever.
      {{"#TO=O\"Brien <o@x>, b@y"}, {"O\"Brien <o@x>", "b@y"}},
      {{"#TO=a@x,,b@y"}, {"a@x", "", "b@y"}},
  };
  for (const auto& c : cases) {
    st_ = RunState{};
    std::string text;
    for (const std::string& line : c.lines) text += line + "\r\n";
    ReadOk(text);
    std::vector<std::string> got(st_.ToAddr.begin() + 1, st_.ToAddr.begin() + 1 + st_.ToCount);
    EXPECT_EQ(got, c.recipients) << text;
  }
  // Counted the same way: 100 quoted names with commas are 100 recipients.
  std::string list = "\"n, 1\" <1@x>";
  for (int i = 2; i <= 100; ++i)
    list += ",\"n, " + std::to_string(i) + "\" <" + std::to_string(i) + "@x>";
  ReadOk(Lines({"#TO=" + list}));
  EXPECT_EQ(st_.ToCount, 100);
  // UTF-8 text (#CHR=utf-8 keeps it UTF-8): “ then a quoted-pair quote.
  st_ = RunState{};
  ReadOk("#CHR=utf-8\r\n#TO=\"\xE2\x80\x9C\\\", x\" <a@b>, c@d\r\n");
  ASSERT_EQ(st_.ToCount, 2);
  EXPECT_EQ(st_.ToAddr[1], "\"\xE2\x80\x9C\\\", x\" <a@b>");
}

// A directive line after an unknown "#XXX=" line that ended the directive
// section (a misspelling) stops the reading, naming the unknown line and
// the directive, never a value: "#PAS" would go out as message text.
TEST_F(CommandFileTest, MisspelledDirectives) {
  const struct {
    std::vector<std::string> lines;
    std::string error;
  } bad[] = {
      {{"#HOS=h", "#SCE=starttls", "#USR=me", "#PAS=Zq9-secret", "#TO=a@x", "", "body"},
       "command.txt line 2: \"#SCE\" is no directive, so the directive section ends there and "
       "line 3 (\"#USR\") would be sent as message text; is \"#SCE\" misspelled?"},
      {{"#SVR = mail.example.jp", "", "text", "#PAS=Zq9-secret"}, "command.txt line 1: \"#SVR\""},
      {{"#FRM=me@x", "#TO=a@x"}, "command.txt line 1: \"#FRM\" is no directive"},
      {{"#FRM=me@x", "#TO a@x"}, "line 2 (\"#TO\")"},
      {{"#Sec=tls", "#CC =c@x"}, "line 2 (\"#CC\")"},
      {{"#PWD=Zq9-secret", "#DEL"}, "command.txt line 1: \"#PWD\" is no directive"},
      {{"#SMTP_SERVER-NAME-IS-LONG=Zq9-secret", "#KIL"},
       "command.txt line 1: \"#SMTP_SERVER-NAM\" is no directive"},
  };
  for (const auto& c : bad) {
    std::string text;
    for (const std::string& line : c.lines) text += line + "\r\n";
    const Status status = Read(text);
    ASSERT_TRUE(status.has_value()) << text;
    EXPECT_EQ(status->kind, FailureKind::CommandFileBad);
    EXPECT_NE(status->message.find(c.error), std::string::npos) << status->message;
    EXPECT_EQ(status->message.find("Zq9"), std::string::npos) << status->message;
  }
  // A body that merely begins with "#" stays body text, directives after a
  // plain line included; so does a misspelled line with no directive after it.
  const struct {
    std::vector<std::string> lines;
    std::string body;
  } good[] = {
      {{"#TO=a@x", "#1 \x94\x84\x8F\xE3", "#SUB=x"}, "#1 \x1B$BGd>e\x1B(J\r\n#SUB=x\r\n"},
      {{"#SCE=starttls", "Subject: s", "#abc", "text"}, "#SCE=starttls\r\n#abc\r\ntext\r\n"},
      {{"#TO=a@x", "", "#PAS=p"}, "\r\n#PAS=p\r\n"},
      {{"# SEC=tls", "#USR=u"}, "# SEC=tls\r\n#USR=u\r\n"},
  };
  for (const auto& c : good) {
    st_ = RunState{};
    std::string text;
    for (const std::string& line : c.lines) text += line + "\r\n";
    ReadOk(text);
    EXPECT_EQ(st_.BodyText, c.body) << text;
  }
}

// The keyword list the check uses is the interpreter's: a line "KEY=1" alone
// is taken as a directive (the section goes on, or its value is refused)
// exactly for the keywords IsDirectiveKeyword names.
TEST(DirectiveKeywords, AreTheOnesTheInterpreterTakes) {
  std::vector<std::string> keys = {"#TO=", "#TO ", "#CC=", "#CC ", "#BC ", "mail", "cat ", "bin "};
  for (char a = 'A'; a <= 'Z'; ++a) {
    for (char b = 'A'; b <= 'Z'; ++b) {
      for (char c = 'A'; c <= 'Z'; ++c) keys.push_back(std::string{'#', a, b, c});
    }
  }
  int known = 0;
  for (const std::string& key : keys) {
    test::MemoryFolder folder;
    folder.files[kCommandFileName] = key + "=1\r\n";
    RunState st;
    EffectRecorder effects;
    const Status status = ReadCommandFile(st, effects, folder);
    const bool tookIt = status.has_value() || !st.MailMode;
    const bool line = key == "mail" || key == "cat " || key == "bin ";
    EXPECT_EQ(IsDirectiveKeyword(key), tookIt && !line) << key;
    known += IsDirectiveKeyword(key) ? 1 : 0;
  }
  EXPECT_EQ(known, 42);
}

// "#HTM": its images are found at start-up; a missing one (66) or too many
// (65) stops the run, and a body without text takes the HTML's.
TEST_F(CommandFileTest, HtmlBodyAndItsImages) {
  WriteNamed("r.html", "<p>\x95\x5C</p><img src=\"c/a.png\"><img src=\"c/a.png\"><img src=x.gif>");
  fs::create_directories(dir_ / "c");
  WriteNamed("c/a.png", "png");
  Status status = Read(Lines({"#HOS=h", "#HTM=r.html", ""}));
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->kind, FailureKind::InputMissing);
  EXPECT_EQ(status->message.rfind("cannot read inline image \"x.gif\"", 0), 0u) << status->message;

  WriteNamed("x.gif", "gif");
  ReadOk(Lines({"#HOS=h", "#HTM=r.html", "", ""}));
  EXPECT_TRUE(st_.HtmlFlag);
  EXPECT_EQ(st_.HtmlImages, (std::vector<std::string>{"c/a.png", "x.gif"}));
  EXPECT_EQ(st_.BodyText, "\r\n\r\n\x1b$BI=\x1b(J\r\n");  // 表 from the HTML, in ISO-2022-JP

  ReadOk(Lines({"#HOS=h", "#HTM=r.html", "", "本文"}));
  EXPECT_EQ(st_.BodyText.find("I="), std::string::npos) << "a body with text keeps its own";

  std::string many;
  for (int k = 0; k < 21; ++k) many += "<img src=\"i" + std::to_string(k) + ".png\">";
  WriteNamed("many.html", many);
  ExpectBad(Read(Lines({"#HOS=h", "#HTM=many.html"})),
            "command.txt line 2: the HTML file has 21 inline images, at most 20");
  ExpectBad(Read(Lines({"#MUL=r.html", "#HTM=r.html"})),
            "command.txt line 2: \"#HTM\" cannot go with \"#MUL\"");
}

// More than ten names would send ten while the body lists them all.
TEST_F(CommandFileTest, ListsOfMoreThanTenFilesAreRefused) {
  const std::string eleven = "f1,f2,f3,f4,f5,f6,f7,f8,f9,f10,f11";
  ExpectBad(Read(Lines({"#HOS=h", "#ATT=" + eleven})),
            "command.txt line 2: \"#ATT\" lists 11 files");
  ExpectBad(Read(Lines({"#MUL=" + eleven + ",f12"})),
            "command.txt line 1: \"#MUL\" lists 12 files");
  ExpectBad(Read(Lines({"bin " + eleven + " |mail a@x"})),
            "command.txt line 1: \"bin \" lists 11 files");
  // 表 and ソ carry 0x5C, not a comma: a list of ten such names is ten.
  ReadOk(
      Lines({"#ATT=\x95\x5C"
             "1,\x83\x5C"
             "2,3,4,5,6,7,8,9,10"}));
  EXPECT_EQ(st_.FileCount, 10);
}

// "*" and "?" in the last component expand to the folder's regular files,
// sorted, before the limit of ten is counted.
TEST_F(CommandFileTest, FilePatternsExpandOnDisk) {
  const std::string hou = "\x95\xf1\x8d\x90";  // 報告
  fs::create_directories(dir_ / "logs" / "sub.csv");
  for (const std::string& name : {hou + "\x8f\x91.pdf", hou + "\x95\x5c.pdf", hou + "12.pdf",
                                  std::string("logs/b.csv"), std::string("logs/a.csv")}) {
    WriteNamed(name, "x");
  }
  WriteBytes(dir_ / "logs" / "\xc3\xa9.csv", "x");  // é has no code page 932 form
  ReadOk(Lines({"#ATT=" + hou + "?.pdf, logs/*.csv", "body"}));
  ASSERT_EQ(st_.FileCount, 4);
  EXPECT_EQ(st_.FileList[1], hou + "\x8f\x91.pdf");  // 書 (U+66F8) before 表 (U+8868)
  EXPECT_EQ(st_.FileList[2], hou + "\x95\x5c.pdf");
  EXPECT_EQ(st_.FileList[3], "logs/a.csv");
  EXPECT_EQ(st_.FileList[4], "logs/b.csv");
  EXPECT_EQ(st_.FileExpansions.size(), 2u);
  ASSERT_EQ(st_.TextNotices.size(), 1u);
  EXPECT_NE(st_.TextNotices[0].find("1 file name(s)"), std::string::npos);
  ReadOk(Lines({"bin logs/?.csv |mail r@x"}));
  EXPECT_EQ(st_.FileCount, 2);
  ReadOk(Lines({"#MUL=logs/b*"}));
  EXPECT_EQ(st_.FileCount, 1);
  EXPECT_EQ(st_.FileExpansions, std::vector<std::string>{"\"logs/b*\" -> logs/b.csv"});

  for (int k = 0; k < 10; ++k) WriteNamed("logs/n" + std::to_string(k) + ".csv", "x");
  ExpectBad(Read(Lines({"#ATT=logs/*.csv"})), "command.txt line 1: \"#ATT\" lists 12 files");
  ExpectBad(Read(Lines({"bin logs/n*.csv,x |mail r@x"})),
            "command.txt line 1: \"bin \" lists 11 files");
  const Status none = Read(Lines({"#ATT=a.txt,logs/*.pdf"}));
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->kind, FailureKind::InputMissing);
  EXPECT_EQ(none->message, "no file matches \"logs/*.pdf\"");

  // A UTF-8 command file matches and lists the names in UTF-8.
  ReadOk("\xef\xbb\xbf#ATT=\xe5\xa0\xb1\xe5\x91\x8a?.pdf\r\n");  // 報告?.pdf
  ASSERT_EQ(st_.FileCount, 2);
  EXPECT_EQ(st_.FileList[1], "\xe5\xa0\xb1\xe5\x91\x8a\xe6\x9b\xb8.pdf");  // 報告書.pdf
  EXPECT_EQ(st_.FileList[2], "\xe5\xa0\xb1\xe5\x91\x8a\xe8\xa1\xa8.pdf");  // 報告表.pdf
}

TEST_F(CommandFileTest, ControlBytesInAddressesAreRefused) {
  using namespace std::string_literals;
  auto fresh = [&](const std::string& bytes) {
    st_ = RunState{};
    st_.FromAddr = "DummySender";
    return Read(bytes);
  };
  ExpectBad(fresh(Lines({"#FRO=a\x01"
                         "b@x",
                         "#TO=c@x"})),
            "command.txt line 1: the sender holds the control byte 0x01");
  ExpectBad(fresh(Lines({"#TO=ok@x, b\tad@x"})),
            "command.txt line 1: recipient 2 holds the control byte 0x09");
  ExpectBad(fresh(Lines({"mail a@x"s + '\0' + "b"})),
            "command.txt line 1: recipient 1 holds the control byte 0x00");
  ExpectBad(fresh(Lines({"#TO=a@x\x1b[2J"})),
            "command.txt line 1: recipient 1 holds the control byte 0x1B");
  // Display names with Japanese text are fine.
  st_ = RunState{};
  ReadOk(Lines({"#FRO=\x91\x97\x90\x4D <s@x>", "#TO=\x95\x5C <t@x>"}));
}

// Domains not in ASCII (例え.jp) go out as A-labels, in the envelope and the
// head alike; a local part not in ASCII (山田) is kept for SMTPUTF8, which
// the plain session cannot ask for; a refused domain stops the reading.
TEST_F(CommandFileTest, InternationalAddresses) {
  const std::string rei = "\x97\xE1\x82\xA6";
  const std::string yamada = "\x8E\x52\x93\x63";
  const struct {
    std::string text;
    std::string bad;  // the failure's first words; empty: read
    std::string from = "", to1 = "", to2 = "", replyTo = "", smtpUtf8 = "";
  } cases[] = {
      {Lines({"#FRO=a@" + rei + ".jp", "#TO=\x95\x5C <b@" + rei + ".jp>", "#CC=c@" + rei + ".JP",
              "", "Reply-To: d@" + rei + ".jp"}),
       "", "a@xn--r8jz45g.jp", "\x95\x5C <b@xn--r8jz45g.jp>", "c@xn--r8jz45g.jp",
       "Reply-To: d@xn--r8jz45g.jp\r\n", ""},
      {Lines({"#SEC=starttls", "#FRO=a@example.jp", "mail " + yamada + "@" + rei + ".jp"}), "",
       "a@example.jp", yamada + "@xn--r8jz45g.jp", "", "", yamada + "@" + rei + ".jp"},
      {Lines({"#FRO=a@example.jp", "mail " + yamada + "@example.jp"}),
       "command.txt: the address \"" + yamada + "@example.jp\" needs SMTPUTF8"},
      {Lines({"#VIA=gmail", "#USR=a@example.jp", "#OAU=google", "#OID=c",
              "mail " + yamada + "@example.jp"}),
       "command.txt: the address \"" + yamada +
           "@example.jp\" needs SMTPUTF8, which the mail APIs"},
      {Lines({"#FRO=a@example.jp", "#TO=b@" + rei + "." + std::string(64, 'a')}),
       "command.txt line 2: the domain \"" + rei + "." + std::string(64, 'a') + "\" is no valid"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    st_ = RunState{};
    st_.FromAddr = "DummySender";
    const Status status = Read(c.text);
    if (!c.bad.empty()) {
      ExpectBad(status, c.bad);
      continue;
    }
    ASSERT_FALSE(status.has_value()) << status->message;
    EXPECT_EQ(st_.FromAddr, c.from);
    EXPECT_EQ(st_.ToAddr[1], c.to1);
    EXPECT_EQ(st_.ToAddr[2], c.to2);
    EXPECT_EQ(st_.ReplyToLine, c.replyTo);
    EXPECT_EQ(st_.SmtpUtf8Address, c.smtpUtf8);
  }
}

// Envelope order To, Cc, Bcc; 表 (0x95 0x5C) in a display name is no comma.
TEST_F(CommandFileTest, CopyRecipientsAndRetries) {
  auto fresh = [&](const std::string& bytes) {
    st_ = RunState{};
    st_.FromAddr = "DummySender";
    return Read(bytes);
  };
  ASSERT_FALSE(fresh(
      Lines({"#TO=t@x", "#CC = \x95\x5C <c1@x>, ,c2@x,", "#BCC =b@x", "#RTY= 3 , 10 ", "body"})));
  EXPECT_EQ(st_.CcList, "\x95\x5C <c1@x>, ,c2@x,");
  ASSERT_EQ(st_.ToCount, 4);
  EXPECT_EQ(st_.ToAddr[2], "\x95\x5C <c1@x>");
  EXPECT_EQ(st_.ToAddr[3], "c2@x");
  EXPECT_EQ(st_.ToAddr[4], "b@x");
  EXPECT_EQ(st_.CcCount, 2);
  EXPECT_EQ(st_.BccCount, 1);
  EXPECT_TRUE(st_.RetryOn);
  EXPECT_EQ(st_.RetryCount, 3);
  EXPECT_EQ(st_.RetryMinutes, 10);
  ASSERT_FALSE(fresh(Lines({"#CC=c@x", "#TO=t@x"})));  // the lists come together at the end
  EXPECT_EQ(st_.ToAddr[1], "t@x");
  EXPECT_EQ(st_.ToAddr[2], "c@x");
  ASSERT_FALSE(fresh(Lines({"#TO=t@x", "#RTY=0,1"})));
  EXPECT_TRUE(st_.RetryOn);
  EXPECT_EQ(st_.RetryCount, 0);
  EXPECT_FALSE(st_.QueueLine);
  EXPECT_EQ(st_.QueueDays, 7);
  ASSERT_FALSE(fresh(Lines({"#TO=t@x", "#QUE= 365 "})));
  EXPECT_TRUE(st_.QueueLine);
  EXPECT_EQ(st_.QueueDays, 365);
  ASSERT_FALSE(fresh(Lines({"#TO=t@x", "#QUE=0"})));
  EXPECT_EQ(st_.QueueDays, 0);

  std::string list = "1@x";
  for (int i = 2; i <= 50; ++i) list += "," + std::to_string(i) + "@x";
  const struct {
    std::vector<std::string> lines;
    const char* error;
  } bad[] = {
      {{"#TO=" + list, "#CC=" + list, "#BCC=z@x"}, "command.txt line 3: 101 recipients"},
      {{"#CC c@x"}, "command.txt line 1: \"#CC\" line has no \"=\""},
      {{"#TO=t@x", "#BCC=ok@x,b\x01@x"},
       "command.txt line 2: Bcc recipient 2 holds the control byte 0x01"},
      {{"#CC=\x1b@x"}, "command.txt line 1: Cc recipient 1 holds the control byte 0x1B"},
      {{"#RTY=3"}, "command.txt line 1: \"#RTY\" value \"3\""},
      {{"#RTY=3,0"}, "command.txt line 1: \"#RTY\" value"},
      {{"#RTY=101,5"}, "command.txt line 1: \"#RTY\" value"},
      {{"#RTY=-1,5"}, "command.txt line 1: \"#RTY\" value"},
      {{"#RTY=1,1441"}, "command.txt line 1: \"#RTY\" value"},
      {{"#QUE=366"}, "command.txt line 1: \"#QUE\" value \"366\" is not a number of days"},
      {{"#QUE=-1"}, "command.txt line 1: \"#QUE\" value"},
      {{"#QUE=7d"}, "command.txt line 1: \"#QUE\" value"},
      {{"#QUE="}, "command.txt line 1: \"#QUE\" value"},
  };
  for (const auto& c : bad) {
    std::string text;
    for (const std::string& line : c.lines) text += line + "\r\n";
    ExpectBad(fresh(text), c.error);
  }
}

TEST_F(CommandFileTest, MissingFiles) {
  Status status = ReadCommandFile(st_, fx_, *files_);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->kind, FailureKind::InputMissing);
  EXPECT_EQ(status->message.rfind("cannot read command.txt: ", 0), 0u) << status->message;
  // The text file of "#TEX" or "cat " is read at once; reading stops there.
  ASSERT_TRUE(Read(Lines({"#TEX=absent.txt", "#HOS=late", "body"})).has_value());
  EXPECT_TRUE(fx_.calls.empty());
  EXPECT_EQ(st_.BodyText, "");
  ASSERT_TRUE(Read(Lines({"cat absent.txt |mail r@x"})).has_value());
  std::vector<fs::path> left;  // nothing created or removed
  for (const auto& entry : fs::directory_iterator(dir_)) left.push_back(entry.path().filename());
  EXPECT_EQ(left, std::vector<fs::path>{kCommandFileName});
  fs::remove(dir_ / kCommandFileName);
  fs::create_directory(dir_ / kCommandFileName);
  status = ReadCommandFile(st_, fx_, *files_);
  ASSERT_TRUE(status.has_value());
  EXPECT_EQ(status->kind, FailureKind::InputMissing);
}

TEST_F(CommandFileTest, HostLists) {
  const struct {
    const char* line;
    std::string host;  // the one connected to first, as the socket is told
    std::vector<std::string> hosts;
  } good[] = {
      // One name stays as written (ValueAfter's trimming only).
      {"#HOS=mail.example.jp", "mail.example.jp", {}},
      {"#HOS =  mail.example.jp ", "mail.example.jp", {}},
      {"#HOS=primary.example.jp, backup.example.jp",
       "primary.example.jp",
       {"primary.example.jp", "backup.example.jp"}},
      {"#HOS=a.example ,b.example,  c.example",
       "a.example",
       {"a.example", "b.example", "c.example"}},
      // A trail byte 0x5C or 0x7C (表, ソ) is no separator and no space.
      {"#HOS=\x95\x5C.example.jp, \x83\x5C\x83\x7C.example.jp",
       "\x95\x5C.example.jp",
       {"\x95\x5C.example.jp", "\x83\x5C\x83\x7C.example.jp"}},
  };
  for (const auto& c : good) {
    SCOPED_TRACE(c.line);
    st_ = RunState{};
    fx_ = EffectRecorder{};
    ReadOk(Lines({c.line, "#TO=t@x", "", "body"}));
    EXPECT_EQ(st_.Submit.host, c.host);
    EXPECT_EQ(st_.Submit.hosts, c.hosts);
    EXPECT_EQ(fx_.calls, std::vector<std::string>{"host:" + c.host});
  }
  for (const char* line :
       {"#HOS=a.example,", "#HOS=a.example, ,b.example", "#HOS=, b.example", "#HOS=,"}) {
    SCOPED_TRACE(line);
    st_ = RunState{};
    ExpectBad(Read(Lines({"#TO=t@x", line})),
              "command.txt line 2: \"#HOS\" lists an empty host name");
  }
}

}  // namespace
}  // namespace tolvex
