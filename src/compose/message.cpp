// Composition of the outgoing message: the head and the plain kind here,
// the multipart remainders in attachments.cpp, and the spool copy TEMP.TXT.
// The message is built completely before TEMP.TXT is touched, so a
// composition that fails leaves the file of the previous send in place.
#include "compose/message.hpp"

#include "compose/header_words.hpp"
#include "compose/intl_address.hpp"
#include "compose/mime_parts.hpp"
#include "compose/utf8_message.hpp"

namespace tolvex {
namespace {

using namespace mime;

Failure SpoolFailure(std::string_view reason) {
  std::string message = "cannot write ";
  message += kSpoolFileName;
  message += ": ";
  message += reason;
  return Failure{FailureKind::SpoolWriteFailed, std::move(message)};
}

}  // namespace

std::string AddField(const RunState& st) {
  // "#CC=": the copy list as written, named like the To: list. Bcc
  // addresses go into no head line.
  // A message that goes only with SMTPUTF8 has its addresses in UTF-8.
  const auto field = [&st](std::string_view name, std::string_view value) {
    if (!st.SmtpUtf8Address.empty()) return Utf8HeadAddressField(name, value, st.Charset);
    return st.Charset == MessageCharset::Utf8 ? Utf8AddressField(name, value)
                                              : EncodeAddressField(name, value);
  };
  std::string out = field("From:", st.FromAddr);
  out.append(kCrLf).append(field("To:", st.ToList)).append(kCrLf);
  if (st.CcCount > 0) out.append(field("Cc:", st.CcList)).append(kCrLf);
  return out;
}

Status ComposeMessage(RunState& st, WorkFolder& files, MessageWriter& out) {
  const std::string& text = st.BodyText;  // read only, like the local copy
  const bool attach = st.AttachFlag;
  const bool multi = !attach && st.MultiFlag;
  const std::string fields = AddField(st);
  const std::uint64_t head = st.SubjectLine.size() + st.ReplyToLine.size() + fields.size() +
                             st.StampLines.size() + kMimeVersion.size();

  const bool utf8 = st.Charset == MessageCharset::Utf8;
  const std::string_view textPlain = utf8 ? kTextPlainUtf8 : kTextPlain;
  const std::string_view textEncoding = utf8 ? kBase64Encoding : kSevenBit;
  IoError error;
  if (!attach && !multi && !st.HtmlFlag) {
    out.Reserve(head + textPlain.size() + textEncoding.size() + kXMailer.size() + text.size() +
                st.TextFileData.size() + kCrLf.size() + kEndOfData.size());
    for (std::string_view piece :
         {std::string_view(st.SubjectLine), std::string_view(st.ReplyToLine),
          std::string_view(fields), std::string_view(st.StampLines), kMimeVersion, textPlain,
          textEncoding, kXMailer}) {
      if (!error) error = out.Write(piece);
    }
    LineLimiter body(out);
    if (!error) error = body.Write(text);
    if (!error) error = body.Write(st.TextFileData);
    if (!error && !out.EndsWithCrLf()) error = out.Write(kCrLf);
    if (!error) error = out.Write(kEndOfData);
    if (error) return SpoolFailure(*error);
    return std::nullopt;
  }
  for (std::string_view piece :
       {std::string_view(st.SubjectLine), std::string_view(st.ReplyToLine),
        std::string_view(fields), std::string_view(st.StampLines), kMimeVersion, kXMailer}) {
    if (!error) error = out.Write(piece);
  }
  if (error) return SpoolFailure(*error);
  const HtmlAlternative html{st.HtmlText, st.HtmlImages};
  if (attach) {
    return AddBinaryFile(out, text, st.FileList, st.FileCount, files, st.Charset,
                         st.HtmlFlag ? &html : nullptr);
  }
  if (st.HtmlFlag) {
    return AddHtmlAlternative(out, text + st.TextFileData, st.Charset, html, files,
                              files.UnicodeNames());
  }
  return AddMultiFile(out, text, st.FileList, st.FileCount, files);
}

std::uint64_t MessageSize(const MailSpool& mail, IoError& error) {
  const std::uint64_t size = mail.Size();
  const std::uint64_t tail = kEndOfData.size();
  if (size < tail || !mail.EndsWithEndOfData()) return size;
  std::string last(tail, '\0');
  error = ReadExactly(*mail.File(), size - tail, last.data(), last.size());
  if (error) return 0;
  // The line before it always ends with CR LF, so ".\r\n" here is that line.
  return last == kEndOfData ? size - tail : size;
}

// The message is written once, into a new spool file next to TEMP.TXT;
// only when all of it is there does the new file replace TEMP.TXT, in one
// rename. A composition that fails part-way removes the new file and leaves
// the previous TEMP.TXT as it was.
Status ReadCommandFileEx(RunState& st, WorkFolder& files) {
  st.MailData.Clear();  // the previous spool is let go before it is replaced
  IoError error;
  std::unique_ptr<OutputFile> file = files.Create(kSpoolNewName, error);
  if (!file) return SpoolFailure(*error);
  SpoolWriter out(*file);
  Status status = ComposeMessage(st, files, out);
  const std::uint64_t size = out.Written();
  if (!status) {
    error = out.Write(kCrLf);
    if (!error) error = out.Flush();
    IoError finished = file->Finish();
    if (!error) error = std::move(finished);
    if (error) status = SpoolFailure(*error);
  }
  file.reset();
  std::shared_ptr<InputFile> spool;
  if (!status) {
    spool = files.OpenRead(kSpoolNewName, error);
    if (!spool) status = SpoolFailure(*error);
  }
  if (!status) {
    if (IoError renamed = files.Replace(kSpoolNewName, kSpoolFileName))
      status = SpoolFailure(*renamed);
  }
  if (status) {
    spool.reset();
    files.Remove(kSpoolNewName);
    return status;
  }
  st.MailData.Assign(std::move(spool), size);
  return std::nullopt;
}

}  // namespace tolvex
