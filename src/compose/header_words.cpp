// Encoded words, their folding, and address fields with Japanese display
// names. Every walk over code page 932 text steps whole characters, so the
// trail bytes 0x5C of 表 and 0x7C of 竹 never count as a backslash or a bar.
// Blanks (space, tab) are never trail bytes and may be found byte by byte.
#include "compose/header_words.hpp"

#include <algorithm>

#include "base/sjis_text.hpp"
#include "compose/address_list.hpp"
#include "compose/message_writer.hpp"
#include "encoding/jis_convert.hpp"

namespace tolvex {
namespace {

constexpr std::string_view kWordOpen = "=?ISO-2022-JP?B?";
constexpr std::string_view kWordClose = "?=";
constexpr std::string_view kEnterKanji = "\x1B$B";
constexpr std::string_view kEnterRoman = "\x1B(J";
constexpr std::string_view kEnterAscii = "\x1B(B";
constexpr std::size_t kEscapeLen = 3;
// The smallest piece that holds a two-byte character: ESC $ B, the
// character, ESC ( J.
constexpr std::size_t kMinPieceBytes = 2 * kEscapeLen + 2;

// One character of an ISO-2022-JP stream: its bytes, whether it is a
// two-byte JIS X 0208 character, and for a one-byte one whether its run
// was opened by ESC ( B (ASCII) rather than ESC ( J.
struct JisChar {
  std::string_view bytes;
  bool kanji;
  bool ascii;
};

// Walks the converted stream, consuming the escape sequences and tracking the
// shift state they set. An ESC that starts no known sequence is a one-byte
// character like any other.
std::vector<JisChar> SplitJisChars(std::string_view jis) {
  std::vector<JisChar> chars;
  chars.reserve(jis.size());
  bool kanji = false;
  bool ascii = false;
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
        ascii = b == 'B';
        i += kEscapeLen;
        continue;
      }
    }
    std::size_t len = kanji && i + 1 < jis.size() ? 2 : 1;
    chars.push_back({jis.substr(i, len), kanji && len == 2, ascii});
    i += len;
  }
  return chars;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// The content of a quoted string: the quotes removed, each backslash pair
// reduced to the character it escapes.
std::string Unquote(std::string_view quoted) {
  std::string_view inner = quoted.substr(1);
  if (inner.ends_with('"')) inner.remove_suffix(1);
  std::string out;
  for (std::size_t i = 0; i < inner.size();) {
    std::size_t len = sjis::CharLen(inner, i);
    if (len == 1 && inner[i] == '\\' && i + 1 < inner.size()) {
      ++i;
      len = sjis::CharLen(inner, i);
    }
    out.append(inner.substr(i, len));
    i += len;
  }
  return out;
}

// End of the quoted string opening at `pos` (just past its closing quote,
// or the end of the text).
std::size_t QuotedEnd(std::string_view s, std::size_t pos) {
  std::size_t i = pos + 1;
  while (i < s.size()) {
    std::size_t len = sjis::CharLen(s, i);
    if (len == 1 && s[i] == '"') return i + 1;
    if (len == 1 && s[i] == '\\' && i + 1 < s.size()) len += sjis::CharLen(s, i + 1);
    i += len;
  }
  return s.size();
}

// A word of a display name: the blanks before it, its text (a quoted
// string with its quotes, or a run of other characters).
struct PhraseToken {
  std::string_view blanks;
  std::string_view text;
  bool quoted;
};

std::vector<PhraseToken> Tokenize(std::string_view phrase, std::string_view& trailing) {
  std::vector<PhraseToken> tokens;
  std::size_t i = 0;
  for (;;) {
    const std::size_t b = i;
    while (i < phrase.size() && IsBlank(phrase[i])) ++i;
    if (i == phrase.size()) {
      trailing = phrase.substr(b);
      return tokens;
    }
    const std::size_t w = i;
    const bool quoted = phrase[i] == '"';
    if (quoted) {
      i = QuotedEnd(phrase, i);
    } else {
      while (i < phrase.size() && !IsBlank(phrase[i]) && phrase[i] != '"')
        i += sjis::CharLen(phrase, i);
    }
    tokens.push_back({phrase.substr(b, w - b), phrase.substr(w, i - w), quoted});
  }
}

