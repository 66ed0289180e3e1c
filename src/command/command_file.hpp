// The interpreter of command.txt: fills the run state and carries out the
// directives that act at once.
#pragma once

#include <filesystem>
#include <string>

#include "app/failure.hpp"
#include "app/run_state.hpp"

namespace tolvex {

inline constexpr char kCommandFileName[] = "command.txt";

// What "#HOS" and "#FOR" do at once, implemented by the main window.
class CommandEffects {
 public:
  virtual ~CommandEffects() = default;
  virtual void SetRemoteHost(const std::string& host) = 0;
  virtual void ShowMinimized() = 0;
  virtual void HideWindow() = 0;
  virtual void SetTaskTrayIcon() = 0;
};

// Reads `workDir`/command.txt into `st`. Stops at the first failure (missing
// file, bad number, unreadable text file, too many recipients); the run
// state is then incomplete and nothing may be sent.
Status ReadCommandFile(RunState& st, CommandEffects& effects, const std::filesystem::path& workDir);

}  // namespace tolvex
