// Failures that end or spoil a run, as values the caller can act on.
// Each kind maps to one process exit status (sysexits style).
#pragma once

#include <optional>
#include <string>

namespace tolvex {

enum class FailureKind {
  Usage,              // bad command-line arguments
  CommandFileBad,     // a value or line of command.txt is unusable
  InputMissing,       // command.txt or a file it names cannot be read
  SpoolWriteFailed,   // TEMP.TXT cannot be written
  LogWriteFailed,     // LOG.txt cannot be written
  DeliveryFailed,     // an SMTP session ended in a failure state
  Interrupted,        // ended by the user or a signal during the run
};

struct Failure {
  FailureKind kind;
  std::string message;  // one line, code page 932, names the file or line
};

// Empty when the operation succeeded.
using Status = std::optional<Failure>;

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 64;        // EX_USAGE
inline constexpr int kExitDataErr = 65;      // EX_DATAERR
inline constexpr int kExitNoInput = 66;      // EX_NOINPUT
inline constexpr int kExitUnavailable = 69;  // EX_UNAVAILABLE
inline constexpr int kExitCantCreate = 73;   // EX_CANTCREAT
inline constexpr int kExitInterrupted = 130; // like SIGINT

inline int ExitCodeFor(FailureKind kind) {
  switch (kind) {
    case FailureKind::Usage: return kExitUsage;
    case FailureKind::CommandFileBad: return kExitDataErr;
    case FailureKind::InputMissing: return kExitNoInput;
    case FailureKind::SpoolWriteFailed: return kExitCantCreate;
    case FailureKind::LogWriteFailed: return kExitCantCreate;
    case FailureKind::DeliveryFailed: return kExitUnavailable;
    case FailureKind::Interrupted: return kExitInterrupted;
  }
  return kExitUnavailable;
}

}  // namespace tolvex
