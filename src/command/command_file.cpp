// The interpreter of command.txt.
//
// Behaviour chosen where the file format leaves room:
// - The file is decoded at the edge (DecodeSource): a Shift_JIS file is
//   read as code page 932 bytes as ever; a UTF-8 or UTF-16 file as UTF-8,
//   whose ASCII bytes are always characters of their own. The subject, the
//   reply address, the names and the body are written in the message's
//   charset ("#CHR", message_charset.hpp) once the whole file is read.
// - Line ends: CR LF, a CR alone and an LF alone each end a line (files
//   saved by Linux editors use LF). The terminator is not part of the line;
//   a last line without terminator is a line; a final terminator opens no
//   further empty line. Terminators are found byte by byte: CR and LF are
//   never the second byte of a double-byte character.
// - Trimming removes the space character (0x20) only; the full-width space
//   and tabs stay.
// - "#WAI", "#MOR" and "#TER" take a whole decimal number with an optional
//   "+" or "-" and nothing else (spaces around are removed first). An empty
//   value, any other character or a number outside -32768..32767 stops the
//   reading with CommandFileBad, naming the line.
// - More than 100 recipients stops the reading with CommandFileBad before
//   any of them is stored.
// - A "cat " or "bin " line without "|" stops the reading with
//   CommandFileBad. When the line ends before the four characters after the
//   "|", the recipient part is simply empty.
// - A "Subj" line shorter than eight characters or a "Repl" line shorter
//   than nine gives an empty subject or reply address.
// - Recipient lists split at every comma outside a quoted display name
//   (AddressListEntries): "Suzuki, Ichiro" <s@example.jp> is one recipient.
// - A line like "#SCE=starttls" ("#", a letter, name characters, "=") that
//   is no directive ends the directive section like any other body line;
//   a directive line after it (a "#USR" or "#PAS" meant for the section)
//   stops the reading with CommandFileBad naming that line, so no secret
//   goes out as message text.
// - A missing or unreadable command.txt gives InputMissing; a text file of
//   "#TEX" or "cat " that cannot be read ends the reading with the failure
//   the text-file reader reports. Nothing on disk is touched either way.
#include "command/command_file.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/host_list.hpp"
#include "base/sjis_text.hpp"
#include "command/delivery_directives.hpp"
#include "command/submission_directives.hpp"
#include "compose/address_list.hpp"
#include "compose/header_words.hpp"
#include "compose/html_body.hpp"
#include "compose/html_message.hpp"
#include "compose/intl_address.hpp"
#include "compose/message_charset.hpp"
#include "compose/text_file.hpp"
#include "compose/text_functions.hpp"
#include "compose/wildcard.hpp"
#include "encoding/jis_convert.hpp"
#include "encoding/source_text.hpp"

namespace tolvex {
namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kPrefixRule = "\r\n-----\r\n";

std::string LineFailureText(std::size_t lineNo, std::string_view what) {
  std::string text = kCommandFileName;
  text += " line ";
  text += std::to_string(lineNo);
  text += ": ";
  text += what;
  return text;
}

// A whole decimal number with optional sign that fits 16 bits.
bool ParseInt16(std::string_view text, std::int16_t& out) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  if (i == text.size()) return false;
  std::int32_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c < '0' || c > '9') return false;
    magnitude = magnitude * 10 + (c - '0');
    if (magnitude > 32768) return false;  // stops before any overflow
  }
  const std::int32_t value = negative ? -magnitude : magnitude;
  if (value > 32767) return false;
  out = static_cast<std::int16_t>(value);
  return true;
}

bool IsLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool IsNameChar(char c) { return IsLetter(c) || (c >= '0' && c <= '9') || c == '_' || c == '-'; }

// A line the directive section could have meant: "#", a letter, then only
// letters, digits, "_", "-" and spaces up to an "=" ("#SCE=starttls").
bool LooksLikeDirective(std::string_view line) {
  if (line.size() < 3 || line[0] != '#' || !IsLetter(line[1])) return false;
  for (std::size_t i = 2; i < line.size(); ++i) {
    if (line[i] == '=') return true;
    if (!IsNameChar(line[i]) && line[i] != ' ') return false;
  }
  return false;
}

