// Composition of the outgoing message: head, body, the multipart kinds and
// the spool copy TEMP.TXT. The message is built completely in MailData
// before TEMP.TXT is touched, so a composition that fails leaves the file of
// the previous send in place.
#include "compose/message.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "compose/attachment_head.hpp"
#include "compose/header_words.hpp"
#include "encoding/jis_convert.hpp"
#include "encoding/sjis_text.hpp"
#include "platform/native_path.hpp"

namespace tolvex {
namespace {

using namespace std::string_view_literals;

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kMimeVersion = "MIME-Version: 1.0\r\n";
constexpr std::string_view kXMailer = "X-Mailer: Tolvex (by RAVONEK)\r\n";
constexpr std::string_view kTextPlain = "Content-Type: text/plain; charset=iso-2022-jp\r\n";
constexpr std::string_view kSevenBit = "Content-Transfer-Encoding: 7bit\r\n";
constexpr std::string_view kEndOfData = ".\r\n";
constexpr std::string_view kBoundaryText = kBoundary;
constexpr std::string_view kMultipartOpen = "Content-Type: multipart/mixed; boundary=";
constexpr std::string_view kBase64Encoding = "Content-Transfer-Encoding: base64\r\n";

// "--" boundary CR LF
constexpr std::size_t kDelimiterLen = 2 + kBoundaryText.size() + 2;
// "Content-Type: multipart/mixed; boundary=" boundary CR LF CR LF
constexpr std::size_t kMultipartLen = kMultipartOpen.size() + kBoundaryText.size() + 4;
// CR LF "--" boundary "--" CR LF "." CR LF
constexpr std::size_t kClosingLen = 2 + 2 + kBoundaryText.size() + 2 + 2 + kEndOfData.size();

void AppendDelimiter(std::string& out) { out.append("--"sv).append(kBoundaryText).append(kCrLf); }

void AppendMultipartDeclaration(std::string& out) {
  out.append(kMultipartOpen).append(kBoundaryText).append(kCrLf).append(kCrLf);
}

void AppendClosing(std::string& out) {
  out.append(kCrLf).append("--"sv).append(kBoundaryText).append("--"sv).append(kCrLf);
  out.append(kEndOfData);
}

// Checks that `path` names a regular file that can be opened for reading;
// gives its size in bytes, or the reason it cannot be read.
// Opens a file by its native path (wide on Windows) with C stdio, which
// reports the reason in errno.
std::FILE* OpenFile(const std::filesystem::path& path, bool write) {
#ifdef _WIN32
  return ::_wfopen(path.c_str(), write ? L"wb" : L"rb");
#else
  return std::fopen(path.c_str(), write ? "wb" : "rb");
#endif
}

struct FileCheck {
  std::uintmax_t size = 0;
  std::optional<std::string> reason;
};

FileCheck CheckReadable(std::string_view name, const std::filesystem::path& path) {
  FileCheck r;
  if (name.empty()) {
    r.reason = "empty file name";
    return r;
  }
  std::error_code ec;
  std::filesystem::file_status st = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(st)) {
    r.reason = ec ? ec.message() : std::generic_category().message(ENOENT);
    return r;
  }
  if (std::filesystem::is_directory(st)) {
    r.reason = "is a folder";
    return r;
  }
  std::FILE* f = OpenFile(path, false);
  if (f == nullptr) {
    r.reason = std::generic_category().message(errno);
    return r;
  }
  std::fclose(f);
  r.size = std::filesystem::file_size(path, ec);
  if (ec) r.reason = ec.message();
  return r;
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// The text-file reading rule. The file's bytes are split into lines at CR LF
// or a CR alone (an LF alone stays inside its line); each line is copied
// with CR LF into a buffer of N characters, N being the file size in bytes,
// and the result is trimmed. A double-byte character takes one character of
// the buffer, which leaves spare room for a final CR LF that the file lacks.
class TextRuleReader {
 public:
  TextRuleReader(std::size_t capacity, std::string& out) : capacity_(capacity), out_(out) {}

  // Feeds the next bytes of the file.
  void Feed(std::string_view bytes) {
    for (char ch : bytes) {
      if (pendingCr_) {
        pendingCr_ = false;
        EndLine();
        if (ch == '\n') continue;
      }
      if (ch == '\r') {
        pendingCr_ = true;
        continue;
      }
      Content(ch);
    }
  }

  void Finish() {
    if (pendingCr_ || lineOpen_) {
      pendingCr_ = false;
      EndLine();
    }
  }

  // True when a line, or part of one, did not fit into the buffer: possible
  // only when lines end in CR alone, since each such line grows by one.
  bool Overflowed() const { return overflow_; }

 private:
  void BeginLine() {
    if (chars_ >= capacity_) overflow_ = true;
    lineOpen_ = true;
  }

  void Content(char ch) {
    if (!lineOpen_) BeginLine();
    unsigned char b = static_cast<unsigned char>(ch);
    if (trailPending_) {
      // second byte of a double-byte character: same buffer character
      trailPending_ = false;
      if (keep_) out_.push_back(ch);
      return;
    }
    keep_ = chars_ < capacity_;
    if (!keep_) {
      overflow_ = true;
    } else {
      ++chars_;
      out_.push_back(ch);
    }
    trailPending_ = sjis::IsLeadByte(b);
  }

