#include "platform/posix/command_line.hpp"

namespace tolvex::posix {

CommandLine ParseCommandLine(std::span<const std::string_view> args) {
  if (args.empty()) return {};
  if (args.size() == 1 && args[0] == "--help") return {CommandLineAction::Help, {}};
  if (args.size() == 1 && args[0] == "--version") return {CommandLineAction::Version, {}};
  for (std::string_view a : args) {
    if (a != "--help" && a != "--version") {
      return {CommandLineAction::Error, "unknown argument '" + std::string(a) + "'"};
    }
  }
  return {CommandLineAction::Error, "too many arguments"};
}

std::string UsageText() {
  return "Usage: tolvex [--help | --version]\n"
         "\n"
         "Sends one mail, once or repeatedly, as described by command.txt in the\n"
         "current directory, to the SMTP server named there (TCP port 25), and\n"
         "ends by itself when its last delivery is done.\n"
         "\n"
         "Files in the current directory:\n"
         "  command.txt  the instructions (Shift_JIS, CR LF); read once at start\n"
         "  LOG.txt      one line appended per delivery: date, time, final state\n"
         "               (0 = delivered) and the server's last reply\n"
         "  TEMP.TXT     a copy of the composed message, removed at the end\n"
         "\n"
         "Exit status:\n"
         "  0        every delivery ended normally\n"
         "  64       bad command-line arguments\n"
         "  65       command.txt holds an unusable value or line\n"
         "  66       command.txt or a file it names cannot be read\n"
         "  69       a delivery failed (see LOG.txt)\n"
         "  73       TEMP.TXT or LOG.txt cannot be written\n"
         "  128+N    ended by signal N (SIGINT, SIGTERM, SIGHUP)\n"
         "\n"
         "The command file is described in README.md.\n";
}

std::string VersionText(std::string_view version) { return "tolvex " + std::string(version) + "\n"; }

}  // namespace tolvex::posix
