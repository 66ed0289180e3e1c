// The command line of the tolvex program: no arguments runs in the current
// directory; "--help" and "--version" print and exit.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tolvex::posix {

enum class CommandLineAction { Run, Help, Version, Error };

struct CommandLine {
  CommandLineAction action = CommandLineAction::Run;
  std::string error;  // for Error: what was wrong, one line
};

CommandLine ParseCommandLine(std::span<const std::string_view> args);

std::string UsageText();
std::string VersionText(std::string_view version);

}  // namespace tolvex::posix