// One display name: ASCII words as written, each run of adjacent non-ASCII
// words as encoded words. Returns the blanks after the last word. An entry
// without an address ends in those blanks and then the comma, which must
// fit after the last encoded word.
std::string_view AppendPhrase(FoldedField& f, std::string_view phrase, bool nameOnly) {
  std::string_view trailing;
  const std::vector<PhraseToken> tokens = Tokenize(phrase, trailing);
  std::string run;
  std::string_view runBlanks;
  bool inRun = false;
  bool afterWord = false;  // a word precedes that an encoded word must not touch
  for (const PhraseToken& t : tokens) {
    if (HasNonAscii(t.text)) {
      if (inRun) {
        run.append(t.blanks);
      } else {
        inRun = true;
        runBlanks = t.blanks.empty() && afterWord ? " " : t.blanks;
      }
      run.append(t.quoted ? Unquote(t.text) : std::string(t.text));
      continue;
    }
    std::string_view blanks = t.blanks;
    if (inRun) {
      f.Encoded(runBlanks, run, 1);
      run.clear();
      inRun = false;
      if (blanks.empty()) blanks = " ";
    }
    std::string word(blanks);
    word.append(t.text);
    f.Spaced(word);
    afterWord = true;
  }
  if (inRun) f.Encoded(runBlanks, run, nameOnly ? trailing.size() + 1 : 1);
  return trailing;
}

// One entry of an address list, as written when it is ASCII only.
void AppendEntry(FoldedField& f, std::string_view entry) {
  if (!HasNonAscii(entry)) {
    f.Spaced(entry);
    return;
  }
  std::size_t addr = FindOutsideQuotes(entry, '<', 0, MessageCharset::Iso2022Jp);
  if (addr == sjis::npos) {
    // A single word with "@" is a bare address; anything else is a name.
    std::size_t b = 0;
    while (b < entry.size() && IsBlank(entry[b])) ++b;
    std::size_t e = entry.size();
    while (e > b && IsBlank(entry[e - 1])) --e;
    std::string_view word = entry.substr(b, e - b);
    if (word.find_first_of(" \t") == std::string_view::npos &&
        sjis::FindChar(word, '@') != sjis::npos) {
      f.Spaced(entry);
      return;
    }
    addr = entry.size();
  }
  const std::string_view phrase = entry.substr(0, addr);
  const std::string_view address = entry.substr(addr);
  std::string_view blanks = AppendPhrase(f, phrase, address.empty());
  if (address.empty()) {
    f.Raw(blanks);
    return;
  }
  // A name needs a blank before "<" so that its last word ends there.
  const bool named = blanks.size() != phrase.size();
  std::string rest(blanks.empty() && named ? " " : blanks);
  rest.append(address);
  f.Spaced(rest);
}

}  // namespace

std::vector<std::string> SplitJisWords(std::string_view jis, std::size_t firstBytes,
                                       std::size_t laterBytes) {
  std::vector<std::string> pieces;
  std::string piece;
  bool kanji = false;
  std::size_t limit = firstBytes;
  auto close = [&] {
    if (kanji) piece.append(kEnterRoman);
    pieces.push_back(std::move(piece));
    piece.clear();
    kanji = false;
    limit = laterBytes;
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
      piece.append(c.kanji ? kEnterKanji : c.ascii ? kEnterAscii : kEnterRoman);
      kanji = c.kanji;
    }
    piece.append(c.bytes);
  }
  if (!piece.empty()) close();
  return pieces;
}

std::string EncodedWord(std::string_view jis) {
  std::string out;
  std::string b64 = EncodeBase64(jis);
  out.reserve(kWordOpen.size() + b64.size() + kWordClose.size());
  out.append(kWordOpen).append(b64).append(kWordClose);
  return out;
}

std::size_t JisBytesForWidth(std::size_t width) {
  const std::size_t frame = kWordOpen.size() + kWordClose.size();
  return width < frame ? 0 : (width - frame) / 4 * 3;
}

