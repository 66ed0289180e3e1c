// The detection rule (DecodeSource), the conversion to code page 932 and
// the charset choice with the texts it writes. Input: one byte choosing the
// "#CHR" setting, then the bytes of a file, which serve as the subject and
// the body of a message.
#include <algorithm>
#include <cstdint>
#include <string>

#include "base/text_convert.hpp"
#include "compose/message_charset.hpp"
#include "encoding/jis_decode.hpp"
#include "encoding/source_text.hpp"
#include "fuzz_check.hpp"

using namespace tolvex;
using tolvex::fuzz::Escaped;

namespace {

bool SevenBit(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

// The text of the "=?UTF-8?B?...?=" words of a header line, each word whole
// UTF-8 text of at most 75 characters.
std::string WordsText(std::string_view line) {
  std::string text;
  for (std::size_t at = line.find("=?UTF-8?B?"); at != std::string_view::npos;
       at = line.find("=?UTF-8?B?", at)) {
    const std::size_t end = line.find("?=", at + 10);
    FUZZ_CHECK(end != std::string_view::npos, Escaped(line));
    FUZZ_CHECK(end + 2 - at <= 75, Escaped(line));
    const std::optional<std::string> piece = DecodeBase64(line.substr(at + 10, end - at - 10));
    FUZZ_CHECK(piece && utf8::IsValid(*piece), Escaped(line));
    text += *piece;
    at = end + 2;
  }
  return text;
}

std::string ToUtf16(std::string_view utf8Text, bool bigEndian) {
  std::string out;
  auto unit = [&](char32_t u) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  };
  for (std::size_t p = 0; p < utf8Text.size(); p += utf8::CharLen(utf8Text, p)) {
    const char32_t cp = utf8::CodePoint(utf8Text, p);
    if (cp >= 0x10000) {
      unit(0xD800 + ((cp - 0x10000) >> 10));
      unit(0xDC00 + ((cp - 0x10000) & 0x3FF));
    } else {
      unit(cp);
    }
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto setting = static_cast<CharsetSetting>(data[0] % 4);
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);

  const SourceText source = DecodeSource(bytes);
  // Only a file whose BOM it belies is refused, only a Shift_JIS one looks
  // damaged; a fault names a line the text has.
  const bool utf16 =
      source.encoding == TextEncoding::Utf16Le || source.encoding == TextEncoding::Utf16Be;
  FUZZ_CHECK(!source.invalid || source.encoding == TextEncoding::Utf8Bom || utf16, Escaped(bytes));
  if (source.encoding == TextEncoding::Utf8Bom) {
    FUZZ_CHECK(source.invalid.has_value() == !utf8::IsValid(bytes.substr(3)), Escaped(bytes));
  }
  if (utf16 && !source.invalid) {  // nothing lost: the text gives the file back
    FUZZ_CHECK(ToUtf16(source.text, source.encoding == TextEncoding::Utf16Be) == bytes.substr(2),
               Escaped(bytes));
  }
  FUZZ_CHECK(source.damagedUtf8.has_value() ==
                 (source.encoding == TextEncoding::ShiftJis && LooksLikeDamagedUtf8(bytes)),
             Escaped(bytes));
  for (const std::optional<SourceFault>* f : {&source.invalid, &source.damagedUtf8}) {
    if (!*f) continue;
    const std::size_t lines = 1 + std::count(bytes.begin(), bytes.end(), '\n') +
                              std::count(bytes.begin(), bytes.end(), '\r');
    FUZZ_CHECK((*f)->line >= 1 && (*f)->line <= lines && !(*f)->what.empty(), Escaped(bytes));
  }
  if (source.Unicode()) {
    FUZZ_CHECK(utf8::IsValid(source.text), Escaped(bytes));
    // Unicode → code page 932 → Unicode gives the text back.
    if (std::optional<std::string> cp932 = Utf8ToCp932Exact(source.text)) {
      FUZZ_CHECK(Cp932ToUtf8Exact(*cp932) == source.text, Escaped(source.text));
    }
  } else {
    FUZZ_CHECK(source.text == bytes, Escaped(bytes));
    const bool bom = bytes.starts_with("\xEF\xBB\xBF") || bytes.starts_with("\xFF\xFE") ||
                     bytes.starts_with("\xFE\xFF");
    FUZZ_CHECK(!bom, Escaped(bytes));
    FUZZ_CHECK(!utf8::IsValid(bytes) || SevenBit(bytes), Escaped(bytes));
  }

  // The text as a one-line subject and as the body.
  const std::string line(source.text.substr(0, source.text.find_first_of("\r\n")));
  MessageTexts texts;
  texts.subject = PieceText{line, source.Unicode()};
  texts.body = PieceText{source.text, source.Unicode()};
  const CharsetChoice choice = ChooseCharset(setting, source.encoding, texts);
  FUZZ_CHECK(!choice.reason.empty() && utf8::IsValid(choice.reason), Escaped(choice.reason));
  const bool autoRule =
      setting == CharsetSetting::Auto || (setting == CharsetSetting::Absent && source.Unicode());
  if (autoRule && choice.charset == MessageCharset::Iso2022Jp && source.Unicode()) {
    const std::optional<std::string> cp932 = Utf8ToCp932Exact(source.text);
    FUZZ_CHECK(cp932 && FirstNonJis0208(*cp932) == std::string_view::npos, Escaped(bytes));
  }
  FUZZ_CHECK(choice.lost == 0 || choice.charset == MessageCharset::Iso2022Jp, choice.reason);

  RunState st;
  ApplyCharset(st, texts, choice.charset);
  if (choice.charset == MessageCharset::Utf8) {
    FUZZ_CHECK(SevenBit(st.SubjectLine) && SevenBit(st.BodyText), Escaped(st.SubjectLine));
    // The words give the subject back whole, never a character split.
    const std::string subject = source.Unicode() ? line : Cp932ToUtf8Lossy(line);
    FUZZ_CHECK(WordsText(st.SubjectLine) == subject, Escaped(st.SubjectLine));
    std::size_t from = 0;
    for (std::size_t end; (end = st.SubjectLine.find("\r\n", from)) != std::string::npos;
         from = end + 2) {
      FUZZ_CHECK(end - from <= 76 + 8, Escaped(st.SubjectLine));  // a lone 4-byte character
    }
  } else {
    for (char c : st.BodyText) {
      const auto b = static_cast<unsigned char>(c);
      FUZZ_CHECK(b != 0 && (b < 0x80 || (b >= 0xA1 && b <= 0xDF)), Escaped(st.BodyText));
    }
  }
  return 0;
}