// Its name: "#" and the letters, digits, "_" and "-" after it, at most 16
// characters; nothing after the "=", which may be a secret.
std::string DirectiveName(std::string_view line) {
  std::size_t end = 1;
  while (end < line.size() && end < 16 && IsNameChar(line[end])) ++end;
  return std::string(line.substr(0, end));
}

// One reading of the file: the line loop and its state.
class Interpreter {
 public:
  Interpreter(RunState& st, CommandEffects& effects, WorkFolder& files)
      : st_(st), effects_(effects), files_(files) {}

  // Reads `source` line by line, then lets its text go (wiped: it may hold
  // the "#PAS" secret) before the texts are converted, so that a large
  // body is not held three times.
  Status Run(SourceText& source) {
    unicode_ = source.Unicode();
    st_.CommandEncoding = source.encoding;
    const std::string_view data = source.text;
    st_.AttachFlag = false;
    st_.FileCount = 0;
    st_.FileExpansions.clear();
    st_.HtmlFlag = false;
    st_.HtmlImages.clear();
    st_.MailMode = false;
    body_.reserve(data.size() + data.size() / 8 + 64);

    std::size_t pos = 0;
    while (pos < data.size()) {
      std::size_t end = pos;
      while (end < data.size() && data[end] != '\r' && data[end] != '\n') ++end;
      ++lineNo_;
      const std::string_view line = data.substr(pos, end - pos);
      Status status = st_.MailMode ? MailLine(line) : DirectiveLine(line);
      if (status) return status;
      if (end < data.size()) {
        pos = end + 1;
        if (data[end] == '\r' && pos < data.size() && data[pos] == '\n') ++pos;
      } else {
        pos = end;
      }
    }
    WipeString(source.text);
    source.text.shrink_to_fit();
    return Finish();
  }

 private:
  void AppendBodyLine(std::string_view line) {
    if (!sjis::Trim(line).empty()) bodyHasText_ = true;
    body_.append(line);
    body_.append(kCrLf);
  }

  // "#HOS": one name as written, or a comma list whose first name is the
  // one connected to first.
  Status SetHosts(std::string value) {
    st_.Submit.hosts.clear();
    if (value.find(',') != std::string::npos) {
      st_.Submit.hosts = SplitHostList(value);
      if (st_.Submit.hosts.empty()) {
        return BadLine(lineNo_,
                       "\"#HOS\" lists an empty host name: write the names "
                       "separated by commas (\"#HOS=mail1.example.jp, "
                       "mail2.example.jp\")");
      }
      value = st_.Submit.hosts.front();
    }
    st_.Submit.host = std::move(value);
    effects_.SetRemoteHost(st_.Submit.host);
    return std::nullopt;
  }

  void SetBodyPrefix(std::string_view names) {
    body_.assign(names);
    body_.append(kPrefixRule);
  }

  Status SetNumber(std::string_view keyword, std::string_view line, std::int16_t& target) {
    const std::string value = ValueAfter(line, '=');
    if (ParseInt16(value, target)) return std::nullopt;
    std::string what = "\"";
    what += keyword;
    what += "\" value \"";
    what += value;
    what += "\" is not a whole number from -32768 to 32767";
    return BadLine(lineNo_, what);
  }

