// Composition of the outgoing message (MailData) and its spool copy
// TEMP.TXT, for the plain, attachment and parts-from-files kinds.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/failure.hpp"
#include "base/run_state.hpp"
#include "base/work_folder.hpp"
#include "compose/message_writer.hpp"

namespace tolvex {

inline constexpr char kSpoolFileName[] = "TEMP.TXT";
// The spool being written; it replaces TEMP.TXT once complete.
inline constexpr char kSpoolNewName[] = "TEMP.TXT.new";

// "From: " FromAddr CR LF "To: " ToList CR LF, then "Cc: " CcList CR LF
// when the command file names Cc recipients.
std::string AddField(const RunState& st);

// Composes the message from the run state into the spool TEMP.TXT (the
// message and one CR LF) and makes MailData the handle to it. File names in
// FileList are opened through `files`. On failure MailData is left empty
// and TEMP.TXT untouched.
Status ReadCommandFileEx(RunState& st, WorkFolder& files);

// The size of the message in `mail` without the end-of-data line the
// composition puts last (TEMP.TXT keeps it; the session ends the data
// itself). A message without that line is whole.
std::uint64_t MessageSize(const MailSpool& mail, IoError& error);

// Compose the message into `out` without writing TEMP.TXT.
Status ComposeMessage(RunState& st, WorkFolder& files, MessageWriter& out);

// "#HTM": the HTML part (UTF-8) and the folder names of its inline images,
// whose k-th part has the Content-ID InlineImageId(k).
struct HtmlAlternative {
  const std::string& html;
  const std::vector<std::string>& images;
};

// Write the multipart remainder of the message to `out`; trim the list
// entries in place. Every listed file is opened before anything is written.
// The text part and the names are written in `charset`; with `html` the
// first part is the alternative of the text and the HTML.
Status AddBinaryFile(MessageWriter& out, const std::string& text, FileListArray& list,
                     std::int16_t& count, WorkFolder& files,
                     MessageCharset charset = MessageCharset::Iso2022Jp,
                     const HtmlAlternative* html = nullptr);
// The body of a message with "#HTM" and no attachments: the alternative
// and the end-of-data line.
Status AddHtmlAlternative(MessageWriter& out, const std::string& text, MessageCharset charset,
                          const HtmlAlternative& html, WorkFolder& files, bool unicodeNames);
Status AddMultiFile(MessageWriter& out, const std::string& text, FileListArray& list,
                    std::int16_t& count, WorkFolder& files);

}  // namespace tolvex
