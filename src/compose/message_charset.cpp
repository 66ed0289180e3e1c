// The charset choice and the texts of the message in the charset chosen.
#include "compose/message_charset.hpp"

#include <array>
#include <utility>

#include "base/ascii.hpp"
#include "base/sjis_text.hpp"
#include "base/text_convert.hpp"
#include "compose/header_words.hpp"
#include "compose/intl_address.hpp"
#include "compose/text_functions.hpp"
#include "compose/utf8_message.hpp"
#include "encoding/jis_convert.hpp"
#include "encoding/source_text.hpp"

namespace tolvex {
namespace {

constexpr std::string_view kCrLf = "\r\n";

std::string ToCp932(const PieceText& p) {
  if (!p.unicode) return p.text;
  std::size_t lost = 0;
  return Utf8ToCp932(p.text, lost);
}

std::string ToUtf8(const PieceText& p) { return p.unicode ? p.text : Cp932ToUtf8Lossy(p.text); }

// The pieces the auto rule looks at, with the names the reason uses.
std::array<std::pair<const PieceText*, std::string_view>, 7> Pieces(const MessageTexts& t) {
  return {{{t.subject ? &*t.subject : nullptr, "the subject"},
           {&t.from, "the sender"},
           {&t.toList, "the recipients"},
           {&t.ccList, "the copy recipients"},
           {t.replyTo ? &*t.replyTo : nullptr, "the reply address"},
           {&t.body, "the body"},
           {&t.textFile, "the text file"}}};
}

// The first character of `p` without an ISO-2022-JP form: its UTF-8 text
// and code point.
std::optional<std::pair<std::string, char32_t>> FirstOutside(const PieceText& p) {
  if (p.unicode) {
    for (std::size_t at = 0; at < p.text.size(); at += utf8::CharLen(p.text, at)) {
      const std::string_view c = std::string_view(p.text).substr(at, utf8::CharLen(p.text, at));
      if (static_cast<unsigned char>(c[0]) < 0x80) continue;
      const std::optional<std::string> code = Utf8ToCp932Exact(c);
      if (!code || FirstNonJis0208(*code) != std::string_view::npos)
        return std::pair{std::string(c), utf8::CodePoint(c, 0)};
    }
    return std::nullopt;
  }
  const std::size_t at = FirstNonJis0208(p.text);
  if (at == std::string_view::npos) return std::nullopt;
  const std::string c = Cp932ToUtf8Lossy(p.text.substr(at, sjis::CharLen(p.text, at)));
  return std::pair{c, utf8::CodePoint(c, 0)};
}

std::size_t CountLost(const MessageTexts& t) {
  std::size_t lost = 0;
  for (const auto& [piece, name] : Pieces(t)) {
    if (piece && piece->unicode) Utf8ToCp932(piece->text, lost);
  }
  return lost;
}

// The text-file text in ISO-2022-JP, back in the one-byte state at its end.
std::string TextFileJis(std::string_view cp932) {
  std::string jis = SjisToJis(cp932);
  // A return is ESC ( J, or ESC ( B before a backslash or a tilde.
  const std::size_t kanji = jis.rfind("\x1B$B");
  if (kanji != std::string::npos && jis.find("\x1B(", kanji) == std::string::npos)
    jis.append("\x1B(J");
  return jis;
}

}  // namespace

std::optional<CharsetSetting> ParseCharsetSetting(std::string_view value) {
  if (SameAscii(value, "iso-2022-jp")) return CharsetSetting::Iso2022Jp;
  if (SameAscii(value, "utf-8")) return CharsetSetting::Utf8;
  if (SameAscii(value, "auto")) return CharsetSetting::Auto;
  return std::nullopt;
}

CharsetChoice ChooseCharset(CharsetSetting setting, TextEncoding commandFile,
                            const MessageTexts& texts) {
  CharsetChoice c;
  if (setting == CharsetSetting::Absent) {
    if (!IsUnicode(commandFile)) {
      c.reason = "ISO-2022-JP: the command file is Shift_JIS";
      c.lost = CountLost(texts);
      return c;
    }
    setting = CharsetSetting::Auto;
  }
  if (setting == CharsetSetting::Utf8) {
    c.charset = MessageCharset::Utf8;
    c.reason = "UTF-8: #CHR=utf-8";
    return c;
  }
  if (setting == CharsetSetting::Iso2022Jp) {
    c.reason = "ISO-2022-JP: #CHR=iso-2022-jp";
    c.lost = CountLost(texts);
    return c;
  }
  for (const auto& [piece, name] : Pieces(texts)) {
    if (!piece) continue;
    if (auto outside = FirstOutside(*piece)) {
      c.charset = MessageCharset::Utf8;
      c.reason.assign("UTF-8: ").append(outside->first).append(" ");
      c.reason.append(CodePointName(outside->second)).append(" in ").append(name);
      c.reason.append(" has no ISO-2022-JP form");
      return c;
    }
  }
  c.reason = "ISO-2022-JP: every character is ASCII or JIS X 0208";
  return c;
}

void ApplyCharset(RunState& st, const MessageTexts& t, MessageCharset charset) {
  st.Charset = charset;
  st.SubjectLine.clear();
  st.ReplyToLine.clear();
  if (t.replyTo && !st.SmtpUtf8Address.empty()) {
    st.ReplyToLine =
        Utf8HeadAddressField("Reply-To:", t.replyTo->text,
                             t.replyTo->unicode ? MessageCharset::Utf8 : MessageCharset::Iso2022Jp)
            .append(kCrLf);
  }
  if (charset == MessageCharset::Iso2022Jp) {
    if (t.subject) {
      std::string line("Subject: ");
      st.SubjectLine = EncodeSubjectLine(line.append(ToCp932(*t.subject))).append(kCrLf);
    }
    if (t.replyTo && st.ReplyToLine.empty())
      st.ReplyToLine = EncodeAddressField("Reply-To:", ToCp932(*t.replyTo)).append(kCrLf);
    st.FromAddr = ToCp932(t.from);
    st.ToList = ToCp932(t.toList);
    st.CcList = ToCp932(t.ccList);
    st.BccList = ToCp932(t.bccList);
    // Code page 932 text is converted where it stands, not copied first.
    st.BodyText = t.body.unicode ? SjisToJis(ToCp932(t.body)) : SjisToJis(t.body.text);
    st.TextFileData =
        t.textFile.unicode ? TextFileJis(ToCp932(t.textFile)) : TextFileJis(t.textFile.text);
    return;
  }
  if (t.subject) st.SubjectLine = Utf8SubjectLine(ToUtf8(*t.subject)).append(kCrLf);
  if (t.replyTo && st.ReplyToLine.empty())
    st.ReplyToLine = Utf8AddressField("Reply-To:", ToUtf8(*t.replyTo)).append(kCrLf);
  st.FromAddr = ToUtf8(t.from);
  st.ToList = ToUtf8(t.toList);
  st.CcList = ToUtf8(t.ccList);
  st.BccList = ToUtf8(t.bccList);
  const bool plain = !st.AttachFlag && !st.MultiFlag && !st.HtmlFlag;
  std::string body = ToUtf8(t.body);
  if (plain) body.append(ToUtf8(t.textFile));
  st.BodyText = Utf8BodyText(body, plain);
  st.TextFileData.clear();
}

std::string CharsetLostNote(std::size_t lost) {
  std::string note = std::to_string(lost);
  note.append(lost == 1 ? " character has no ISO-2022-JP form and goes"
                        : " characters have no ISO-2022-JP form and go");
  return note.append(" out as \xE3\x80\x93");
}

std::string Cp932ToUtf8Lossy(std::string_view cp932) {
  if (std::optional<std::string> whole = Cp932ToUtf8Exact(cp932)) return *whole;
  std::string out;
  for (std::size_t at = 0; at < cp932.size();) {
    const std::size_t n = sjis::CharLen(cp932, at);
    if (std::optional<std::string> c = Cp932ToUtf8Exact(cp932.substr(at, n))) {
      out.append(*c);
    } else {
      out.append("\xEF\xBF\xBD");
    }
    at += n;
  }
  return out;
}

}  // namespace tolvex
