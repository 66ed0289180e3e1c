// The multipart remainders: Base64 attachments (AddBinaryFile) and a body
// assembled from part files (AddMultiFile). Every listed file is opened
// before the first byte is written, so a missing file stops the
// composition before any work is done.
#include <algorithm>
#include <vector>

#include "base/sjis_text.hpp"
#include "compose/attachment_head.hpp"
#include "compose/html_body.hpp"
#include "compose/message.hpp"
#include "compose/message_charset.hpp"
#include "compose/mime_parts.hpp"
#include "compose/text_file.hpp"
#include "compose/text_functions.hpp"
#include "compose/utf8_message.hpp"
#include "encoding/jis_convert.hpp"
#include "encoding/source_text.hpp"

namespace tolvex {
namespace {

using namespace mime;

std::size_t ListCount(std::int16_t count) {
  return static_cast<std::size_t>(std::clamp<int>(count, 0, kMaxFiles));
}

void TrimInPlace(std::string& s) {
  const std::string_view t = sjis::Trim(s);
  if (t.size() != s.size()) s = std::string(t);
}

struct PlannedFile {
  std::unique_ptr<InputFile> file;  // attachments only
  std::string head;                 // an attachment's Content-Type (and -Disposition) lines
};

// Trims entries 1..count in place and opens each; the first that cannot be
// opened ends the planning.
// The attachment's head lines in the message's charset; names from a
// Unicode command file are UTF-8.
std::string AttachmentHead(const std::string& path, bool unicodeNames, MessageCharset charset) {
  if (!unicodeNames) {
    const std::string name = FileNameFromPath(path);
    if (charset == MessageCharset::Iso2022Jp) return AttachmentTypeLines(name);
    return Utf8AttachmentTypeLines(Cp932ToUtf8Lossy(name));
  }
  const std::string name = Utf8FileNameFromPath(path);
  if (charset == MessageCharset::Utf8) return Utf8AttachmentTypeLines(name);
  std::size_t lost = 0;
  return AttachmentTypeLines(Utf8ToCp932(name, lost));
}

Status PlanFiles(FileListArray& list, std::size_t count, std::string_view what, bool keepOpen,
                 WorkFolder& files, std::vector<PlannedFile>& planned,
                 MessageCharset charset = MessageCharset::Iso2022Jp) {
  planned.reserve(count);
  for (std::size_t k = 1; k <= count; ++k) {
    TrimInPlace(list[k]);
    if (list[k].empty()) return Unreadable(what, list[k], "empty file name");
    IoError error;
    PlannedFile p;
    p.file = files.OpenRead(list[k], error);
    if (!p.file) return Unreadable(what, list[k], *error);
    if (!keepOpen) p.file.reset();
    if (keepOpen) p.head = AttachmentHead(list[k], files.UnicodeNames(), charset);
    planned.push_back(std::move(p));
  }
  return std::nullopt;
}

Failure WriteFailure(std::string_view reason) {
  return Failure{FailureKind::SpoolWriteFailed, "cannot write TEMP.TXT: " + std::string(reason)};
}

// The alternative of "#HTM": multipart/alternative[text, HTML] or, with
// inline images, multipart/alternative[text, multipart/related[HTML,
// images]].
constexpr std::string_view kAlternative =
    "Content-Type: multipart/alternative;\r\n "
    "boundary=\"BoUnDaRy_Alternative_Ich_Liebe_Dich\"\r\n\r\n";
constexpr std::string_view kAlternativeDelimiter = "--BoUnDaRy_Alternative_Ich_Liebe_Dich\r\n";
constexpr std::string_view kAlternativeClosing = "--BoUnDaRy_Alternative_Ich_Liebe_Dich--\r\n";
constexpr std::string_view kRelated =
    "Content-Type: multipart/related; type=\"text/html\";\r\n"
    " boundary=\"BoUnDaRy_Related_Ich_Liebe_Dich\"\r\n\r\n";
constexpr std::string_view kRelatedDelimiter = "--BoUnDaRy_Related_Ich_Liebe_Dich\r\n";
constexpr std::string_view kRelatedClosing = "--BoUnDaRy_Related_Ich_Liebe_Dich--\r\n";
constexpr std::string_view kTextHtml = "Content-Type: text/html; charset=utf-8\r\n";

// An image's head: named as attachments are, its type by the extension,
// shown inline.
std::string InlineImageHead(const std::string& path, std::size_t k, bool unicodeNames,
                            MessageCharset charset) {
  constexpr std::string_view kOctet = "application/octet-stream";
  constexpr std::string_view kAttachment = "Content-Disposition: attachment;";
  std::string head = AttachmentHead(path, unicodeNames, charset);
  head.replace(head.find(kOctet), kOctet.size(), ImageMimeType(path));
  if (const std::size_t at = head.find(kAttachment); at != std::string::npos) {
    head.replace(at, kAttachment.size(), "Content-Disposition: inline;");
  } else {  // an ASCII name without '"' or '\\'
    const std::string name = unicodeNames ? Utf8FileNameFromPath(path) : FileNameFromPath(path);
    head.append("Content-Disposition: inline; filename=").append(QuotedName(name)).append(kCrLf);
  }
  return head.append("Content-ID: <").append(InlineImageId(k)).append(">\r\n");
}

Status PlanImages(const HtmlAlternative& html, WorkFolder& files, bool unicodeNames,
                  MessageCharset charset, std::vector<PlannedFile>& planned) {
  for (std::size_t k = 0; k < html.images.size(); ++k) {
    IoError error;
    PlannedFile p;
    p.file = files.OpenRead(html.images[k], error);
    if (!p.file) return Unreadable("inline image", html.images[k], *error);
    p.head = InlineImageHead(html.images[k], k, unicodeNames, charset);
    planned.push_back(std::move(p));
  }
  return std::nullopt;
}

// Writes the alternative, its images read from the planned files.
Status WriteAlternative(MessageWriter& out, const std::string& text, MessageCharset charset,
                        const HtmlAlternative& html, const std::vector<PlannedFile>& images) {
  const bool utf8 = charset == MessageCharset::Utf8;
  IoError error;
  for (std::string_view piece :
       {kAlternative, kAlternativeDelimiter, utf8 ? kTextPlainUtf8 : kTextPlain,
        utf8 ? kBase64Encoding : kSevenBit, kCrLf}) {
    if (!error) error = out.Write(piece);
  }
  if (!error) error = LineLimiter(out).Write(text);
  if (!error && !out.EndsWithCrLf()) error = out.Write(kCrLf);
  if (!error) error = out.Write(kAlternativeDelimiter);
  if (!error && !images.empty()) error = out.Write(kRelated);
  if (!error && !images.empty()) error = out.Write(kRelatedDelimiter);
  for (std::string_view piece : {kTextHtml, kBase64Encoding, kCrLf}) {
    if (!error) error = out.Write(piece);
  }
  if (!error) error = out.Write(Utf8BodyText(html.html, false));
  for (std::size_t k = 0; k < images.size() && !error; ++k) {
    const PlannedFile& f = images[k];
    if (!out.EndsWithCrLf()) error = out.Write(kCrLf);
    for (std::string_view piece :
         {kRelatedDelimiter, std::string_view(f.head), kBase64Encoding, kCrLf}) {
      if (!error) error = out.Write(piece);
    }
    if (!error) error = out.WriteFileBase64(*f.file);
    if (error && !out.WriteFailed()) return Unreadable("inline image", html.images[k], *error);
  }
  if (!error && !out.EndsWithCrLf()) error = out.Write(kCrLf);
  if (!error && !images.empty()) error = out.Write(kRelatedClosing);
  if (!error) error = out.Write(kAlternativeClosing);
  if (error) return WriteFailure(*error);
  return std::nullopt;
}

}  // namespace

Status AddBinaryFile(MessageWriter& out, const std::string& text, FileListArray& list,
                     std::int16_t& count, WorkFolder& files, MessageCharset charset,
                     const HtmlAlternative* html) {
  const std::size_t n = ListCount(count);
  std::vector<PlannedFile> planned;
  if (Status s = PlanFiles(list, n, "attachment", true, files, planned, charset)) return s;
  std::vector<PlannedFile> images;
  if (html) {
    if (Status s = PlanImages(*html, files, files.UnicodeNames(), charset, images)) return s;
  }
  const bool utf8 = charset == MessageCharset::Utf8;
  const std::string_view textPlain = utf8 ? kTextPlainUtf8 : kTextPlain;
  const std::string_view textEncoding = utf8 ? kBase64Encoding : kSevenBit;

  const bool extraCrLf = n > 1;
  std::uint64_t total = kMultipart.size() + kDelimiter.size() + textPlain.size() +
                        textEncoding.size() + kCrLf.size() + text.size() + kClosing.size();
  for (const PlannedFile& f : planned) {
    total += (extraCrLf ? kCrLf.size() : 0) + kDelimiter.size() + f.head.size() +
             kBase64Encoding.size() + kCrLf.size() +
             Base64LinesLength(static_cast<std::size_t>(f.file->Size()));
  }
  out.Reserve(total);

  IoError error;
  if (html) {
    for (std::string_view piece : {kMultipart, kDelimiter}) {
      if (!error) error = out.Write(piece);
    }
    if (error) return WriteFailure(*error);
    if (Status s = WriteAlternative(out, text, charset, *html, images)) return s;
  } else {
    for (std::string_view piece : {kMultipart, kDelimiter, textPlain, textEncoding, kCrLf}) {
      if (!error) error = out.Write(piece);
    }
    if (!error) error = LineLimiter(out).Write(text);
  }
  for (std::size_t k = 0; k < planned.size() && !error; ++k) {
    const PlannedFile& f = planned[k];
    if (extraCrLf) error = out.Write(kCrLf);
    for (std::string_view piece : {kDelimiter, std::string_view(f.head), kBase64Encoding, kCrLf}) {
      if (!error) error = out.Write(piece);
    }
    if (!error) error = out.WriteFileBase64(*f.file);
    if (error && !out.WriteFailed()) return Unreadable("attachment", list[k + 1], *error);
  }
  if (!error) error = out.Write(kClosing);
  if (error) return WriteFailure(*error);
  return std::nullopt;
}

Status AddMultiFile(MessageWriter& out, const std::string& /*text*/, FileListArray& list,
                    std::int16_t& count, WorkFolder& files) {
  const std::size_t n = ListCount(count);
  std::vector<PlannedFile> planned;
  if (Status s = PlanFiles(list, n, "part file", false, files, planned)) return s;

  // Each part is read whole by the text-file rule before it is written; a
  // part's text is at most its file size plus a final CR LF. Its lines are
  // kept within the limit like the body's (a server would refuse or break
  // a longer one, and a break inside ISO-2022-JP text would garble it).
  IoError error = out.Write(kMultipart);
  std::string part;
  for (std::size_t k = 1; k <= n && !error; ++k) {
    error = out.Write(kDelimiter);
    if (error) break;
    if (IoError reason = ReadTextFile(files, list[k], part)) {
      return Unreadable("part file", list[k], *reason);
    }
    error = LineLimiter(out).Write(part);
    if (!error) error = out.Write(kCrLf);
  }
  if (!error) error = out.Write(kClosing);
  if (error) return WriteFailure(*error);
  return std::nullopt;
}

Status AddHtmlAlternative(MessageWriter& out, const std::string& text, MessageCharset charset,
                          const HtmlAlternative& html, WorkFolder& files, bool unicodeNames) {
  std::vector<PlannedFile> images;
  if (Status s = PlanImages(html, files, unicodeNames, charset, images)) return s;
  if (Status s = WriteAlternative(out, text, charset, html, images)) return s;
  if (IoError error = out.Write(kEndOfData)) return WriteFailure(*error);
  return std::nullopt;
}

}  // namespace tolvex
