// The text-file reading rule, shared by the text file of "#TEX" / "cat "
// (ReadFile) and the part files of a parts-from-files message: lines copied
// with CR LF into a buffer of N characters, N being the file's size in
// bytes, then trimmed. Such files are small by nature; the buffer is their
// size, allocated once.
#pragma once

#include <string>
#include <string_view>

#include "base/failure.hpp"
#include "base/run_state.hpp"
#include "base/work_folder.hpp"
#include "encoding/source_text.hpp"

namespace tolvex {

// Reads the named file by the rule into `text`; on failure `text` is left
// as it was and the reason is returned.
IoError ReadTextFile(WorkFolder& files, std::string_view name, std::string& text);

// Loads the named file into st.TextFileData.
Status ReadFile(RunState& st, const std::string& name, WorkFolder& files);

// The text of "#TEX" and "cat " by the detection rule: a Shift_JIS file by
// the text-file rule above (code page 932 bytes), a UTF-8 or UTF-16 file as
// UTF-8 by the natural rule (lines joined with CR LF, trailing blanks and
// empty lines at the end removed); `unicode` says which. A file whose BOM
// it belies is refused (UndecodableText); a Shift_JIS one that looks like
// damaged UTF-8 adds a notice to st.TextNotices.
Status ReadFile(RunState& st, const std::string& name, WorkFolder& files, bool& unicode);

// The named file's text by the detection rule (DecodeSource); a file that
// cannot be read, or whose BOM it belies, is refused naming it as `what`
// ("text file").
Status ReadDetected(std::string_view what, const std::string& name, WorkFolder& files,
                    SourceText& source);

// "cannot read <what> "<name>": <reason>", as an InputMissing failure.
Failure Unreadable(std::string_view what, std::string_view name, std::string_view reason);

// A file whose BOM says UTF-8 or UTF-16 but that holds a sequence that is
// no character: "<file> line <n>: <what>", a CommandFileBad failure.
// `file` is code page 932 text ("command.txt", "text file "x.txt"").
Failure UndecodableText(std::string_view file, const SourceFault& fault);

// The notice for a file read as Shift_JIS that looks like damaged UTF-8
// (UTF-8 text; `file` as for UndecodableText, but UTF-8).
std::string DamagedUtf8Notice(std::string_view file, const SourceFault& fault);

}  // namespace tolvex
