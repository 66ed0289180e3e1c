// The program's modes, chosen from the command line: the usage and version
// texts, a usage error, or one of --check, --probe, --login and the run,
// each given the platform bundle its main builds.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/command_line.hpp"
#include "app/load_job.hpp"
#include "app/platform_bundle.hpp"

namespace tolvex {

class ProgramHost {
 public:
  virtual ~ProgramHost() = default;
  virtual void WriteOut(const std::string& text) = 0;
  virtual void WriteError(const std::string& text) = 0;
  // Builds the platform bundle for `mode` with `workDir` as its work
  // folder and returns what `body` returns with it; when the platform
  // cannot be set up, says why on standard error and returns the status.
  virtual int WithPlatform(JobMode mode, const std::filesystem::path& workDir,
                           const std::function<int(PlatformBundle&)>& body) = 0;
  // --register-eventlog: registers the event source and returns the exit
  // status; only Windows has one to register.
  virtual int RegisterEventLog(std::string_view lineEnd);
};

// Runs the mode `args` ask for and returns the exit status. `program` is
// the name the texts use ("tolvex", "tolvex.exe"), `version` what
// --version prints, `lineEnd` the error text's line end.
int RunProgram(const std::vector<std::string_view>& args, std::string_view program,
               const VersionFacts& version, std::string_view lineEnd, ProgramHost& host);

}  // namespace tolvex
