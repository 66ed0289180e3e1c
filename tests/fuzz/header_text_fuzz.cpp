// The header encoders and the small text functions on arbitrary text (one
// line of a command file: no CR or LF): the Subject line, an address field,
// an attachment's Content-Type lines, or ValueAfter, SplitList, AngleAddress
// and FileNameFromPath, as the input's first byte chooses.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "base/sjis_text.hpp"
#include "compose/address_list.hpp"
#include "compose/attachment_head.hpp"
#include "compose/header_words.hpp"
#include "compose/text_functions.hpp"
#include "encoding/jis_convert.hpp"
#include "encoding/jis_decode.hpp"
#include "fuzz_check.hpp"

using namespace tolvex;
using tolvex::fuzz::Escaped;

namespace {

constexpr std::string_view kOpen = "=?ISO-2022-JP?B?";
constexpr std::string_view kClose = "?=";

std::vector<std::string_view> Lines(std::string_view text) { return fuzz::Split(text, "\r\n"); }

// The characters of ISO-2022-JP text, escapes consumed as the encoder
// reads them, each written as 'K' (two-byte) or 'A' and its bytes.
std::string JisChars(std::string_view jis) {
  std::string chars;
  bool kanji = false;
  for (std::size_t i = 0; i < jis.size();) {
    if (jis[i] == '\x1B' && i + 2 < jis.size()) {
      const std::string_view seq = jis.substr(i + 1, 2);
      if (seq == "$B" || seq == "$@" || seq == "(J" || seq == "(B") {
        kanji = seq[0] == '$';
        i += 3;
        continue;
      }
    }
    const std::size_t len = kanji && i + 1 < jis.size() ? 2 : 1;
    chars.push_back(len == 2 ? 'K' : 'A');
    chars.append(jis.substr(i, len));
    i += len;
  }
  return chars;
}

// One encoded word's text: the word's frame and Base64 that decodes.
std::string CheckedWordText(std::string_view word, std::string_view context) {
  FUZZ_CHECK(word.starts_with(kOpen) && word.ends_with(kClose), Escaped(context));
  const std::string_view b64 =
      word.substr(kOpen.size(), word.size() - kOpen.size() - kClose.size());
  const std::optional<std::string> jis = DecodeBase64(b64);
  FUZZ_CHECK(jis.has_value(), Escaped(context));
  return *jis;
}

// Read as the encoder reads it, the text ends in the one-byte state.
void CheckSelfContained(const std::string& jis, std::string_view context) {
  bool kanji = false;
  for (std::size_t i = 0; i < jis.size();) {
    if (jis[i] == '\x1B' && i + 2 < jis.size()) {
      const std::string_view seq = std::string_view(jis).substr(i + 1, 2);
      if (seq == "$B" || seq == "$@" || seq == "(J" || seq == "(B") {
        kanji = seq[0] == '$';
        i += 3;
        continue;
      }
    }
    i += kanji && i + 1 < jis.size() ? 2 : 1;
  }
  FUZZ_CHECK(!kanji,
             "word ends in the two-byte state: " + Escaped(jis) + " in " + Escaped(context));
}

// The encoded words of a text, in order.
std::vector<std::string_view> WordsIn(std::string_view text) {
  std::vector<std::string_view> words;
  for (std::size_t at = text.find(kOpen); at != std::string_view::npos; at = text.find(kOpen, at)) {
    const std::size_t end = text.find(kClose, at + kOpen.size());
    if (end == std::string_view::npos) break;
    words.push_back(text.substr(at, end + kClose.size() - at));
    at = end + kClose.size();
  }
  return words;
}

void CheckSubject(std::string_view subject) {
  const std::string line = EncodeSubjectLine("Subject: " + std::string(subject));
  const std::string jis = SjisToJis(subject);
  const std::vector<std::string_view> lines = Lines(line);
  FUZZ_CHECK(lines[0].starts_with("Subject: "), Escaped(line));
  if (lines.size() == 1) {
    // One word: its Base64 fits one 72-character line, the text unchanged.
    const std::string_view word = lines[0].substr(9);
    FUZZ_CHECK(word.size() <= kOpen.size() + 72 + kClose.size(), Escaped(line));
    FUZZ_CHECK(CheckedWordText(word, line) == jis, Escaped(line));
    return;
  }
  // Folded: words of at most 75 characters on lines of at most 76, each
  // decoding on its own, together the same characters.
  std::string joined;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view word = lines[i].substr(i == 0 ? 9 : 1);
    FUZZ_CHECK(i == 0 || lines[i][0] == ' ', Escaped(line));
    FUZZ_CHECK(lines[i].size() <= kFoldColumn && word.size() <= kMaxWordChars, Escaped(line));
    const std::string text = CheckedWordText(word, line);
    CheckSelfContained(text, line);
    joined += text;
  }
  FUZZ_CHECK(JisChars(joined) == JisChars(jis), Escaped(subject) + " -> " + Escaped(line));
}

