#include "app/program.hpp"

#include <system_error>

#include "app/check_mode.hpp"
#include "app/command_line.hpp"
#include "app/exit_status.hpp"
#include "app/form1.hpp"
#include "app/login_mode.hpp"
#include "app/probe_mode.hpp"

namespace tolvex {

int ProgramHost::RegisterEventLog(std::string_view lineEnd) {
  std::string text =
      "tolvex: --register-eventlog is for Windows; here events go to syslog (ident tolvex, "
      "facility mail), which needs no registration";
  WriteError(text.append(lineEnd));
  return kExitUsage;
}

int RunProgram(const std::vector<std::string_view>& args, std::string_view program,
               const VersionFacts& version, std::string_view lineEnd, ProgramHost& host) {
  const CommandLine cl = ParseCommandLine(args);
  JobMode mode = JobMode::Run;
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
    case CommandLineAction::RegisterEventLog:
      return host.RegisterEventLog(lineEnd);
    case CommandLineAction::Check:
      mode = JobMode::Check;
      break;
    case CommandLineAction::Probe:
      mode = JobMode::Probe;
      break;
    case CommandLineAction::Login:
      mode = JobMode::Login;
      break;
    case CommandLineAction::Run:
    case CommandLineAction::Flush:
      break;
  }
  // Every mode works in the current directory.
  std::error_code ec;
  const std::filesystem::path workDir = std::filesystem::current_path(ec);
  if (ec) {
    std::string text = "tolvex: cannot determine the current directory: " + ec.message();
    host.WriteError(text.append(lineEnd));
    return kExitNoInput;
  }
  const bool flush = cl.action == CommandLineAction::Flush;
  return host.WithPlatform(mode, workDir, [mode, raw = cl.raw, flush](PlatformBundle& p) {
    int status = kExitOk;
    switch (mode) {
      case JobMode::Check:
        status = RunCheck(p, raw);
        break;
      case JobMode::Probe:
        status = RunProbe(p);
        break;
      case JobMode::Login:
        status = RunLogin(p);
        break;
      case JobMode::Run:
        status = flush ? RunFlush(p) : RunForm(p);
        break;
    }
    p.out.flush();
    p.bytes.flush();
    return status;
  });
}

}  // namespace tolvex
