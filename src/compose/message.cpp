// Composition of the outgoing message: the head and the plain kind here,
// the multipart remainders in attachments.cpp, and the spool copy TEMP.TXT.
// The message is built completely before TEMP.TXT is touched, so a
// composition that fails leaves the file of the previous send in place.
#include "compose/message.hpp"

#include "compose/mime_parts.hpp"

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

Status WriteSpool(const std::string& mail, WorkFolder& files) {
  IoError error;
  std::unique_ptr<OutputFile> out = files.Create(kSpoolFileName, error);
  if (!out) return SpoolFailure(*error);
  if (!error) error = out->Write(mail);
  if (!error) error = out->Write(kCrLf);
  IoError finished = out->Finish();
  if (!error) error = std::move(finished);
  if (error) return SpoolFailure(*error);
  return std::nullopt;
}

}  // namespace

std::string AddField(const RunState& st) {
  std::string out;
  out.reserve(12 + st.FromAddr.size() + st.ToList.size());
  out.append("From: ").append(st.FromAddr).append(kCrLf);
  out.append("To: ").append(st.ToList).append(kCrLf);
  return out;
}

Status ComposeMessage(RunState& st, WorkFolder& files, MessageWriter& out) {
  const std::string& text = st.BodyText;  // read only, like the local copy
  const bool attach = st.AttachFlag;
  const bool multi = !attach && st.MultiFlag;
  const std::string fields = AddField(st);
  const std::uint64_t head = st.SubjectLine.size() + st.ReplyToLine.size() + fields.size() +
                             st.StampLines.size() + kMimeVersion.size();

  IoError error;
  if (!attach && !multi) {
    out.Reserve(head + kTextPlain.size() + kSevenBit.size() + kXMailer.size() + text.size() +
                st.TextFileData.size() + kCrLf.size() + kEndOfData.size());
    for (std::string_view piece : {std::string_view(st.SubjectLine), std::string_view(st.ReplyToLine),
                                   std::string_view(fields), std::string_view(st.StampLines),
                                   kMimeVersion, kTextPlain, kSevenBit,
                                   kXMailer, std::string_view(text),
                                   std::string_view(st.TextFileData)}) {
      if (!error) error = out.Write(piece);
    }
    if (!error && !out.EndsWithCrLf()) error = out.Write(kCrLf);
    if (!error) error = out.Write(kEndOfData);
    if (error) return SpoolFailure(*error);
    return std::nullopt;
  }
  for (std::string_view piece : {std::string_view(st.SubjectLine), std::string_view(st.ReplyToLine),
                                 std::string_view(fields), std::string_view(st.StampLines),
                                 kMimeVersion, kXMailer}) {
    if (!error) error = out.Write(piece);
  }
  if (error) return SpoolFailure(*error);
  return attach ? AddBinaryFile(out, text, st.FileList, st.FileCount, files)
                : AddMultiFile(out, text, st.FileList, st.FileCount, files);
}

Status ReadCommandFileEx(RunState& st, WorkFolder& files) {
  st.MailData.clear();
  StringWriter out(st.MailData);
  Status status = ComposeMessage(st, files, out);
  if (!status) status = WriteSpool(st.MailData, files);
  if (status) st.MailData.clear();
  return status;
}

}  // namespace tolvex
