// Small text functions of the helper module. Every search walks whole code
// page 932 characters (sjis helpers), so the trail byte 0x5C of 表 or 0x7C of
// 竹 never counts as a backslash or a bar.
//
// Positions are size_t byte offsets of character starts, so texts of 32767
// characters or more are handled like shorter ones: there is no length limit.
#include "compose/text_functions.hpp"

#include <vector>

#include "base/sjis_text.hpp"
#include "compose/address_list.hpp"
#include "compose/header_words.hpp"
#include "encoding/jis_convert.hpp"

namespace tolvex {

std::int16_t SplitList(FileListArray& list, std::string_view text, char delimiter) {
  std::size_t start = 0;
  std::int16_t k = 1;
  for (;;) {
    std::size_t end = sjis::FindChar(text, delimiter, start);
    if (end == sjis::npos) end = text.size();
    list[static_cast<std::size_t>(k)].assign(text.substr(start, end - start));
    start = end + 1;                     // the delimiter is one byte
    if (start >= text.size()) return k;  // a trailing delimiter opens no entry
    if (k == kMaxFiles) return k;
    ++k;
  }
}

std::string ValueAfter(std::string_view text, char key) {
  std::size_t p = sjis::FindChar(text, key);
  std::string_view rest = p == sjis::npos ? text : text.substr(p + 1);
  return std::string(sjis::Trim(rest));
}

namespace {

constexpr std::string_view kSubjectPrefix = "Subject: ";

// JIS bytes whose Base64 still fits one 72-character line.
constexpr std::size_t kSingleWordJisBytes = 54;
// A folded word: 42 JIS bytes give 56 Base64 characters, an encoded word of
// 74 characters, so a continuation line (one blank + word) stays within 76.
constexpr std::size_t kWordJisBytes = 42;
// The first word shares its line with "Subject: " (9 characters): 36 bytes
// give 48 Base64 characters, a line of 9 + 66 = 75 characters.
constexpr std::size_t kFirstWordJisBytes = 36;

}  // namespace

std::string EncodeSubjectLine(std::string_view line) {
  std::string jis = SjisToJis(sjis::DropChars(line, kSubjectPrefix.size()));
  std::string out(kSubjectPrefix);
  if (jis.size() <= kSingleWordJisBytes) return out.append(EncodedWord(jis));
  // Too long for one encoded word on one line: fold into several words, one
  // per line, continuation lines starting with a blank.
  const std::vector<std::string> pieces = SplitJisWords(jis, kFirstWordJisBytes, kWordJisBytes);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out.append("\r\n ");
    out.append(EncodedWord(pieces[i]));
  }
  return out;
}

std::string AngleAddress(std::string_view text, MessageCharset charset) {
  // A quoted display name may hold "<" (and ">"): read as mail readers do.
  if (HasQuotedString(text, charset)) return std::string(QuotedEntryAddress(text, charset));
  std::size_t p = sjis::FindChar(text, '<');
  if (p == sjis::npos) return std::string(text);
  std::string_view rest = text.substr(p + 1);
  std::size_t n = sjis::CharCount(rest);
  // The last character of the text is dropped whatever it is; a text whose
  // first "<" is its last character gives "".
  if (n == 0) return std::string();
  return std::string(sjis::LeftChars(rest, n - 1));
}

std::string FileNameFromPath(std::string_view path) {
  constexpr int kMaxSeparators = 10;
  std::size_t start = 0;
  for (int i = 0; i < kMaxSeparators; ++i) {
    std::size_t p = sjis::FindChar(path, '\\', start);
    if (p == sjis::npos) break;
    start = p + 1;
  }
  // "/" separates on both platforms too (a Linux path, or a Windows path
  // written with slashes).
  for (std::size_t p = sjis::FindChar(path, '/', start); p != sjis::npos;
       p = sjis::FindChar(path, '/', start)) {
    start = p + 1;
  }
  return std::string(path.substr(start));
}

}  // namespace tolvex