// Only encoded words, blanks and commas (after the field name).
bool OnlyWords(std::string_view line) {
  std::string rest(line);
  for (std::string_view word : WordsIn(line)) {
    const std::size_t at = rest.find(word);
    rest.replace(at, word.size(), "");
  }
  return rest.find_first_not_of(" ,") == std::string::npos;
}

void CheckAddressField(std::string_view value) {
  const std::string field = EncodeAddressField("To:", value);
  if (!HasNonAscii(value)) {
    FUZZ_CHECK(field == "To: " + std::string(value), Escaped(field));
    return;
  }
  FUZZ_CHECK(field.starts_with("To: "), Escaped(field));
  // Text that looks like an encoded word stays as written and would be
  // taken for one below.
  if (value.find("=?") != std::string_view::npos) return;
  for (std::string_view word : WordsIn(field)) {
    FUZZ_CHECK(word.size() <= kMaxWordChars, Escaped(field));
    CheckSelfContained(CheckedWordText(word, field), field);
  }
  const std::vector<std::string_view> lines = Lines(field);
  // A line the encoder wrote from words, blanks and commas alone fits the
  // column. Runs of blanks in the value may push one over it, and so may
  // text glued to a word without a blank: those are not folded.
  // Empty entries ("a,,b", "a, ,b") glue their commas to the line too.
  const std::vector<std::string_view> entries = fuzz::Split(value, ",");
  const bool emptyEntry = std::any_of(entries.begin(), entries.end() - 1, [](std::string_view e) {
    return e.find_first_not_of(" \t") == std::string_view::npos;
  });
  if (value.find("  ") == std::string_view::npos && !emptyEntry) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
      const std::string_view body = i == 0 ? lines[i].substr(4) : lines[i];
      if (OnlyWords(body)) {
        FUZZ_CHECK(lines[i].size() <= kFoldColumn, "line of " + std::to_string(lines[i].size()) +
                                                       ": " + Escaped(lines[i]) + "\n  value " +
                                                       Escaped(value));
      }
    }
  }
}

void CheckAttachmentHead(std::string_view name) {
  const std::string head = AttachmentTypeLines(name);
  if (!HasNonAscii(name)) {
    // The name stays one quoted string: its quotes and backslashes escaped,
    // and then the filename* form too.
    const std::string line =
        "Content-Type: application/octet-stream; name=" + QuotedName(name) + "\r\n";
    const bool escaped = name.find_first_of("\"\\") != std::string_view::npos;
    FUZZ_CHECK(escaped ? head.starts_with(line + "Content-Disposition: attachment;") : head == line,
               Escaped(head));
    return;
  }
  FUZZ_CHECK(head.starts_with("Content-Type: application/octet-stream;") && head.ends_with("\r\n"),
             Escaped(head));
  std::vector<std::string_view> lines = Lines(head);
  lines.pop_back();  // after the final CR LF
  for (std::string_view line : lines) FUZZ_CHECK(line.size() <= kFoldColumn, Escaped(head));
  for (std::string_view word : WordsIn(head)) {
    FUZZ_CHECK(word.size() <= kMaxWordChars, Escaped(head));
    CheckSelfContained(CheckedWordText(word, head), head);
  }
}

