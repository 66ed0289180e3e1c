// The UTF-8 message form.
#include "compose/utf8_message.hpp"

#include <vector>

#include "compose/address_list.hpp"
#include "compose/attachment_head.hpp"
#include "compose/header_words.hpp"
#include "encoding/jis_convert.hpp"
#include "encoding/source_text.hpp"

namespace tolvex {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kWordOpen = "=?UTF-8?B?";
constexpr std::string_view kWordClose = "?=";

std::string Word(std::string_view utf8) {
  std::string out(kWordOpen);
  return out.append(EncodeBase64(utf8)).append(kWordClose);
}

// The most text bytes whose word is at most `width` characters.
std::size_t BytesForWidth(std::size_t width) {
  const std::size_t frame = kWordOpen.size() + kWordClose.size();
  return width < frame ? 0 : (width - frame) / 4 * 3;
}

// Cuts UTF-8 text into pieces of at most `first`, then `later` bytes, never
// inside a character (a piece holds one character whatever the limit).
std::vector<std::string_view> Pieces(std::string_view s, std::size_t first, std::size_t later) {
  std::vector<std::string_view> out;
  std::size_t start = 0, limit = first;
  for (std::size_t p = 0; p < s.size();) {
    const std::size_t n = utf8::CharLen(s, p);
    if (p > start && p + n - start > limit) {
      out.push_back(s.substr(start, p - start));
      start = p;
      limit = later;
    }
    p += n;
  }
  if (start < s.size()) out.push_back(s.substr(start));
  return out;
}

// Encoded words after `f`'s current column and `blanks`, each later one on
// a line of its own after a blank; `reserve` columns stay free after each.
void AppendWords(FoldedField& f, std::string_view blanks, std::string_view text,
                 std::size_t reserve) {
  const std::size_t used = std::min(kFoldColumn, f.Column() + blanks.size() + reserve);
  std::size_t first = BytesForWidth(std::min(kFoldColumn - used, kMaxWordChars));
  const std::size_t later = BytesForWidth(std::min(kFoldColumn - 1 - reserve, kMaxWordChars));
  if (first < 6 && f.Column() > 0) {  // too little room: the first word opens a line
    first = later;
    if (blanks.empty()) blanks = " ";
  }
  bool firstWord = true;
  for (std::string_view piece : Pieces(text, first, later)) {
    f.Word(firstWord ? blanks : " ", Word(piece));
    firstWord = false;
  }
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string Unquote(std::string_view s) {
  if (s.size() < 2 || s.front() != '"' || s.back() != '"') return std::string(s);
  std::string out;
  for (std::size_t i = 1; i + 1 < s.size(); ++i) {
    if (s[i] == '\\' && i + 2 < s.size()) ++i;
    out.push_back(s[i]);
  }
  return out;
}

void AppendEntry(FoldedField& f, std::string_view entry) {
  if (!HasNonAscii(entry)) {
    f.Spaced(entry);
    return;
  }
  std::size_t addr = FindOutsideQuotes(entry, '<', 0, MessageCharset::Utf8);
  const std::string_view word = TrimBlanks(entry);
  if (addr == std::string_view::npos) {
    if (word.find_first_of(" \t") == std::string_view::npos && word.find('@') != word.npos) {
      f.Spaced(entry);  // a bare address
      return;
    }
    addr = entry.size();
  }
  const std::string_view phrase = TrimBlanks(entry.substr(0, addr));
  const std::string_view address = entry.substr(addr);
  const std::size_t lead = entry.find_first_not_of(" \t");
  const std::string_view blanks = entry.substr(0, lead == entry.npos ? 0 : lead);
  if (!phrase.empty() || address.empty()) {
    if (HasNonAscii(phrase)) {
      AppendWords(f, blanks, Unquote(phrase), address.empty() ? 1 : 0);
    } else {
      std::string spaced(blanks);
      f.Spaced(spaced.append(phrase));
    }
  }
  if (address.empty()) return;
  if (phrase.empty()) {
    f.Spaced(entry);
    return;
  }
  std::string spaced(" ");
  f.Spaced(spaced.append(address));
}

}  // namespace

std::string Utf8SubjectLine(std::string_view subject) {
  FoldedField f("Subject:");
  if (subject.empty()) {
    f.Raw(" ");
    f.Raw(Word(""));
  } else {
    AppendWords(f, " ", subject, 0);
  }
  return f.Take();
}

std::string Utf8AddressField(std::string_view name, std::string_view value) {
  std::string plain(name);
  plain.append(" ");
  if (!HasNonAscii(value)) return FoldLongLines(plain.append(value));
  FoldedField f(plain);
  bool first = true;
  for (std::string_view entry : AddressListEntries(value, MessageCharset::Utf8)) {
    if (!first) f.Raw(",");
    first = false;
    AppendEntry(f, entry);
  }
  return FoldLongLines(f.Take());
}

std::string Utf8AttachmentTypeLines(std::string_view name) {
  if (!HasNonAscii(name)) return AttachmentTypeLines(name);
  // name= on a line of its own after the type, its words folded between
  // characters inside the quotes, as the ISO-2022-JP form does.
  std::string out = "Content-Type: application/octet-stream;\r\n name=\"";
  const std::vector<std::string_view> pieces =
      Pieces(name, BytesForWidth(kFoldColumn - 8), BytesForWidth(kFoldColumn - 2));
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out.append("\r\n ");
    out.append(Word(pieces[i]));
  }
  out.append("\"").append(kCrLf);
  return out.append(DispositionLines(std::string(name)));
}

std::string Utf8FileNameFromPath(std::string_view path) {
  std::size_t start = 0;
  for (int i = 0; i < 10; ++i) {
    const std::size_t p = path.find('\\', start);
    if (p == std::string_view::npos) break;
    start = p + 1;
  }
  const std::size_t slash = path.rfind('/');
  if (slash != std::string_view::npos && slash >= start) start = slash + 1;
  return std::string(path.substr(start));
}

std::string Utf8BodyText(std::string_view body, bool plain) {
  std::string out;
  if (plain) {
    out.append(kCrLf);
    if (body.substr(0, 2) == kCrLf) body.remove_prefix(2);
  }
  if (body.empty()) return out;
  std::string text(body);
  if (plain && !text.ends_with(kCrLf)) text.append(kCrLf);  // as before the "." line
  std::string b64;
  AppendBase64Lines(text, b64);
  out.append(b64);
  if (out.size() < 2 || out.compare(out.size() - 2, 2, kCrLf) != 0) out.append(kCrLf);
  return out;
}

}  // namespace tolvex
