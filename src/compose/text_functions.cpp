// Small text functions of the helper module. Every search walks whole code
// page 932 characters (sjis helpers), so the trail byte 0x5C of 表 or 0x7C of
// 竹 never counts as a backslash or a bar.
//
// Positions are size_t byte offsets of character starts, so texts of 32767
// characters or more are handled like shorter ones: there is no length limit.
#include "compose/text_functions.hpp"

#include <vector>

#include "encoding/jis_convert.hpp"
#include "base/sjis_text.hpp"

namespace tolvex {

std::int16_t SplitList(FileListArray& list, std::string_view text, char delimiter) {
  std::size_t start = 0;
  std::int16_t k = 1;
  for (;;) {
    std::size_t end = sjis::FindChar(text, delimiter, start);
    if (end == sjis::npos) end = text.size();
    list[static_cast<std::size_t>(k)].assign(text.substr(start, end - start));
    start = end + 1;  // the delimiter is one byte
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
constexpr std::string_view kWordOpen = "=?ISO-2022-JP?B?";
constexpr std::string_view kWordClose = "?=";
constexpr std::string_view kEnterKanji = "\x1B$B";
constexpr std::string_view kEnterRoman = "\x1B(J";
constexpr std::size_t kEscapeLen = 3;

// JIS bytes whose Base64 still fits one 72-character line.
constexpr std::size_t kSingleWordJisBytes = 54;
// A folded word: 42 JIS bytes give 56 Base64 characters, an encoded word of
// 74 characters, so a continuation line (one blank + word) stays within 76.
constexpr std::size_t kWordJisBytes = 42;
// The first word shares its line with "Subject: " (9 characters): 36 bytes
// give 48 Base64 characters, a line of 9 + 66 = 75 characters.
constexpr std::size_t kFirstWordJisBytes = 36;

// One character of an ISO-2022-JP stream: its bytes and whether it is a
// two-byte JIS X 0208 character.
struct JisChar {
  std::string_view bytes;
  bool kanji;
};

// Walks the converted stream, consuming the escape sequences and tracking the
// shift state they set. An ESC that starts no known sequence is a one-byte
// character like any other.
std::vector<JisChar> SplitJisChars(std::string_view jis) {
  std::vector<JisChar> chars;
  chars.reserve(jis.size());
  bool kanji = false;
  std::size_t i = 0;
  while (i < jis.size()) {
    if (jis[i] == '\x1B' && i + 2 < jis.size()) {
      char a = jis[i + 1];
      char b = jis[i + 2];
      if (a == '$' && (b == 'B' || b == '@')) {
        kanji = true;
        i += kEscapeLen;
        continue;
      }
      if (a == '(' && (b == 'J' || b == 'B')) {
        kanji = false;
        i += kEscapeLen;
        continue;
      }
    }
    std::size_t len = kanji && i + 1 < jis.size() ? 2 : 1;
    chars.push_back({jis.substr(i, len), kanji && len == 2});
    i += len;
  }
  return chars;
}

// Splits the stream into self-contained pieces: each starts in the one-byte
// state (opening with ESC $ B when its first character is two-byte) and
// returns to it (ESC ( J) when it ends in Kanji, so every encoded word
// decodes on its own.
std::vector<std::string> FoldJis(std::string_view jis) {
  std::vector<std::string> pieces;
  std::string piece;
  bool kanji = false;
  std::size_t limit = kFirstWordJisBytes;
  auto close = [&] {
    if (kanji) piece.append(kEnterRoman);
    pieces.push_back(std::move(piece));
    piece.clear();
    kanji = false;
    limit = kWordJisBytes;
  };
  for (const JisChar& c : SplitJisChars(jis)) {
    auto need = [&] {
      std::size_t n = c.bytes.size();
      if (c.kanji != kanji) n += kEscapeLen;
      if (c.kanji) n += kEscapeLen;  // room for the closing ESC ( J
      return n;
    };
    if (!piece.empty() && piece.size() + need() > limit) close();
    if (c.kanji != kanji) {
      piece.append(c.kanji ? kEnterKanji : kEnterRoman);
      kanji = c.kanji;
    }
    piece.append(c.bytes);
  }
  if (!piece.empty()) close();
  return pieces;
}

}  // namespace

std::string EncodeSubjectLine(std::string_view line) {
  std::string jis = SjisToJis(sjis::DropChars(line, kSubjectPrefix.size()));
  std::string out;
  if (jis.size() <= kSingleWordJisBytes) {
    std::string b64 = EncodeBase64(jis);
    out.reserve(kSubjectPrefix.size() + kWordOpen.size() + b64.size() + kWordClose.size());
    out.append(kSubjectPrefix).append(kWordOpen).append(b64).append(kWordClose);
    return out;
  }
  // Too long for one encoded word on one line: fold into several words, one
  // per line, continuation lines starting with a blank.
  std::vector<std::string> pieces = FoldJis(jis);
  std::vector<std::string> words;
  words.reserve(pieces.size());
  std::size_t total = kSubjectPrefix.size();
  for (const std::string& p : pieces) {
    words.push_back(EncodeBase64(p));
    total += 3 + kWordOpen.size() + words.back().size() + kWordClose.size();
  }
  out.reserve(total);
  out.append(kSubjectPrefix);
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (i > 0) out.append("\r\n ");
    out.append(kWordOpen).append(words[i]).append(kWordClose);
  }
  return out;
}

std::string AngleAddress(std::string_view text) {
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
  return std::string(path.substr(start));
}

}  // namespace tolvex
