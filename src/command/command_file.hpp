// The interpreter of command.txt: fills the run state and carries out the
// directives that act at once.
#pragma once

#include <string>

#include "base/failure.hpp"
#include "base/platform.hpp"
#include "base/run_state.hpp"
#include "base/work_folder.hpp"
#include "command/command_effects.hpp"

namespace tolvex {

inline constexpr char kCommandFileName[] = "command.txt";

// Reads command.txt into `st` and carries out what acts at once: "#HOS" sets
// the socket's remote host, "#FOR" minimizes or hides the window and adds
// the tray icon. Stops at the first failure (missing file, bad number,
// unreadable text file, too many recipients); the run state is then
// incomplete and nothing may be sent.
Status ReadCommandFile(RunState& st, CommandEffects& effects, WorkFolder& files);

// True for the four-character keywords of the directive section ("#LOC",
// "#TO=", "#PAS", "#CC ", ...); "mail", "cat " and "bin " are not included.
bool IsDirectiveKeyword(std::string_view key);

// "command.txt line N: what", a bad command file.
Failure BadLine(std::size_t lineNo, std::string_view what);

}  // namespace tolvex
