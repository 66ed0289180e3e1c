// How a text file was written and which charset a message goes out in.
// Texts of a Shift_JIS file stay code page 932 bytes; texts of a UTF-8 or
// UTF-16 file are held as UTF-8 (SourceText, encoding/source_text.hpp).
#pragma once

#include <string_view>

namespace tolvex {

enum class TextEncoding { ShiftJis, Utf8, Utf8Bom, Utf16Le, Utf16Be };

constexpr bool IsUnicode(TextEncoding e) { return e != TextEncoding::ShiftJis; }

constexpr std::string_view EncodingName(TextEncoding e) {
  switch (e) {
    case TextEncoding::ShiftJis:
      return "Shift_JIS (code page 932)";
    case TextEncoding::Utf8:
      return "UTF-8";
    case TextEncoding::Utf8Bom:
      return "UTF-8 with BOM";
    case TextEncoding::Utf16Le:
      return "UTF-16 LE";
    case TextEncoding::Utf16Be:
      return "UTF-16 BE";
  }
  return "";
}

// The charset a message is written in: today's ISO-2022-JP form, or the
// UTF-8 form (Base64 text parts, UTF-8 encoded words).
enum class MessageCharset { Iso2022Jp, Utf8 };

}  // namespace tolvex