  Status DirectiveLine(std::string_view line) {
    const std::string_view key = LeftChars(line, 4);
    if (key == "#LOC") {
      st_.LocalName = ValueAfter(line, '=');
    } else if (key == "#WAI") {
      return SetNumber(key, line, st_.WaitMinutes);
    } else if (key == "#MOR") {
      return SetNumber(key, line, st_.MoreCount);
    } else if (key == "#TER") {
      return SetNumber(key, line, st_.MoreInterval);
    } else if (key == "#NEX" || key == "#KIL") {
      // accepted, no effect
    } else if (key == "#FOR") {
      st_.FormMode = ValueAfter(line, '=');
      if (st_.FormMode == "icon") effects_.ShowMinimized();
      if (st_.FormMode == "tray") {
        effects_.Hide();
        effects_.AddTrayIcon();  // SetTaskTrayIcon
      }
    } else if (key == "#DEL") {
      st_.DeleteCommandFile = true;
    } else if (key == "#FRO") {
      st_.FromAddr = ValueAfter(line, '=');
      fromLine_ = lineNo_;
    } else if (key == "#HOS") {
      return SetHosts(ValueAfter(line, '='));
    } else if (key == "#TO=" || key == "#TO ") {
      SetToList(ValueAfter(line, '='));
    } else if (key == "#TEX") {
      return TextFile(ValueAfter(line, '='));
    } else if (key == "#HTM") {
      return HtmlFile(ValueAfter(line, '='));
    } else if (key == "#MUL") {
      const std::string value = ValueAfter(line, '=');
      if (Status status = SetFileList(key, value)) return status;
      st_.MultiFlag = true;
    } else if (key == "#ATT") {
      const std::string value = ValueAfter(line, '=');
      return Attachments(key, value);
    } else if (key == "#SUB") {
      SetSubject(ValueAfter(line, '='));
    } else if (key == "#REP") {
      SetReplyTo(ValueAfter(line, '='));
    } else if (key == "#CHR") {
      return SetCharset(line);
    } else if (IsSubmissionKeyword(key)) {
      return SubmissionDirective(key, line, lineNo_, st_.Submit);
    } else if (IsDeliveryKeyword(key)) {
      return DeliveryDirective(key, line, lineNo_, st_, copyLines_);
    } else if (key == "mail") {
      SetToList(sjis::Trim(DropChars(line, 4)));
      st_.MailMode = true;
    } else if (key == "cat " || key == "bin ") {
      st_.MailMode = true;
      return PipeLine(key, line);
    } else {
      st_.MailMode = true;
      if (LooksLikeDirective(line)) {
        endingLine_ = lineNo_;
        endingName_ = DirectiveName(line);
      }
      AppendBodyLine(line);
    }
    return std::nullopt;
  }

  Status MailLine(std::string_view line) {
    const std::string_view key = LeftChars(line, 4);
    if (endingLine_ != 0 && IsDirectiveKeyword(key)) return MisspeltDirective(key);
    if (key == "Subj") {
      SetSubject(sjis::Trim(DropChars(line, 8)));
    } else if (key == "Repl") {
      SetReplyTo(sjis::Trim(DropChars(line, 9)));
    } else {
      AppendBodyLine(line);
    }
    return std::nullopt;
  }

  // A directive after the unknown "#XXX=" line that ended the directives
  // would go out as message text ("#PAS" with the password in it): the
  // reading stops, naming the unknown line. No value is shown.
  Status MisspeltDirective(std::string_view key) const {
    std::string what = "\"";
    what += endingName_;
    what += "\" is no directive, so the directive section ends there and line ";
    what += std::to_string(lineNo_);
    what += " (\"";
    what += sjis::Trim(key.substr(0, key.find('=')));
    what += "\") would be sent as message text; is \"";
    what += endingName_;
    what += "\" misspelled?";
    return BadLine(endingLine_, what);
  }

  // "cat <file> |mail <recipients>" and "bin <files> |mail <recipients>".
  Status PipeLine(std::string_view key, std::string_view line) {
    // In UTF-8 an ASCII byte is always a character of its own.
    const std::size_t bar = unicode_ ? line.find('|') : sjis::FindChar(line, '|');
    if (bar == sjis::npos) {
      std::string what = "\"";
      what += key;
      what += "\" line has no \"|\"";
      return BadLine(lineNo_, what);
    }
    // From the space after the keyword up to the "|".
    const std::string files(sjis::Trim(line.substr(3, bar - 3)));
    const std::string_view recipients = sjis::Trim(DropChars(line.substr(bar + 1), 4));
    if (key == "cat ") {
      if (Status status = TextFile(files)) return status;
    } else if (Status status = Attachments(key, files)) {
      return status;
    }
    SetToList(recipients);
    return std::nullopt;
  }

  Status TextFile(const std::string& name) {
    st_.FileList[1] = name;
    SetBodyPrefix(name);
    return ReadFile(st_, name, files_, textFileUnicode_);
  }

  // "#HTM=": the file is read now; its images are found once the body is
  // known (Finish).
  Status HtmlFile(const std::string& name) {
    if (Status status = ReadHtmlFile(name, files_, html_)) return status;
    htmlName_ = name;
    htmlLine_ = lineNo_;
    st_.HtmlFlag = true;
    return std::nullopt;
  }

