// Composition of the outgoing message (MailData) and its spool copy
// TEMP.TXT, for the plain, attachment and parts-from-files kinds.
#pragma once

#include <filesystem>
#include <string>

#include "app/failure.hpp"
#include "app/run_state.hpp"
#include "compose/text_functions.hpp"

namespace tolvex {

inline constexpr char kBoundary[] = "BoUnDaRy_StRiNg_Ich_Liebe_Dich";
inline constexpr char kSpoolFileName[] = "TEMP.TXT";

// "From: " FromAddr CR LF "To: " ToList CR LF.
std::string AddField(const RunState& st);

// Builds MailData from the run state, then writes TEMP.TXT in `workDir`
// (MailData and one CR LF). File names in FileList are resolved against
// `workDir`. On failure MailData is left empty and TEMP.TXT untouched.
Status ReadCommandFileEx(RunState& st, const std::filesystem::path& workDir);

// Append the multipart remainder of the message to st.MailData; trim the
// list entries in place. On failure MailData may hold a partial message.
Status AddBinaryFile(RunState& st, const std::string& text, FileListArray& list,
                     std::int16_t& count, const std::filesystem::path& workDir);
Status AddMultiFile(RunState& st, const std::string& text, FileListArray& list,
                    std::int16_t& count, const std::filesystem::path& workDir);

// The text-file reading rule: lines copied with CR LF into a buffer of N
// characters (N = file size in bytes), then trimmed.
Status ReadTextFile(const std::filesystem::path& path, std::string& text);

// Loads the named file into st.TextFileData.
Status ReadFile(RunState& st, const std::string& name, const std::filesystem::path& workDir);

}  // namespace tolvex
