// The multipart remainders: Base64 attachments (AddBinaryFile) and a body
// assembled from part files (AddMultiFile). Every listed file is opened
// before the first byte is written, so a missing file stops the
// composition before any work is done.
#include <algorithm>
#include <vector>

#include "base/sjis_text.hpp"
#include "compose/attachment_head.hpp"
#include "compose/message.hpp"
#include "compose/mime_parts.hpp"
#include "compose/text_file.hpp"
#include "compose/text_functions.hpp"
#include "encoding/jis_convert.hpp"

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
  std::string name;                 // the part after the last backslash
  std::string head;                 // an attachment's Content-Type (and -Disposition) lines
};

// Trims entries 1..count in place and opens each; the first that cannot be
// opened ends the planning.
Status PlanFiles(FileListArray& list, std::size_t count, std::string_view what, bool keepOpen,
                 WorkFolder& files, std::vector<PlannedFile>& planned) {
  planned.reserve(count);
  for (std::size_t k = 1; k <= count; ++k) {
    TrimInPlace(list[k]);
    if (list[k].empty()) return Unreadable(what, list[k], "empty file name");
    IoError error;
    PlannedFile p;
    p.file = files.OpenRead(list[k], error);
    if (!p.file) return Unreadable(what, list[k], *error);
    if (!keepOpen) p.file.reset();
    p.name = FileNameFromPath(list[k]);
    if (keepOpen) p.head = AttachmentTypeLines(p.name);
    planned.push_back(std::move(p));
  }
  return std::nullopt;
}

Failure WriteFailure(std::string_view reason) {
  return Failure{FailureKind::SpoolWriteFailed, "cannot write TEMP.TXT: " + std::string(reason)};
}

}  // namespace

Status AddBinaryFile(MessageWriter& out, const std::string& text, FileListArray& list,
                     std::int16_t& count, WorkFolder& files) {
  const std::size_t n = ListCount(count);
  std::vector<PlannedFile> planned;
  if (Status s = PlanFiles(list, n, "attachment", true, files, planned)) return s;

  const bool extraCrLf = n > 1;
  std::uint64_t total = kMultipart.size() + kDelimiter.size() + kTextPlain.size() +
                        kSevenBit.size() + kCrLf.size() + text.size() + kClosing.size();
  for (const PlannedFile& f : planned) {
    total += (extraCrLf ? kCrLf.size() : 0) + kDelimiter.size() + f.head.size() +
             kBase64Encoding.size() + kCrLf.size() +
             Base64LinesLength(static_cast<std::size_t>(f.file->Size()));
  }
  out.Reserve(total);

  IoError error;
  for (std::string_view piece :
       {kMultipart, kDelimiter, kTextPlain, kSevenBit, kCrLf, std::string_view(text)}) {
    if (!error) error = out.Write(piece);
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
  // part's text is at most its file size plus a final CR LF.
  IoError error = out.Write(kMultipart);
  std::string part;
  for (std::size_t k = 1; k <= n && !error; ++k) {
    error = out.Write(kDelimiter);
    if (error) break;
    if (IoError reason = ReadTextFile(files, list[k], part)) {
      return Unreadable("part file", list[k], *reason);
    }
    error = out.Write(part);
    if (!error) error = out.Write(kCrLf);
  }
  if (!error) error = out.Write(kClosing);
  if (error) return WriteFailure(*error);
  return std::nullopt;
}

}  // namespace tolvex
