// Failures that end or spoil a run, as values the caller can act on. The
// edge of the program (run control, main) turns the kind into an exit status.
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
  SignInFailed,       // an OAuth sign-in or token request failed or was refused
  SignInStoreFailed,  // the sign-in store cannot be written
  Interrupted,        // ended by the user or a signal during the run
};

struct Failure {
  FailureKind kind;
  std::string message;  // one line, code page 932, names the file or line
};

// Empty when the operation succeeded.
using Status = std::optional<Failure>;

}  // namespace tolvex