  // A body without text takes the text of the HTML, which then counts for
  // the charset like any body.
  Status FinishHtml() {
    if (!st_.HtmlFlag) return std::nullopt;
    if (st_.MultiFlag && !st_.AttachFlag)
      return BadLine(htmlLine_, "\"#HTM\" cannot go with \"#MUL\"");
    const std::size_t images = PrepareHtml(st_, htmlName_, html_, files_.UnicodeNames());
    if (images > kMaxInlineImages) {
      return BadLine(htmlLine_, "the HTML file has " + std::to_string(images) +
                                    " inline images, at most " + std::to_string(kMaxInlineImages) +
                                    " are allowed");
    }
    if (Status status = CheckInlineImages(st_, files_)) return status;
    if (!bodyHasText_ && st_.TextFileData.empty()) {
      std::string body = unicode_ ? std::move(body_) : Cp932ToUtf8Lossy(body_);
      body_ = std::move(body.append(TextFromHtml(html_)));
      bodyUnicode_ = true;
    }
    html_ = std::string();
    return std::nullopt;
  }

  // A list of more than ten names would lose the rest without a word (the
  // list holds ten), while the body names them all: refused instead.
  Status CheckFileCount(std::string_view key, std::string_view names) {
    std::size_t count = 1;
    for (std::size_t at = sjis::FindChar(names, ','); at != sjis::npos;
         at = sjis::FindChar(names, ',', at + 1)) {
      ++count;
    }
    if (!names.empty() && names.back() == ',') --count;  // a trailing comma opens no entry
    return CheckFileCount(key, count);
  }

  Status CheckFileCount(std::string_view key, std::size_t count) {
    if (count <= static_cast<std::size_t>(kMaxFiles)) return std::nullopt;
    std::string what = "\"";
    what += key;
    what += "\" lists ";
    what += std::to_string(count);
    what += " files, at most ";
    what += std::to_string(kMaxFiles);
    what += " are allowed";
    return BadLine(lineNo_, what);
  }

  // A control byte (NUL, TAB, ESC ...) in an address would go into MAIL
  // FROM, RCPT TO and the head as it stands.
  static std::optional<unsigned> ControlByte(std::string_view address) {
    for (char c : address) {
      const auto b = static_cast<unsigned char>(c);
      if (b < 0x20 || b == 0x7F) return b;
    }
    return std::nullopt;
  }