void CheckSmallFunctions(std::string_view text) {
  const std::string value = ValueAfter(text, '=');
  FUZZ_CHECK(value.empty() || (value.front() != ' ' && value.back() != ' '), Escaped(value));
  FUZZ_CHECK(text.find(value) != std::string_view::npos, Escaped(text));

  FileListArray list{};
  const std::int16_t n = SplitList(list, text, ',');
  FUZZ_CHECK(n >= 1 && n <= kMaxFiles, std::to_string(n));
  std::string joined;
  for (int k = 1; k <= n; ++k) {
    const std::string& entry = list[static_cast<std::size_t>(k)];
    FUZZ_CHECK(sjis::FindChar(entry, ',') == sjis::npos, Escaped(entry));
    if (k > 1) joined += ',';
    joined += entry;
  }
  FUZZ_CHECK(text.starts_with(joined), Escaped(text) + " split as " + Escaped(joined));

  const std::string address = AngleAddress(text);
  const std::size_t lt = sjis::FindChar(text, '<');
  if (HasQuotedString(text, MessageCharset::Iso2022Jp)) {
    // Read as RFC 5322: from the first "<" outside quoted strings to the
    // ">" after it or the end.
    const std::size_t open = FindOutsideQuotes(text, '<', 0, MessageCharset::Iso2022Jp);
    if (open == sjis::npos) {
      FUZZ_CHECK(address == text, Escaped(text));
    } else {
      const std::size_t end = open + 1 + address.size();
      FUZZ_CHECK(text.compare(open + 1, address.size(), address) == 0 &&
                     (end == text.size() || text[end] == '>'),
                 Escaped(text) + " -> " + Escaped(address));
    }
  } else if (lt == sjis::npos) {
    FUZZ_CHECK(address == text, Escaped(text));
  } else {
    // What follows the "<" less its last character.
    const std::string_view rest = text.substr(lt + 1);
    FUZZ_CHECK(rest.starts_with(address) &&
                   sjis::CharCount(rest) == sjis::CharCount(address) + (rest.empty() ? 0 : 1),
               Escaped(text) + " -> " + Escaped(address));
  }

  const std::string file = FileNameFromPath(text);
  FUZZ_CHECK(text.ends_with(file), Escaped(text));
  std::size_t separators = 0;
  for (std::size_t at = sjis::FindChar(text, '\\'); at != sjis::npos;
       at = sjis::FindChar(text, '\\', at + 1)) {
    ++separators;
  }
  if (separators <= 10)
    FUZZ_CHECK(sjis::FindChar(file, '\\') == sjis::npos, Escaped(text) + " -> " + Escaped(file));
  FUZZ_CHECK(sjis::FindChar(file, '/') == sjis::npos, Escaped(text) + " -> " + Escaped(file));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses the function, the rest is the text. A line of
  // the command file never holds CR or LF. An ESC typed into it would be
  // copied into the encoded text as it is and read there as the start of
  // an escape sequence: the checks below would not hold, and no mail
  // reader could make sense of it either.
  std::string text(fuzz::AsText(data + 1, size - 1));
  std::erase_if(text, [](char c) { return c == '\r' || c == '\n' || c == '\x1B'; });
  switch (data[0] % 4) {
    case 0:
      CheckSubject(text);
      break;
    case 1:
      CheckAddressField(sjis::Trim(text));
      break;  // field values come trimmed
    case 2:
      CheckAttachmentHead(text);
      break;
    default:
      CheckSmallFunctions(text);
      break;
  }
  return 0;
}