  // A line's CR LF is cut silently when the buffer is full: if another line
  // follows, BeginLine reports the overflow; if none does, only the last
  // line's CR LF went for lack of spare room, as the rule has it.
  void EndLine() {
    if (!lineOpen_) BeginLine();  // an empty line
    trailPending_ = false;
    for (char ch : kCrLf) {
      if (chars_ == capacity_) break;
      ++chars_;
      out_.push_back(ch);
    }
    lineOpen_ = false;
  }

  std::size_t capacity_;
  std::string& out_;
  std::size_t chars_ = 0;
  bool pendingCr_ = false;
  bool lineOpen_ = false;
  bool trailPending_ = false;
  bool keep_ = true;
  bool overflow_ = false;
};

// Reads `path` by the text-file reading rule into `text`; on failure returns
// the reason and leaves `text` unchanged.
std::optional<std::string> ReadByTextRule(std::string_view name, const std::filesystem::path& path,
                                          std::string& text) {
  FileCheck check = CheckReadable(name, path);
  if (check.reason) return check.reason;
  FilePtr f(OpenFile(path, false));
  if (!f) return std::generic_category().message(errno);

  std::size_t capacity = static_cast<std::size_t>(check.size);
  std::string out;
  out.reserve(capacity + 2);
  TextRuleReader reader(capacity, out);
  std::vector<char> chunk(std::min<std::size_t>(capacity + 1, 64 * 1024));
  for (;;) {
    std::size_t got = std::fread(chunk.data(), 1, chunk.size(), f.get());
    reader.Feed(std::string_view(chunk.data(), got));
    if (got < chunk.size()) {
      if (std::ferror(f.get())) return std::generic_category().message(errno);
      break;
    }
  }
  reader.Finish();
  if (reader.Overflowed()) {
    return "lines end in CR alone; the text does not fit the reading buffer of the file's size";
  }
  std::string_view trimmed = sjis::Trim(out);
  if (trimmed.empty()) {
    out.clear();
  } else if (trimmed.size() != out.size()) {
    std::size_t lead = static_cast<std::size_t>(trimmed.data() - out.data());
    out.erase(lead + trimmed.size());
    out.erase(0, lead);
  }
  text = std::move(out);
  return std::nullopt;
}

Failure Unreadable(std::string_view what, std::string_view name, std::string_view reason) {
  std::string msg;
  msg.reserve(what.size() + name.size() + reason.size() + 16);
  msg.append("cannot read ").append(what).append(" \"").append(name).append("\": ").append(reason);
  return Failure{FailureKind::InputMissing, std::move(msg)};
}

std::size_t ListCount(std::int16_t count) {
  return static_cast<std::size_t>(std::clamp<int>(count, 0, kMaxFiles));
}

void TrimInPlace(std::string& s) {
  std::string_view t = sjis::Trim(s);
  if (t.size() == s.size()) return;
  s = std::string(t);
}

struct PlannedFile {
  std::filesystem::path path;
  std::string name;  // the part after the last backslash
  std::uintmax_t size = 0;
};

// Trims entries 1..count in place and checks that each names a readable
// file, before anything is appended.
Status PlanFiles(FileListArray& list, std::size_t count, std::string_view what,
                 const std::filesystem::path& workDir, std::vector<PlannedFile>& planned) {
  planned.clear();
  planned.reserve(count);
  for (std::size_t k = 1; k <= count; ++k) {
    TrimInPlace(list[k]);
    PlannedFile p;
    p.path = list[k].empty() ? workDir : NativePath(workDir, list[k]);
    FileCheck check = CheckReadable(list[k], p.path);
    if (check.reason) return Unreadable(what, list[k], *check.reason);
    p.name = FileNameFromPath(list[k]);
    p.size = check.size;
    planned.push_back(std::move(p));
  }
  return std::nullopt;
}

Status WriteSpool(const std::string& mail, const std::filesystem::path& workDir) {
  std::filesystem::path path = workDir / kSpoolFileName;
  auto fail = [](int err) {
    return Failure{FailureKind::SpoolWriteFailed,
                   std::string("cannot write ") + kSpoolFileName + ": " + std::generic_category().message(err)};
  };
  std::FILE* f = OpenFile(path, true);
  if (f == nullptr) return fail(errno);
  bool ok = std::fwrite(mail.data(), 1, mail.size(), f) == mail.size() &&
            std::fwrite(kCrLf.data(), 1, kCrLf.size(), f) == kCrLf.size();
  int err = ok ? 0 : errno;
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok) return fail(err != 0 ? err : EIO);
  return std::nullopt;
}

}  // namespace

std::string AddField(const RunState& st) {
  std::string out = EncodeAddressField("From:", st.FromAddr);
  out.append(kCrLf).append(EncodeAddressField("To:", st.ToList)).append(kCrLf);
  return out;
}

