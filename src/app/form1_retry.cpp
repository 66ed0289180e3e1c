// Run control's side of "#RTY=": after each attempt, decide between
// done, a retry of the same composed message after a wait counted by
// tmrWait (free once the start delay is over), and keeping the message as
// an .eml file when no attempt is left.
#include <algorithm>
#include <string>

#include "app/exit_status.hpp"
#include "app/form1.hpp"
#include "app/japanese_texts.hpp"
#include "app/undelivered_mail.hpp"

namespace tolvex {
namespace {

std::string RetryCaption(int minutes) {
  return kRetryPrefix + std::to_string(minutes) + kRetrySuffix;
}

}  // namespace

// The composed message (MailData, its spool kept open) goes again as it
// is: nothing is recomposed, so Date, Message-ID and attachments stay.
// Under OAuth each attempt fetches its token first; a failed request ends
// the attempt before any connection (logged in state 105), and under
// "#RTY=" is judged like any other attempt's end.
bool Form1::StartAttempt() {
  if (st_.Submit.UsesOAuth()) {
    FailureClass failureClass = FailureClass::Permanent;
    tokenRequest_ = true;
    Status failure = ObtainToken(failureClass);
    if (failure && failure->kind == FailureKind::Interrupted) return true;
    tokenRequest_ = false;
    if (failure && kept_) {
      KeptDeliveryEnded(DeliveryEnd{SmtpStep::OAUTH_TOKEN, failureClass, failure->message});
      return true;
    }
    if (failure && st_.QueueLine && !st_.RetryOn && failureClass == FailureClass::Temporary) {
      KeepAfterOnlyAttempt(DeliveryEnd{SmtpStep::OAUTH_TOKEN, failureClass, failure->message});
      return false;
    }
    if (failure) {
      // The delivery ended in 105, whatever failed in the sign-in: it is
      // reported and counted as a failed delivery.
      const DeliveryEnd end{SmtpStep::OAUTH_TOKEN, failureClass, failure->message};
      events_.DeliveryEnded(end);
      if (st_.RetryOn) return AfterAttempt(end);
      NoteFailure(Failure{FailureKind::DeliveryFailed, failure->message});
      return false;
    }
  }
  if (st_.Submit.ViaApi()) return SendByApi();
  session_.Start();
  p_.window.SetCaption(kSendingCaption);
  return true;
}

bool Form1::AfterAttempt(const DeliveryEnd& end) {
  if (end.Delivered() || end.accepted) messageOpen_ = false;
  if (end.Delivered()) return false;
  Failure failure = DeliveryFailure(end);
  lastState_ = StepNumber(end.step);
  lastFailure_ = failure.message;
  const std::string attempt = " (attempt " + std::to_string(retry_.Attempt()) + ")";
  if (end.accepted) {
    failure.message += attempt + "; the server had accepted the message, so it is not sent again";
    NoteFailure(failure);
    return false;
  }
  failure.message += attempt;
  if (end.Temporary() && retry_.CanRetry()) {
    // A mail API's Retry-After longer than the interval is waited for.
    const std::int64_t asked = (end.retryAfter + 59) / 60;
    const int minutes = static_cast<int>(std::max<std::int64_t>(st_.RetryMinutes, asked));
    if (pendingSends_ == 0 && !endPending_ &&
        RetryFitsSchedule(minutes, MoreTick, st_.MoreInterval)) {
      retry_.Arm(minutes);
      failure.message +=
          "; trying again in " + std::to_string(minutes) + (minutes == 1 ? " minute" : " minutes");
      p_.window.ReportFailure(failure);
      p_.window.SetCaption(RetryCaption(retry_.MinutesLeft()));
      p_.tmrWait.SetEnabled(true);
      return true;
    }
    failure.message += "; no retry: it would fall at or after the next scheduled send";
  } else if (end.Temporary()) {
    failure.message += "; no retries left";
  } else {
    failure.message += "; a permanent failure, not tried again";
  }
  p_.window.ReportFailure(failure);
  // Under submission a refused AUTH or certificate (77) and a protocol
  // error (76) keep their own statuses.
  ends_.Undelivered(end.failure, end.ExitByClass(st_.Submit.Extended()));
  KeepUndelivered(end.failure == FailureClass::Permanent && end.step != SmtpStep::OAUTH_TOKEN);
  return false;
}

void Form1::RetryTick() {
  const bool due = retry_.Tick();
  p_.window.SetCaption(RetryCaption(retry_.MinutesLeft()));
  if (!due) return;
  p_.tmrWait.SetEnabled(false);
  // False: the attempt ended in its token request and was judged there
  // (the message kept when no retry follows).
  if (!StartAttempt() && st_.MoreInterval == 0) EndProc();
}

void Form1::KeepAfterOnlyAttempt(const DeliveryEnd& end) {
  const Failure failure = DeliveryFailure(end);
  lastState_ = StepNumber(end.step);
  lastFailure_ = failure.message;
  p_.window.ReportFailure(failure);
  ends_.Undelivered(FailureClass::Temporary, st_.Submit.Extended());
  KeepUndelivered();
}

void Form1::KeepUndelivered(bool refused) {
  retry_.Cancel();
  if (!messageOpen_) return;
  messageOpen_ = false;
  std::string name;
  Status failure = st_.MailData.Empty()
                       ? Status(Failure{FailureKind::SpoolWriteFailed, "no message to keep"})
                       : SaveUndelivered(p_.files, st_.MailData, p_.clock.Now(), name);
  if (failure) {
    messageLost_ = true;
    NoteFailure(*failure);
    return;
  }
  KeepSidecar(name, refused);
  p_.window.ReportFailure(
      Failure{FailureKind::DeliveryFailed, "the undelivered message is kept as " + name});
  events_.Kept(name);
}

// The run ends before the message's attempts are over: during a wait, or
// during a retry's session before the server took the message.
void Form1::EndWait() {
  if (ended_ || !st_.RetryOn || kept_) return;
  const bool waiting = retry_.Waiting();
  const bool retrying =
      (session_.Running() || tokenRequest_) && retry_.Attempt() > 1 && !session_.MessageAccepted();
  if (!waiting && !retrying) return;
  p_.tmrWait.SetEnabled(false);
  ends_.Undelivered(FailureClass::Temporary, st_.Submit.Extended());
  KeepUndelivered();
}

}  // namespace tolvex
