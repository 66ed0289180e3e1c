// Composition of the outgoing message (MailData) and its spool copy
// TEMP.TXT, for the plain, attachment and parts-from-files kinds.
#pragma once

#include <cstdint>
#include <string>

#include "base/failure.hpp"
#include "base/run_state.hpp"
#include "base/work_folder.hpp"
#include "compose/message_writer.hpp"

namespace tolvex {

inline constexpr char kBoundary[] = "BoUnDaRy_StRiNg_Ich_Liebe_Dich";
inline constexpr char kSpoolFileName[] = "TEMP.TXT";

// "From: " FromAddr CR LF "To: " ToList CR LF.
std::string AddField(const RunState& st);

// Builds MailData from the run state, then writes TEMP.TXT (MailData and
// one CR LF). File names in FileList are opened through `files`. On
// failure MailData is left empty and TEMP.TXT untouched.
Status ReadCommandFileEx(RunState& st, WorkFolder& files);

// Compose the message into `out` without writing TEMP.TXT.
Status ComposeMessage(RunState& st, WorkFolder& files, MessageWriter& out);

// Write the multipart remainder of the message to `out`; trim the list
// entries in place. Every listed file is opened before anything is written.
Status AddBinaryFile(MessageWriter& out, const std::string& text, FileListArray& list,
                     std::int16_t& count, WorkFolder& files);
Status AddMultiFile(MessageWriter& out, const std::string& text, FileListArray& list,
                    std::int16_t& count, WorkFolder& files);

}  // namespace tolvex
