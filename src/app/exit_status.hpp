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
    case FailureKind::SignInFailed:
      return kExitUnavailable;
    case FailureKind::SignInStoreFailed:
      return kExitCantCreate;
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

// What the ends of a run come to: each failure, delivery and message that
// ended badly is noted as it ends, and ExitStatus turns them into the run's
// exit status.
class RunEnds {
 public:
  // A failure reported during the run: a message not composed, a file not
  // written, a refused token request, a delivery refused after the server
  // had taken the message.
  constexpr void Failed(FailureKind kind) { worst_ = std::max(worst_, ExitCodeFor(kind)); }
  // A delivery that failed, without "#RTY".
  constexpr void DeliveryFailed(FailureClass failure, bool submission) {
    worst_ = std::max(worst_, DeliveryExitCode(failure, submission));
  }
  // "#RTY": a message finally not delivered (kept, or lost), by the class of
  // its last failure; a temporary one is 75 in the plain session as well.
  constexpr void Undelivered(FailureClass lastFailure, bool submission) {
    undelivered_ = lastFailure == FailureClass::Temporary
                       ? kExitTempFail
                       : DeliveryExitCode(lastFailure, submission);
  }
  // A kept message sent again (or not) at a send cycle or by --flush: still
  // waiting (75), or refused or expired (69); delivered adds nothing.
  constexpr void KeptEnded(bool waiting, bool refused) {
    if (waiting) kept_ = std::max(kept_, kExitTempFail);
    if (refused) kept_ = std::max(kept_, kExitUnavailable);
  }
  // The run cut off by the user (130) or by signal N (128+N).
  constexpr void CutOff(int status) { cutOff_ = status; }

  // The precedence, first match wins:
  // 1. A run cut off says so: 130 or 128+N, whatever else happened.
  // 2. Under "#RTY" the last message finally not delivered decides (75
  //    when its last failure was temporary, else 69, 76 or 77) over the
  //    failures up to 69 (a message not composed, a delivery refused after
  //    the server had taken the message); against a file not written (73)
  //    the higher code wins.
  // 3. Otherwise the highest code of the run's failures wins: a file not
  //    written (73) over a refused delivery (69) over a file not read (66)
  //    or a message not composed (65); under submission a temporary (75),
  //    out-of-protocol (76) or refused (77) delivery over all of them.
  // 4. Kept mail sent again counts beside that: the higher code wins.
  // 0 when nothing failed.
  constexpr int ExitStatus() const {
    if (cutOff_) return *cutOff_;
    return std::max(kept_, OwnStatus());
  }

 private:
  constexpr int OwnStatus() const {
    if (undelivered_ == 0) return worst_;
    if (worst_ <= kExitUnavailable) return undelivered_;
    return std::max(worst_, undelivered_);
  }

  int kept_ = kExitOk;         // kept mail: 75 waiting, 69 refused or expired
  int worst_ = kExitOk;        // the highest code of the failures
  int undelivered_ = kExitOk;  // "#RTY": the last message not delivered
  std::optional<int> cutOff_;
};

}  // namespace tolvex