  Status CheckAddresses() {
    auto bad = [](std::size_t line, std::string_view who, unsigned b) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "0x%02X", b);
      std::string what(who);
      what += " holds the control byte ";
      what += hex;
      return BadLine(line, what);
    };
    if (auto b = ControlByte(st_.FromAddr))
      return bad(fromLine_ ? fromLine_ : lineNo_, "the sender", *b);
    for (int k = 1; k <= st_.ToCount; ++k) {
      if (auto b = ControlByte(st_.ToAddr[static_cast<std::size_t>(k)])) {
        return bad(toListLine_ ? toListLine_ : lineNo_, "recipient " + std::to_string(k), *b);
      }
    }
    return std::nullopt;
  }

  // The names of "#ATT", "#MUL" or "bin " into FileList; `shown` is the
  // list as the body names it. A "*" or "?" pattern is replaced by the
  // files it matches, and the limit counts those.
  Status SetFileList(std::string_view key, const std::string& names, std::string* shown = nullptr) {
    st_.FileExpansions.clear();
    if (!HoldsFilePattern(names, unicode_)) {
      if (Status status = CheckFileCount(key, names)) return status;
      st_.FileCount = SplitList(st_.FileList, names, ',');
      if (shown) *shown = names;
      return std::nullopt;
    }
    ExpandedFiles expanded;
    if (Status status = ExpandFileList(names, files_, expanded)) return status;
    if (Status status = CheckFileCount(key, expanded.names.size())) return status;
    std::int16_t k = 0;
    for (std::string& name : expanded.names) {
      if (shown) *shown += (k == 0 ? "" : ",") + name;
      st_.FileList[static_cast<std::size_t>(++k)] = std::move(name);
    }
    st_.FileCount = k;
    st_.FileExpansions = std::move(expanded.shown);
    for (std::string& note : expanded.notes) st_.TextNotices.push_back(std::move(note));
    return std::nullopt;
  }

  Status Attachments(std::string_view key, const std::string& names) {
    std::string shown;
    if (Status status = SetFileList(key, names, &shown)) return status;
    SetBodyPrefix(shown);
    st_.AttachFlag = true;
    return std::nullopt;
  }

  void SetToList(std::string_view list) {
    st_.ToList.assign(list);
    toListLine_ = lineNo_;
  }

  // The subject and the reply address are encoded at the end, once the
  // message's charset is known.
  void SetSubject(std::string_view subject) { texts_.subject = Piece(subject); }

  void SetReplyTo(std::string_view address) { texts_.replyTo = Piece(address); }

  Status SetCharset(std::string_view line) {
    const std::string value = ValueAfter(line, '=');
    if (std::optional<CharsetSetting> setting = ParseCharsetSetting(value)) {
      charset_ = *setting;
      return std::nullopt;
    }
    return BadLine(lineNo_, "\"#CHR\" value \"" + value + "\" is not iso-2022-jp, utf-8 or auto");
  }

  PieceText Piece(std::string_view text) const { return PieceText{std::string(text), unicode_}; }

  std::string_view LeftChars(std::string_view s, std::size_t n) const {
    return unicode_ ? utf8::LeftChars(s, n) : sjis::LeftChars(s, n);
  }

  std::string_view DropChars(std::string_view s, std::size_t n) const {
    return unicode_ ? utf8::DropChars(s, n) : sjis::DropChars(s, n);
  }

  // ToList into ToAddr 1..n, each piece trimmed; a trailing comma gives a
  // last empty recipient and an empty list one empty recipient. A comma
  // inside a quoted display name does not split (AddressListEntries).
  Status SplitRecipients() {
    const std::vector<std::string_view> pieces = AddressListEntries(st_.ToList, st_.Charset);
    if (pieces.size() > static_cast<std::size_t>(kMaxRecipients)) {
      std::string what = std::to_string(pieces.size());
      what += " recipients, at most ";
      what += std::to_string(kMaxRecipients);
      what += " are allowed";
      if (toListLine_ == 0) return BadLine(lineNo_, what);
      return BadLine(toListLine_, what);
    }
    std::int16_t k = 0;
    for (std::string_view piece : pieces) {
      ++k;
      st_.ToAddr[static_cast<std::size_t>(k)].assign(sjis::Trim(piece));
    }
    st_.ToCount = k;
    return std::nullopt;
  }

  // Each domain not in ASCII becomes its A-label before the charset is
  // chosen; a domain of the envelope refused, or an address that only SMTPUTF8 carries in a
  // session without EHLO or through a mail API, stops the reading.
  Status ConvertAddresses() {
    AddressConversion c;
    const auto convert = [&](PieceText& p, std::size_t line) -> Status {
      ConvertAddressDomains(p.text, p.unicode ? MessageCharset::Utf8 : MessageCharset::Iso2022Jp,
                            c);
      if (c.refusedDomain.empty()) return std::nullopt;
      return BadLine(line ? line : lineNo_, "the domain \"" + c.refusedDomain +
                                                "\" is no valid internationalised domain name");
    };
    if (Status status = convert(texts_.from, fromLine_)) return status;
    if (Status status = convert(texts_.toList, toListLine_)) return status;
    if (Status status = convert(texts_.ccList, copyLines_.cc)) return status;
    if (Status status = convert(texts_.bccList, copyLines_.bcc)) return status;
    // The reply address never reaches the envelope: its domain converted
    // when IDNA takes it, else it stays as written, as it always went.
    if (texts_.replyTo) {
      AddressConversion reply;
      std::string text = texts_.replyTo->text;
      ConvertAddressDomains(
          text, texts_.replyTo->unicode ? MessageCharset::Utf8 : MessageCharset::Iso2022Jp, reply);
      if (reply.refusedDomain.empty()) texts_.replyTo->text = std::move(text);
    }
    std::size_t lost = 0;
    st_.SmtpUtf8Address =
        c.utf8LocalAddress.empty() ? std::string() : Utf8ToCp932(c.utf8LocalAddress, lost);
    if (!st_.SmtpUtf8Address.empty() && st_.Submit.ViaApi()) {
      return Failure{FailureKind::CommandFileBad,
                     std::string(kCommandFileName) + ": the address \"" + st_.SmtpUtf8Address +
                         "\" needs SMTPUTF8, which the mail APIs (#VIA) do not take"};
    }
    if (!st_.SmtpUtf8Address.empty() && !st_.Submit.Extended()) {
      return Failure{FailureKind::CommandFileBad,
                     std::string(kCommandFileName) + ": the address \"" + st_.SmtpUtf8Address +
                         "\" needs SMTPUTF8, which the plain session (HELO, no #SEC or #USR) "
                         "cannot send"};
    }
    return std::nullopt;
  }

  Status Finish() {
    if (Status status = FinishHtml()) return status;
    texts_.from = Piece(st_.FromAddr);
    texts_.toList = Piece(st_.ToList);
    texts_.ccList = Piece(st_.CcList);
    texts_.bccList = Piece(st_.BccList);
    if (Status status = ConvertAddresses()) return status;
    texts_.body = PieceText{std::move(body_), unicode_ || bodyUnicode_};
    texts_.textFile = PieceText{st_.TextFileData, textFileUnicode_};
    const CharsetChoice choice = ChooseCharset(charset_, st_.CommandEncoding, texts_);
    st_.CharsetReason = choice.reason;
    st_.CharsetLost = choice.lost;
    ApplyCharset(st_, texts_, choice.charset);
    if (Status status = SplitRecipients()) return status;
    if (Status status = CheckAddresses()) return status;
    if (Status status = AddCopyRecipients(st_, copyLines_)) return status;
    if (Status status = CheckSubmission(st_.Submit)) return status;
    return std::nullopt;
  }

  RunState& st_;
  CommandEffects& effects_;
  WorkFolder& files_;
  std::string body_;
  bool unicode_ = false;          // the command file's text is UTF-8
  bool textFileUnicode_ = false;  // the text file's text is UTF-8
  bool bodyHasText_ = false;      // a body line holds more than spaces
  bool bodyUnicode_ = false;      // the body took the HTML's text (UTF-8)
  std::string html_;              // "#HTM": the file's text, UTF-8
  std::string htmlName_;
  std::size_t htmlLine_ = 0;
  CharsetSetting charset_ = CharsetSetting::Absent;
  MessageTexts texts_;
  std::size_t lineNo_ = 0;
  std::size_t toListLine_ = 0;  // line that last set ToList
  std::size_t fromLine_ = 0;    // line that last set FromAddr
  std::size_t endingLine_ = 0;  // an unknown "#XXX=" line that ended the directives
  std::string endingName_;      // its name, "#XXX"
  CopyListLines copyLines_;     // lines that last set CcList and BccList
};

}  // namespace