Status ReadCommandFileEx(RunState& st, const std::filesystem::path& workDir) {
  const std::string& text = st.BodyText;  // read only, like the local copy
  const bool attach = st.AttachFlag;
  const bool multi = !attach && st.MultiFlag;
  std::string fields = AddField(st);

  st.MailData.clear();
  std::string& mail = st.MailData;
  std::size_t head = st.SubjectLine.size() + st.ReplyToLine.size() + fields.size() + kMimeVersion.size();
  Status status;
  if (!attach && !multi) {
    mail.reserve(head + kTextPlain.size() + kSevenBit.size() + kXMailer.size() + text.size() +
                 st.TextFileData.size() + kCrLf.size() + kEndOfData.size());
    mail.append(st.SubjectLine).append(st.ReplyToLine).append(fields).append(kMimeVersion);
    mail.append(kTextPlain).append(kSevenBit).append(kXMailer);
    mail.append(text).append(st.TextFileData);
    if (!mail.ends_with(kCrLf)) mail.append(kCrLf);
    mail.append(kEndOfData);
  } else {
    // The multipart remainder reserves room for the whole message itself.
    mail.append(st.SubjectLine).append(st.ReplyToLine).append(fields).append(kMimeVersion);
    mail.append(kXMailer);
    status = attach ? AddBinaryFile(st, text, st.FileList, st.FileCount, workDir)
                    : AddMultiFile(st, text, st.FileList, st.FileCount, workDir);
  }
  if (!status) status = WriteSpool(mail, workDir);
  if (status) mail.clear();
  return status;
}

Status AddBinaryFile(RunState& st, const std::string& text, FileListArray& list, std::int16_t& count,
                     const std::filesystem::path& workDir) {
  const std::size_t n = ListCount(count);
  std::vector<PlannedFile> files;
  if (Status s = PlanFiles(list, n, "attachment", workDir, files)) return s;

  std::string& mail = st.MailData;
  const std::size_t extraCrLf = n > 1 ? kCrLf.size() : 0;
  std::vector<std::string> heads;  // Content-Type (and Content-Disposition) lines
  heads.reserve(files.size());
  for (const PlannedFile& f : files) heads.push_back(AttachmentTypeLines(f.name));
  std::size_t total = mail.size() + kMultipartLen + kDelimiterLen + kTextPlain.size() + kSevenBit.size() +
                      kCrLf.size() + text.size() + kClosingLen;
  for (const PlannedFile& f : files) {
    total += extraCrLf + kDelimiterLen + heads[static_cast<std::size_t>(&f - files.data())].size() +
             kBase64Encoding.size() + kCrLf.size() + Base64LinesLength(static_cast<std::size_t>(f.size));
  }
  mail.reserve(total);

  AppendMultipartDeclaration(mail);
  AppendDelimiter(mail);
  mail.append(kTextPlain).append(kSevenBit).append(kCrLf).append(text);
  for (const PlannedFile& f : files) {
    if (extraCrLf) mail.append(kCrLf);
    AppendDelimiter(mail);
    mail.append(heads[static_cast<std::size_t>(&f - files.data())]);
    mail.append(kBase64Encoding).append(kCrLf);
    if (Status s = AppendFileBase64(f.path, mail)) {
      return Unreadable("attachment", list[static_cast<std::size_t>(&f - files.data()) + 1], s->message);
    }
  }
  AppendClosing(mail);
  return std::nullopt;
}

Status AddMultiFile(RunState& st, const std::string& /*text*/, FileListArray& list, std::int16_t& count,
                    const std::filesystem::path& workDir) {
  const std::size_t n = ListCount(count);
  std::vector<PlannedFile> files;
  if (Status s = PlanFiles(list, n, "part file", workDir, files)) return s;

  std::string& mail = st.MailData;
  // A part's text is at most its file size plus a final CR LF.
  std::size_t total = mail.size() + kMultipartLen + kClosingLen;
  for (const PlannedFile& f : files) total += kDelimiterLen + static_cast<std::size_t>(f.size) + 4;
  mail.reserve(total);

  AppendMultipartDeclaration(mail);
  std::string part;
  for (std::size_t k = 1; k <= n; ++k) {
    AppendDelimiter(mail);
    if (auto reason = ReadByTextRule(list[k], files[k - 1].path, part)) {
      return Unreadable("part file", list[k], *reason);
    }
    mail.append(part).append(kCrLf);
  }
  AppendClosing(mail);
  return std::nullopt;
}

Status ReadTextFile(const std::filesystem::path& path, std::string& text) {
  // The name shown is the path as the system spells it.
  std::string shown = path.string();
  if (auto reason = ReadByTextRule(shown, path, text)) return Unreadable("text file", shown, *reason);
  return std::nullopt;
}

Status ReadFile(RunState& st, const std::string& name, const std::filesystem::path& workDir) {
  std::filesystem::path path = name.empty() ? workDir : NativePath(workDir, name);
  if (auto reason = ReadByTextRule(name, path, st.TextFileData)) return Unreadable("text file", name, *reason);
  return std::nullopt;
}

}  // namespace tolvex
