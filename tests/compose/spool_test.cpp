// The spool: the message written once, in blocks, into a new file that
// replaces TEMP.TXT; the Base64 text of attachments across block
// boundaries exactly as the whole file encoded at once; the wire form read
// from the spool; and failures part-way that leave the previous TEMP.TXT.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "base/mail_data.hpp"
#include "compose/message.hpp"
#include "encoding/jis_convert.hpp"
#include "smtp/dot_stuffer.hpp"
#include "support/faulty_folder.hpp"
#include "test_util.hpp"

namespace tolvex {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

constexpr std::size_t kBlock = kBase64LineBytes * 19418;  // the composer's read block

std::string Random(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// The message as the wire carries it, with the transparency dots taken out
// again line by line (the test's own reading, not the stuffer's).
std::string WireUnstuffed(const MailSpool& mail) {
  IoError error;
  const std::uint64_t size = MessageSize(mail, error);
  FileSource source(mail.File(), 0, size);
  DotStuffer wire(source, size);
  std::string bytes;
  char buf[70000];
  while (!wire.Done() && !wire.Failed()) bytes.append(buf, wire.Fill(buf, sizeof buf));
  std::string out;
  bool lineStart = true;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const bool terminator = i + 3 == bytes.size();
    if (lineStart && bytes[i] == '.' && !terminator) ++i;  // the doubling dot
    out.push_back(bytes[i]);
    lineStart = i >= 1 && bytes[i - 1] == '\r' && bytes[i] == '\n';
  }
  return out;
}

class Spool : public ::testing::Test {
 protected:
  // An attachment message of the given files; returns the Base64 text of
  // each part as it stands in TEMP.TXT.
  std::vector<std::string> Compose(const std::vector<std::string>& contents) {
    st = RunState{};
    st.FromAddr = "a@example.jp";
    st.ToList = "b@example.jp";
    st.BodyText = "body\r\n";
    st.AttachFlag = true;
    st.FileCount = static_cast<std::int16_t>(contents.size());
    for (std::size_t k = 0; k < contents.size(); ++k) {
      st.FileList[k + 1] = "f" + std::to_string(k) + ".bin";
      WriteBytes(dir.path() / st.FileList[k + 1], contents[k]);
    }
    const Status status = ReadCommandFileEx(st, dir.folder());
    EXPECT_FALSE(status) << status->message;
    const std::string spool = ReadBytes(dir.path() / "TEMP.TXT");
    const std::string mail = st.MailData.Bytes();
    EXPECT_EQ(spool, mail + "\r\n");
    EXPECT_EQ(WireUnstuffed(st.MailData), mail);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "TEMP.TXT.new"));
    std::vector<std::string> parts;
    const std::string open = "Content-Transfer-Encoding: base64\r\n\r\n";
    for (std::size_t at = mail.find(open); at != std::string::npos; at = mail.find(open, at)) {
      at += open.size();
      const std::size_t end = mail.find("\r\n--BoUnDaRy_StRiNg_Ich_Liebe_Dich", at);
      parts.push_back(mail.substr(at, end - at));
    }
    return parts;
  }

  TempDir dir;
  RunState st;
};

TEST_F(Spool, AttachmentsAtLineAndBlockBoundariesMatchTheWholeFileEncoding) {
  for (std::size_t n : {std::size_t{0}, std::size_t{1}, std::size_t{53}, std::size_t{54},
                        std::size_t{55}, std::size_t{108}, kBlock - 54, kBlock - 1, kBlock,
                        kBlock + 1, kBlock + 54, 2 * kBlock + 17}) {
    const std::string bytes = Random(n, static_cast<unsigned>(n));
    std::string whole;
    AppendBase64Lines(bytes, whole);
    const std::vector<std::string> parts = Compose({bytes});
    ASSERT_EQ(parts.size(), 1u) << n;
    EXPECT_TRUE(parts[0] == whole) << "size " << n;
  }
}

TEST_F(Spool, TwoAttachmentsAroundABlockBoundary) {
  const std::string a = Random(kBlock + 1, 1);
  const std::string b = Random(kBlock - 1, 2);
  std::string wa, wb;
  AppendBase64Lines(a, wa);
  AppendBase64Lines(b, wb);
  const std::vector<std::string> parts = Compose({a, b});
  ASSERT_EQ(parts.size(), 2u);
  EXPECT_TRUE(parts[0] == wa);
  EXPECT_TRUE(parts[1] == wb);
}

// A deterministic byte stream, eight bytes per step (splitmix64).
class Stream {
 public:
  explicit Stream(std::uint64_t seed) : x_(seed) {}
  void Fill(char* out, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      if (left_ == 0) {
        std::uint64_t z = (x_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        word_ = z ^ (z >> 31);
        left_ = 8;
      }
      out[i] = static_cast<char>(word_ >> (8 * --left_));
    }
  }

 private:
  std::uint64_t x_;
  std::uint64_t word_ = 0;
  int left_ = 0;
};

