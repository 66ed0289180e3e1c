// Process exit statuses (sysexits style) and the failure kind each stands
// for. Only the edge of the program maps kinds to statuses: run control and
// the two main programs.
#pragma once

#include "base/failure.hpp"
#include "smtp/delivery_end.hpp"

namespace tolvex {

inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 64;         // EX_USAGE
inline constexpr int kExitDataErr = 65;       // EX_DATAERR
inline constexpr int kExitNoInput = 66;       // EX_NOINPUT
inline constexpr int kExitUnavailable = 69;   // EX_UNAVAILABLE
inline constexpr int kExitTempFail = 75;      // EX_TEMPFAIL
inline constexpr int kExitProtocol = 76;      // EX_PROTOCOL
inline constexpr int kExitNoPerm = 77;        // EX_NOPERM
inline constexpr int kExitCantCreate = 73;    // EX_CANTCREAT
inline constexpr int kExitInterrupted = 130;  // like SIGINT

constexpr int ExitCodeFor(FailureKind kind) {
  switch (kind) {
    case FailureKind::Usage:
      return kExitUsage;
    case FailureKind::CommandFileBad:
      return kExitDataErr;
    case FailureKind::InputMissing:
      return kExitNoInput;
    case FailureKind::SpoolWriteFailed:
      return kExitCantCreate;
    case FailureKind::LogWriteFailed:
      return kExitCantCreate;
    case FailureKind::DeliveryFailed:
      return kExitUnavailable;
    case FailureKind::Interrupted:
      return kExitInterrupted;
  }
  return kExitUnavailable;
}

// A failed delivery's status. The plain session keeps 69 for every
// failure (batch files test for it); under submission (#SEC or #USR) the
// status tells temporary, refused and out-of-protocol failures apart.
constexpr int DeliveryExitCode(FailureClass failure, bool submission) {
  if (!submission) return kExitUnavailable;
  switch (failure) {
    case FailureClass::Temporary:
      return kExitTempFail;
    case FailureClass::NoPermission:
      return kExitNoPerm;
    case FailureClass::Protocol:
      return kExitProtocol;
    case FailureClass::None:
    case FailureClass::Permanent:
      break;
  }
  return kExitUnavailable;
}

}  // namespace tolvex
