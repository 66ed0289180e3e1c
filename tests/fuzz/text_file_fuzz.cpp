// The text-file reading rule (ReadTextFile) over an in-memory work folder.
// Input: the file's bytes. The result is compared with a model of the rule
// written here: lines end at CR LF or a CR alone, each is copied with CR LF
// into a buffer of as many characters as the file has bytes (a double-byte
// character takes one), and the text is trimmed.
#include <cstdint>
#include <string>

#include "base/sjis_text.hpp"
#include "compose/text_file.hpp"
#include "encoding/source_text.hpp"
#include "fuzz_check.hpp"
#include "support/memory_folder.hpp"

using namespace tolvex;
using tolvex::fuzz::Escaped;

namespace {

struct Model {
  std::string text;       // before the trim
  bool overflow = false;  // something other than the last line's CR LF did not fit
};

Model ReadByModel(std::string_view file) {
  // The lines, each ended by CR LF; an LF alone stays inside its line.
  std::string lines;
  bool open = false;
  for (std::size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '\r') {
      if (i + 1 < file.size() && file[i + 1] == '\n') ++i;
      lines.append("\r\n");
      open = false;
    } else {
      lines.push_back(file[i]);
      open = true;
    }
  }
  if (open) lines.append("\r\n");
  Model m;
  const std::size_t capacity = file.size();
  std::size_t chars = 0;
  bool lineStarted = false;
  for (std::size_t i = 0; i < lines.size();) {
    if (lines[i] == '\r') {
      const bool last = i + 2 == lines.size();
      // An empty line begins at its CR LF, and no line may begin in a full
      // buffer; the last line's CR LF may be cut (all of it, or its LF).
      if (!lineStarted && chars >= capacity) {
        m.overflow = true;
        return m;
      }
      if (chars + 2 <= capacity) {
        m.text.append("\r\n");
        chars += 2;
      } else if (last) {
        if (chars < capacity) m.text.push_back('\r');
        chars = capacity;
      } else {
        m.overflow = true;
        return m;
      }
      lineStarted = false;
      i += 2;
      continue;
    }
    // A lead byte takes the next byte with it unless the line ends there.
    std::size_t len = 1;
    if (sjis::IsLeadByte(static_cast<unsigned char>(lines[i])) && i + 1 < lines.size() &&
        lines[i + 1] != '\r') {
      len = 2;
    }
    if (chars >= capacity) {
      m.overflow = true;
      return m;
    }
    m.text.append(lines, i, len);
    ++chars;
    lineStarted = true;
    i += len;
  }
  return m;
}

// The text of "#TEX" by the detection rule: a file whose BOM it belies is
// refused naming its line, a Shift_JIS one is read by the rule above (with
// a notice when it looks like damaged UTF-8).
void CheckDetection(test::MemoryFolder& folder, std::string_view file, const IoError& ruleError,
                    const std::string& ruleText) {
  RunState st;
  bool unicode = false;
  const Status read = ReadFile(st, "t.txt", folder, unicode);
  const SourceText source = DecodeSource(file);
  if (source.invalid) {
    FUZZ_CHECK(read && read->kind == FailureKind::CommandFileBad &&
                   read->message.starts_with("text file \"t.txt\" line "),
               Escaped(file));
    return;
  }
  FUZZ_CHECK(unicode == source.Unicode(), Escaped(file));
  FUZZ_CHECK(st.TextNotices.size() == (source.damagedUtf8 ? 1u : 0u), Escaped(file));
  if (source.Unicode()) return;
  FUZZ_CHECK(read.has_value() == ruleError.has_value(), Escaped(file));
  FUZZ_CHECK(read || st.TextFileData == ruleText, Escaped(file));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view file = fuzz::AsText(data, size);
  test::MemoryFolder folder;
  folder.files["t.txt"] = std::string(file);
  std::string text = "untouched";
  const IoError error = ReadTextFile(folder, "t.txt", text);
  CheckDetection(folder, file, error, text);
  const Model model = ReadByModel(file);
  if (error) {
    FUZZ_CHECK(text == "untouched", "a failed read changed the text");
    FUZZ_CHECK(model.overflow, Escaped(file) + ": " + *error);
    return 0;
  }
  FUZZ_CHECK(!model.overflow, Escaped(file) + " read as " + Escaped(text));
  // A line ended by a CR alone grows by its LF; nothing else grows but by
  // the last line's CR LF.
  std::size_t loneCrs = 0;
  for (std::size_t i = 0; i < file.size(); ++i) {
    if (file[i] == '\r' && (i + 1 == file.size() || file[i + 1] != '\n')) ++loneCrs;
  }
  FUZZ_CHECK(text.size() <= file.size() + loneCrs + 2, Escaped(file));
  FUZZ_CHECK(text.empty() || (text.front() != ' ' && text.back() != ' '), Escaped(text));
  const std::string expected(sjis::Trim(model.text));
  FUZZ_CHECK(text == expected,
             Escaped(file) + "\n  read     " + Escaped(text) + "\n  expected " + Escaped(expected));
  return 0;
}
