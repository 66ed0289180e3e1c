// The charset of the message: "#CHR=" (iso-2022-jp, utf-8 or auto) and the
// auto rule, and the head lines and body written in the charset chosen.
// Texts arrive as the command file and the text file were read: code page
// 932 bytes or UTF-8, each piece marked.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/run_state.hpp"
#include "base/text_encoding.hpp"

namespace tolvex {

struct PieceText {
  std::string text;
  bool unicode = false;  // UTF-8, else code page 932
};

struct MessageTexts {
  std::optional<PieceText> subject;  // the text after "Subject: "
  std::optional<PieceText> replyTo;
  PieceText from, toList, ccList, bccList, body, textFile;
};

enum class CharsetSetting { Absent, Auto, Utf8, Iso2022Jp };

// "iso-2022-jp", "utf-8", "auto" (any case); nothing for another value.
std::optional<CharsetSetting> ParseCharsetSetting(std::string_view value);

struct CharsetChoice {
  MessageCharset charset = MessageCharset::Iso2022Jp;
  std::string reason;    // UTF-8 text, e.g. "UTF-8: 😀 U+1F600 in the subject has no ..."
  std::size_t lost = 0;  // characters sent as 〓 (ISO-2022-JP forced)
};

// Absent: ISO-2022-JP for a Shift_JIS command file, auto for a Unicode one.
// Auto: ISO-2022-JP when every character of the subject, the names, the
// body and the text-file text is ASCII or JIS X 0208 proper, else UTF-8.
CharsetChoice ChooseCharset(CharsetSetting setting, TextEncoding commandFile,
                            const MessageTexts& texts);

// Writes SubjectLine, ReplyToLine, FromAddr, ToList, BodyText, TextFileData
// and Charset in the chosen charset. The ISO-2022-JP form is today's: the
// same encoders on code page 932 text, the text-file text converted like the
// body and returned to the one-byte state at its end.
void ApplyCharset(RunState& st, const MessageTexts& texts, MessageCharset charset);

// "2 characters have no ISO-2022-JP form and go out as 〓" (UTF-8).
std::string CharsetLostNote(std::size_t lost);

// Code page 932 text as UTF-8; a byte sequence that is no character
// becomes U+FFFD.
std::string Cp932ToUtf8Lossy(std::string_view cp932);

}  // namespace tolvex