// 300 MiB through the spool, checked while streaming: the test never holds
// the file, the text or the message whole.
TEST_F(Spool, LargeAttachmentIsCheckedAsItStreams) {
  constexpr std::uint64_t kSize = 300ull * 1024 * 1024 + 7;
  {
    std::ofstream out(dir.path() / "big.bin", std::ios::binary);
    Stream source(42);
    std::vector<char> chunk(1 << 20);
    for (std::uint64_t left = kSize; left > 0;) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left, chunk.size()));
      source.Fill(chunk.data(), n);
      out.write(chunk.data(), static_cast<std::streamsize>(n));
      left -= n;
    }
  }
  st.FromAddr = "a@example.jp";
  st.ToList = "b@example.jp";
  st.AttachFlag = true;
  st.FileCount = 1;
  st.FileList[1] = "big.bin";
  ASSERT_FALSE(ReadCommandFileEx(st, dir.folder()));
  std::filesystem::remove(dir.path() / "big.bin");

  std::ifstream in(dir.path() / "TEMP.TXT", std::ios::binary);
  std::string line;
  while (std::getline(in, line) && line != "Content-Transfer-Encoding: base64\r") {
  }
  ASSERT_TRUE(std::getline(in, line));
  ASSERT_EQ(line, "\r");
  Stream expected(42);
  std::vector<char> want(54);
  std::uint64_t decoded = 0;
  while (decoded < kSize && std::getline(in, line)) {
    ASSERT_FALSE(line.empty());
    ASSERT_EQ(line.back(), '\r');
    line.pop_back();
    const std::string bytes = testing::DecodeBase64(line);
    const std::size_t n = std::min<std::uint64_t>(54, kSize - decoded);
    ASSERT_EQ(line.size(), n == 54 ? 72u : (n + 2) / 3 * 4) << "at " << decoded;
    ASSERT_EQ(bytes.size(), n);
    expected.Fill(want.data(), n);
    ASSERT_EQ(bytes, std::string(want.data(), n)) << "at " << decoded;
    decoded += n;
  }
  EXPECT_EQ(decoded, kSize);
  std::string rest((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(rest, "--BoUnDaRy_StRiNg_Ich_Liebe_Dich--\r\n.\r\n\r\n");
  EXPECT_EQ(st.MailData.Size() + 2, std::filesystem::file_size(dir.path() / "TEMP.TXT"));
}

class SpoolFailure : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteBytes(dir.path() / "TEMP.TXT", "previous send\r\n");
    st.FromAddr = "a@example.jp";
    st.ToList = "b@example.jp";
    st.AttachFlag = true;
    st.FileCount = 4;
    for (int k = 1; k <= 4; ++k) {
      st.FileList[k] = std::string(1, static_cast<char>('a' + k - 1)) + ".bin";
      WriteBytes(dir.path() / st.FileList[k], Random(3 * kBlock, static_cast<unsigned>(k)));
    }
  }
  Status ComposeWith(int failAt, const std::string& onlyName) {
    files = std::make_unique<test::FaultyFolder>(
        std::make_unique<posix::PosixWorkFolder>(dir.path()), failAt, onlyName);
    return ReadCommandFileEx(st, *files);
  }
  void ExpectPreviousSpoolKept() {
    EXPECT_EQ(ReadBytes(dir.path() / "TEMP.TXT"), "previous send\r\n");
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "TEMP.TXT.new"));
    EXPECT_TRUE(st.MailData.Empty());
    EXPECT_TRUE(files->Injected());
  }

  TempDir dir;
  RunState st;
  std::unique_ptr<test::FaultyFolder> files;
};

TEST_F(SpoolFailure, ThirdOfFourAttachmentsFailingPartWay) {
  // c.bin: opened (1), first block read (2), second block read fails (3).
  const Status status = ComposeWith(3, "c.bin");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->kind, FailureKind::InputMissing);
  EXPECT_EQ(status->message, "cannot read attachment \"c.bin\": injected failure");
  ExpectPreviousSpoolKept();
}

TEST_F(SpoolFailure, FullDiskOnTheNewSpool) {
  for (int n = 1; n <= 8; ++n) {
    const Status status = ComposeWith(n, "TEMP.TXT.new");
    ASSERT_TRUE(status) << n;
    EXPECT_EQ(status->kind, FailureKind::SpoolWriteFailed) << n;
    ExpectPreviousSpoolKept();
  }
}

TEST_F(SpoolFailure, RenameRefused) {
  // The new spool is created, written and reopened; the rename is refused.
  files = std::make_unique<test::FaultyFolder>(std::make_unique<posix::PosixWorkFolder>(dir.path()),
                                               0, "TEMP.TXT.new");
  ASSERT_FALSE(ReadCommandFileEx(st, *files));
  const int operations = files->Count();  // ending with the rename
  WriteBytes(dir.path() / "TEMP.TXT", "previous send\r\n");
  const Status status = ComposeWith(operations, "TEMP.TXT.new");
  ASSERT_TRUE(status);
  EXPECT_EQ(status->kind, FailureKind::SpoolWriteFailed);
  ExpectPreviousSpoolKept();
}

}  // namespace
}  // namespace tolvex
