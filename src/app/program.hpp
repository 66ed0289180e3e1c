// The program's modes, chosen from the command line: the usage and version
// texts, a usage error, or one of --check, --probe, --login and the run, which each
// platform's main carries out with its own window, socket and loop.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tolvex {

class ProgramHost {
 public:
  virtual ~ProgramHost() = default;
  virtual void WriteOut(const std::string& text) = 0;
  virtual void WriteError(const std::string& text) = 0;
  virtual int Check(bool raw) = 0;
  virtual int Probe() = 0;
  virtual int Login() = 0;
  virtual int Run() = 0;
};

// Runs the mode `args` ask for and returns the exit status. `program` is
// the name the texts use ("tolvex", "tolvex.exe"), `version` the one
// --version prints, `lineEnd` the error text's line end.
int RunProgram(const std::vector<std::string_view>& args, std::string_view program,
               std::string_view version, std::string_view lineEnd, ProgramHost& host);

}  // namespace tolvex
