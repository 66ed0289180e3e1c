// Everything the modes need on Windows. A run has the main window Form1
// with its three timers, the Winsock socket on its message loop and Ctrl+C
// in the console; the other modes have a console stand-in for the window
// and a hidden window for the timers and the socket. All have the work
// folder, the user's clock, the Credential Manager's secrets and sign-ins,
// WinHTTP, the browser and the console's output. Winsock is started for
// every mode but --check.
#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>

#include "app/load_job.hpp"
#include "app/platform_bundle.hpp"

namespace tolvex::win {

class WinPlatform {
 public:
  // `showCommand`: how the program was asked to show its window.
  WinPlatform(HINSTANCE instance, int showCommand, JobMode mode)
      : instance_(instance), showCommand_(showCommand), mode_(mode) {}

  // Builds the platform bundle with `workDir` as the work folder and
  // returns what `mode` returns with it; 69 when Winsock or the main
  // window cannot be had.
  int Serve(const std::filesystem::path& workDir, const std::function<int(PlatformBundle&)>& mode);

 private:
  HINSTANCE instance_;
  int showCommand_;
  JobMode mode_;
};

}  // namespace tolvex::win
