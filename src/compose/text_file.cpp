// The text-file reading rule.
#include "compose/text_file.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "base/sjis_text.hpp"
#include "compose/message_charset.hpp"
#include "encoding/source_text.hpp"

namespace tolvex {
namespace {

constexpr std::string_view kCrLf = "\r\n";

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

// Lines of UTF-8 text joined with CR LF, blanks and empty lines at the end
// removed.
std::string NaturalLines(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (std::size_t pos = 0; pos < text.size();) {
    std::size_t end = text.find_first_of("\r\n", pos);
    if (end == std::string_view::npos) end = text.size();
    out.append(text.substr(pos, end - pos));
    if (end == text.size()) break;
    out.append(kCrLf);
    pos = end + 1;
    if (text[end] == '\r' && pos < text.size() && text[pos] == '\n') ++pos;
  }
  while (!out.empty() && std::string_view(" \t\r\n").find(out.back()) != std::string_view::npos)
    out.pop_back();
  return out;
}

}  // namespace

IoError ReadTextFile(WorkFolder& files, std::string_view name, std::string& text) {
  if (name.empty()) return "empty file name";
  IoError error;
  std::unique_ptr<InputFile> file = files.OpenRead(name, error);
  if (!file) return error;
  const std::uint64_t size = file->Size();
  if (size > std::string().max_size() / 2) return "the file is too large";
  const auto capacity = static_cast<std::size_t>(size);
  std::string out;
  out.reserve(capacity + 2);
  TextRuleReader reader(capacity, out);
  std::vector<char> chunk(std::min<std::size_t>(capacity, 64 * 1024));
  for (std::uint64_t at = 0; at < size;) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(size - at, chunk.size()));
    if (IoError e = ReadExactly(*file, at, chunk.data(), n)) return e;
    reader.Feed(std::string_view(chunk.data(), n));
    at += n;
  }
  reader.Finish();
  if (reader.Overflowed()) {
    return "lines end in CR alone; the text does not fit the reading buffer of the file's size";
  }
  const std::string_view trimmed = sjis::Trim(out);
  text.assign(trimmed);
  return std::nullopt;
}

Failure Unreadable(std::string_view what, std::string_view name, std::string_view reason) {
  std::string msg;
  msg.reserve(what.size() + name.size() + reason.size() + 16);
  msg.append("cannot read ").append(what).append(" \"").append(name).append("\": ").append(reason);
  return Failure{FailureKind::InputMissing, std::move(msg)};
}

Failure UndecodableText(std::string_view file, const SourceFault& fault) {
  std::string msg(file);
  msg.append(" line ").append(std::to_string(fault.line)).append(": ").append(fault.what);
  return Failure{FailureKind::CommandFileBad, std::move(msg)};
}

std::string DamagedUtf8Notice(std::string_view file, const SourceFault& fault) {
  std::string note(file);
  note.append(" is probably damaged UTF-8 (line ").append(std::to_string(fault.line));
  note.append(": ").append(fault.what).append("); it is read as Shift_JIS");
  return note;
}

Status ReadDetected(std::string_view what, const std::string& name, WorkFolder& files,
                    SourceText& source) {
  auto fail = [&](std::string_view reason) { return Unreadable(what, name, reason); };
  if (name.empty()) return fail("empty file name");
  IoError error;
  std::unique_ptr<InputFile> file = files.OpenRead(name, error);
  if (!file) return fail(*error);
  if (file->Size() > std::string().max_size() / 4) return fail("the file is too large");
  std::string bytes(static_cast<std::size_t>(file->Size()), '\0');
  if (IoError e = ReadExactly(*file, 0, bytes.data(), bytes.size())) return fail(*e);
  file.reset();
  source = DecodeSource(std::move(bytes));
  if (source.invalid) {
    std::size_t lost = 0;
    const std::string shown = files.UnicodeNames() ? Utf8ToCp932(name, lost) : name;
    return UndecodableText(std::string(what) + " \"" + shown + "\"", *source.invalid);
  }
  return std::nullopt;
}

Status ReadFile(RunState& st, const std::string& name, WorkFolder& files, bool& unicode) {
  unicode = false;
  SourceText source;
  if (Status status = ReadDetected("text file", name, files, source)) return status;
  if (source.damagedUtf8) {
    const std::string shown = files.UnicodeNames() ? name : Cp932ToUtf8Lossy(name);
    st.TextNotices.push_back(DamagedUtf8Notice("text file \"" + shown + "\"", *source.damagedUtf8));
  }
  if (!source.Unicode()) return ReadFile(st, name, files);  // the text-file rule, as ever
  unicode = true;
  st.TextFileData = NaturalLines(source.text);
  return std::nullopt;
}

Status ReadFile(RunState& st, const std::string& name, WorkFolder& files) {
  if (IoError reason = ReadTextFile(files, name, st.TextFileData)) {
    return Unreadable("text file", name, *reason);
  }
  return std::nullopt;
}

}  // namespace tolvex