bool IsDirectiveKeyword(std::string_view key) {
  static constexpr std::array<std::string_view, 19> kKeys = {
      "#LOC", "#WAI", "#MOR", "#TER", "#NEX", "#KIL", "#FOR", "#DEL", "#FRO", "#HOS",
      "#TO=", "#TO ", "#TEX", "#MUL", "#ATT", "#SUB", "#REP", "#CHR", "#HTM"};
  return std::find(kKeys.begin(), kKeys.end(), key) != kKeys.end() || IsSubmissionKeyword(key) ||
         IsDeliveryKeyword(key);
}

Status ReadCommandFile(RunState& st, CommandEffects& effects, WorkFolder& files) {
  auto unreadable = [](std::string_view reason) {
    std::string message = "cannot read ";
    message += kCommandFileName;
    message += ": ";
    message += reason;
    return Failure{FailureKind::InputMissing, message};
  };
  IoError error;
  std::unique_ptr<InputFile> file = files.OpenRead(kCommandFileName, error);
  if (!file) return unreadable(*error);
  std::string data;
  if (file->Size() > data.max_size() / 2) return unreadable("the file is too large");
  data.resize(static_cast<std::size_t>(file->Size()));
  if (IoError e = ReadExactly(*file, 0, data.data(), data.size())) return unreadable(*e);
  file.reset();
  SourceText source = DecodeSource(std::move(data));
  WipeString(data);  // it may hold the "#PAS" secret (when it was decoded)
  if (source.invalid) {
    WipeString(source.text);
    return UndecodableText(kCommandFileName, *source.invalid);
  }
  st.TextNotices.clear();
  if (source.damagedUtf8)
    st.TextNotices.push_back(DamagedUtf8Notice(kCommandFileName, *source.damagedUtf8));
  files.SetUnicodeNames(source.Unicode());
  Status status = Interpreter(st, effects, files).Run(source);
  WipeString(source.text);  // when the reading stopped early
  return status;
}

Failure BadLine(std::size_t lineNo, std::string_view what) {
  return Failure{FailureKind::CommandFileBad, LineFailureText(lineNo, what)};
}

}  // namespace tolvex
