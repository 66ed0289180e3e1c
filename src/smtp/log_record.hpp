// The LOG.txt record of one session: date and time, the state it ended in
// and the server's last text, then CR LF. The server's text is cleaned
// first, so a reply can neither write a record of its own nor send control
// sequences to whoever reads the log.
#pragma once

#include <string>
#include <string_view>

#include "smtp/smtp_step.hpp"

namespace tolvex {

inline constexpr char kLogFileName[] = "LOG.txt";
// At most this many bytes of the server's text go into a record.
inline constexpr std::size_t kLogTextLimit = 512;

// CR, LF, TAB and every other control byte (below 0x20, and 0x7F) as
// visible escapes ("\r", "\n", "\t", "\x1B"), a lead byte without its
// second byte as "\x95"; the text cut to `limit` bytes on a character
// boundary, "..." marking the cut.
std::string CleanServerText(std::string_view text, std::size_t limit = kLogTextLimit);

// The server's one CR LF at the end of its text stays as it is (the record
// is then followed by an empty line); everything inside is cleaned.
std::string FormatLogRecord(std::string_view dateTime, SmtpStep step, std::string_view reply);

}  // namespace tolvex
