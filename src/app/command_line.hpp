// The command line both programs share: no arguments runs the job of
// command.txt; "--check" shows what would be sent, without sending;
// "--probe" asks the server what it offers, without sending; "--login"
// signs the user in for OAuth once; "--help" and
// "--version" print and exit.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace tolvex {

enum class CommandLineAction { Run, Check, Probe, Login, Help, Version, Error };

struct CommandLine {
  CommandLineAction action = CommandLineAction::Run;
  bool raw = false;   // --check --raw: the exact bytes of the message
  std::string error;  // for Error: what was wrong, one line
};

CommandLine ParseCommandLine(std::span<const std::string_view> args);

// The --help text; `program` is the name to show ("tolvex", "tolvex.exe").
std::string UsageText(std::string_view program);
std::string VersionText(std::string_view program, std::string_view version);

}  // namespace tolvex
