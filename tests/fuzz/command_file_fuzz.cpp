// The command-file interpreter over an in-memory work folder, then the
// composition of the message it describes. Input: the bytes of command.txt,
// then any number of files, each introduced by a line "\n@@@@ name\n"
// (a text file, an attachment or a part file the command file may name).
#include <algorithm>
#include <cstdint>
#include <string>

#include "base/sjis_text.hpp"
#include "command/command_file.hpp"
#include "compose/address_list.hpp"
#include "compose/message.hpp"
#include "fuzz_check.hpp"
#include "support/memory_folder.hpp"

using namespace tolvex;
using tolvex::fuzz::Escaped;

namespace {

bool IsTrimmed(std::string_view s) { return s.empty() || (s.front() != ' ' && s.back() != ' '); }

// Bytes ISO-2022-JP text carries: 7-bit text without NUL, and half-width
// katakana (0xA1-0xDF), which the converter passes through.
bool IsJisText(std::string_view s) {
  for (char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b == 0 || (b >= 0x80 && (b < 0xA1 || b > 0xDF))) return false;
  }
  return true;
}

bool IsSevenBit(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

void CheckRunState(const RunState& st, const test::MemoryFolder& folder) {
  FUZZ_CHECK(st.ToCount >= 1 && st.ToCount <= kMaxRecipients, std::to_string(st.ToCount));
  FUZZ_CHECK(st.FileCount >= 0 && st.FileCount <= kMaxFiles, std::to_string(st.FileCount));
  for (int k = 1; k <= st.ToCount; ++k) {
    const std::string& to = st.ToAddr[static_cast<std::size_t>(k)];
    FUZZ_CHECK(IsTrimmed(to), Escaped(to));
    // A comma stands only inside a quoted display name.
    FUZZ_CHECK(AddressListEntries(to, st.Charset).size() == 1, Escaped(to));
  }
  for (int k = 1; k <= st.FileCount; ++k) {
    const std::string& name = st.FileList[static_cast<std::size_t>(k)];
    FUZZ_CHECK(sjis::FindChar(name, ',') == sjis::npos, Escaped(name));
  }
  // ISO-2022-JP text, or Base64 lines in the UTF-8 form.
  const bool utf8 = st.Charset == MessageCharset::Utf8;
  FUZZ_CHECK(utf8 ? IsSevenBit(st.BodyText) : IsJisText(st.BodyText), Escaped(st.BodyText));
  FUZZ_CHECK(utf8 ? st.TextFileData.empty() : IsJisText(st.TextFileData), Escaped(st.TextFileData));
  // Addresses themselves are written as given (one holding non-ASCII would
  // need SMTPUTF8); everything else in the head is 7-bit.
  FUZZ_CHECK(!utf8 || IsSevenBit(st.SubjectLine), Escaped(st.SubjectLine));
  FUZZ_CHECK(IsTrimmed(st.FormMode) && IsTrimmed(st.LocalName) && IsTrimmed(st.FromAddr),
             Escaped(st.FormMode + "|" + st.LocalName + "|" + st.FromAddr));
  if (!st.SubjectLine.empty()) {
    FUZZ_CHECK(st.SubjectLine.starts_with("Subject: ") && st.SubjectLine.ends_with("\r\n"),
               Escaped(st.SubjectLine));
    FUZZ_CHECK(IsSevenBit(st.SubjectLine), Escaped(st.SubjectLine));
  }
  if (!st.ReplyToLine.empty()) {
    FUZZ_CHECK(st.ReplyToLine.starts_with("Reply-To: ") && st.ReplyToLine.ends_with("\r\n"),
               Escaped(st.ReplyToLine));
  }
  if (!st.TextFileData.empty()) {
    // Read by the text-file rule and converted like the body: at most five
    // bytes for each byte of its file (one LF for each line ended by a CR
    // alone, a last CR LF), and the escape back to one-byte text.
    std::size_t largest = 0;
    for (const auto& [name, bytes] : folder.files) {
      std::size_t loneCrs = 0;
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n')) ++loneCrs;
      }
      largest = std::max(largest, 5 * (bytes.size() + loneCrs + 2) + 3);
    }
    FUZZ_CHECK(st.TextFileData.size() <= largest, Escaped(st.TextFileData));
    FUZZ_CHECK(IsTrimmed(st.TextFileData), Escaped(st.TextFileData));
  }
}

void CheckFailure(const Failure& failure) {
  FUZZ_CHECK(
      failure.kind == FailureKind::CommandFileBad || failure.kind == FailureKind::InputMissing,
      failure.message);
  FUZZ_CHECK(!failure.message.empty(), "empty failure message");
  FUZZ_CHECK(failure.message.find_first_of("\r\n") == std::string::npos, Escaped(failure.message));
}

// The message the run state describes, composed in memory.
void CheckMessage(RunState& st, test::MemoryFolder& folder) {
  std::string message;
  StringWriter out(message);
  const Status status = ComposeMessage(st, folder, out);
  FUZZ_CHECK(out.Written() == message.size(), std::to_string(out.Written()));
  if (status) {
    // Only a file that is missing can stop it here; nothing else fails.
    FUZZ_CHECK(status->kind == FailureKind::InputMissing, status->message);
    return;
  }
  FUZZ_CHECK(message.ends_with("\r\n.\r\n"),
             Escaped(message.substr(message.size() - std::min<std::size_t>(message.size(), 40))));
  const std::string head = st.SubjectLine + st.ReplyToLine + AddField(st) + "MIME-Version: 1.0\r\n";
  FUZZ_CHECK(message.starts_with(head), Escaped(message.substr(0, head.size())));
  // Below the head no line passes 998 octets (an attachment's head lines
  // hold its name, which a real file keeps short).
  if (!st.AttachFlag) {
    std::size_t start = message.find("X-Mailer: Tolvex (by RAVONEK)\r\n");
    for (std::size_t i = start; i < message.size(); ++i) {
      if (message[i] == '\r' || message[i] == '\n') {
        start = i + 1;
        continue;
      }
      FUZZ_CHECK(i - start < kMaxLineOctets, Escaped(message.substr(start, 80)));
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<std::string_view> pieces = fuzz::Split(fuzz::AsText(data, size), "\n@@@@ ");
  test::MemoryFolder folder;
  folder.files[kCommandFileName] = std::string(pieces[0]);
  for (std::size_t k = 1; k < pieces.size(); ++k) {
    const std::size_t eol = pieces[k].find('\n');
    const std::string_view name = pieces[k].substr(0, eol);
    const std::string_view bytes =
        eol == std::string_view::npos ? std::string_view() : pieces[k].substr(eol + 1);
    folder.files[std::string(name)] = std::string(bytes);
  }
  const std::string commandFile = folder.files[kCommandFileName];

  EffectRecorder effects;
  RunState st;
  st.FromAddr = "DummySender";
  const Status status = ReadCommandFile(st, effects, folder);
  // Reading touches no file.
  FUZZ_CHECK(folder.files[kCommandFileName] == commandFile, "command.txt changed");
  FUZZ_CHECK(effects.host == st.Submit.host, Escaped(effects.host));
  if (status) {
    CheckFailure(*status);
    return 0;
  }
  CheckRunState(st, folder);
  CheckMessage(st, folder);
  return 0;
}