bool HasNonAscii(std::string_view text) {
  return std::any_of(text.begin(), text.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

std::string FoldLongLines(std::string field) {
  // Whether `pos` is inside a quoted string, carried from line to line; a
  // backslash inside one escapes the next byte.
  bool quoted = false;
  auto advance = [&](std::size_t from, std::size_t to) {
    for (std::size_t i = from; i < to; ++i) {
      if (quoted && field[i] == '\\') {
        ++i;
      } else if (field[i] == '"') {
        quoted = !quoted;
      }
    }
  };
  for (std::size_t pos = 0;;) {
    std::size_t end = field.find("\r\n", pos);
    if (end == std::string::npos) end = field.size();
    if (end - pos > kMaxLineOctets) {
      const std::size_t limit = pos + kMaxLineOctets;
      // Before the last blank within the limit that ends a word and has
      // more than blanks after it, or after the last comma outside quotes
      // within the limit that has text after it: whichever comes later.
      const std::size_t lastText = field.find_last_not_of(" \t", end - 1);
      std::size_t blank = 0;
      for (std::size_t i = pos + 1; i <= limit && lastText != std::string::npos && i < lastText;
           ++i) {
        if (IsBlank(field[i]) && !IsBlank(field[i - 1])) blank = i;
      }
      std::size_t comma = 0;
      bool q = quoted;
      for (std::size_t i = pos; i < limit && i + 1 < end; ++i) {
        if (q && field[i] == '\\') {
          ++i;
        } else if (field[i] == '"') {
          q = !q;
        } else if (!q && field[i] == ',') {
          comma = i + 1;
        }
      }
      // A fold right after the field's name gains nothing.
      const std::size_t name = pos == 0 ? field.find(':') + 1 : 0;
      if (std::max(blank, comma) > name) {
        const std::size_t fold = std::max(blank, comma);
        advance(pos, fold);
        field.insert(fold, fold == blank ? "\r\n" : "\r\n ");
        pos = fold + 2;
        continue;
      }
    }
    if (end == field.size()) return field;
    advance(pos, end);
    pos = end + 2;
  }
}

FoldedField::FoldedField(std::string_view name) { Raw(name); }

void FoldedField::Raw(std::string_view text) {
  out_.append(text);
  column_ += text.size();
}

void FoldedField::Word(std::string_view blanks, std::string_view text) {
  if (!blanks.empty() && !text.empty() && column_ > 0 &&
      column_ + blanks.size() + text.size() > kFoldColumn) {
    out_.append("\r\n");
    column_ = 0;
  }
  Raw(blanks);
  Raw(text);
}

void FoldedField::Encoded(std::string_view blanks, std::string_view cp932, std::size_t reserve) {
  const std::string jis = SjisToJis(cp932);
  if (jis.empty()) return;
  auto width = [&](std::size_t column, std::size_t lead) {
    const std::size_t used = std::min(kFoldColumn, column + lead + reserve);
    return std::min(kFoldColumn - used, kMaxWordChars);
  };
  std::size_t first = JisBytesForWidth(width(column_, blanks.size()));
  if (first < kMinPieceBytes && column_ > 0) {
    out_.append("\r\n");  // too little room: the first word opens a line
    column_ = 0;
    if (blanks.empty()) blanks = " ";
    first = JisBytesForWidth(width(0, blanks.size()));
  }
  const std::vector<std::string> pieces = SplitJisWords(jis, first, JisBytesForWidth(width(0, 1)));
  for (std::size_t i = 0; i < pieces.size(); ++i)
    Word(i == 0 ? blanks : " ", EncodedWord(pieces[i]));
}

void FoldedField::Spaced(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t b = i;
    while (i < text.size() && IsBlank(text[i])) ++i;
    const std::size_t w = i;
    while (i < text.size() && !IsBlank(text[i])) ++i;
    Word(text.substr(b, w - b), text.substr(w, i - w));
  }
}

std::string EncodeAddressField(std::string_view name, std::string_view value) {
  std::string plain(name);
  plain.append(" ");
  if (!HasNonAscii(value)) return FoldLongLines(plain.append(value));
  FoldedField f(plain);
  bool first = true;
  for (std::string_view entry : AddressListEntries(value, MessageCharset::Iso2022Jp)) {
    if (!first) f.Raw(",");
    first = false;
    AppendEntry(f, entry);
  }
  return FoldLongLines(f.Take());
}

}  // namespace tolvex
