#include "app/program.hpp"

#include "app/command_line.hpp"
#include "app/exit_status.hpp"

namespace tolvex {

int RunProgram(const std::vector<std::string_view>& args, std::string_view program,
               std::string_view version, std::string_view lineEnd, ProgramHost& host) {
  const CommandLine cl = ParseCommandLine(args);
  switch (cl.action) {
    case CommandLineAction::Help:
      host.WriteOut(UsageText(program));
      return kExitOk;
    case CommandLineAction::Version:
      host.WriteOut(VersionText(program, version));
      return kExitOk;
    case CommandLineAction::Error: {
      std::string text = "tolvex: ";
      text.append(cl.error).append(lineEnd).append("Try '").append(program);
      host.WriteError(text.append(" --help'.").append(lineEnd));
      return kExitUsage;
    }
    case CommandLineAction::Check:
      return host.Check(cl.raw);
    case CommandLineAction::Probe:
      return host.Probe();
    case CommandLineAction::Login:
      return host.Login();
    case CommandLineAction::Run:
      break;
  }
  return host.Run();
}

}  // namespace tolvex
