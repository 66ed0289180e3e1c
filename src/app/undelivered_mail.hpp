// Undelivered mail kept: the message of a delivery whose last attempt
// failed, saved as a standard .eml file (the message as composed, without
// the SMTP end-of-data line) that a mail program opens and sends on.
#pragma once

#include <string>

#include "base/failure.hpp"
#include "base/mail_data.hpp"
#include "base/platform.hpp"
#include "base/work_folder.hpp"

namespace tolvex {

inline constexpr char kUndeliveredFolder[] = "undelivered";

// Writes `mail` to undelivered/<yyyymmdd-hhmmss>-<n>.eml, the time `now`
// and n the first number from 1 whose file does not exist yet. The file is
// created new, readable by its owner only, under a temporary name nothing
// else holds; written and flushed to the disk, it is given its own name in
// one step that never replaces another file. `savedName` gets the name on
// success.
Status SaveUndelivered(WorkFolder& files, const MailSpool& mail, const LocalTime& now,
                       std::string& savedName);

}  // namespace tolvex
