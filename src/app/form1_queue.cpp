// Run control's side of kept mail: the messages kept in undelivered/ with
// a sidecar are sent at the start of each send cycle, before the new
// message is composed (or alone under --flush), one session each over the
// job's transport, server and credentials; each one's fate goes through
// KeptEnded.
#include <string>

#include "app/form1.hpp"
#include "app/kept_mail.hpp"
#include "app/undelivered_mail.hpp"

namespace tolvex {
namespace {

// The message itself is refused (a 5xx to the envelope or the data), not
// the job's sign-in, certificate or a protocol slip: only then is a kept
// message given up.
bool RefusesMessage(const DeliveryEnd& end) {
  return end.failure == FailureClass::Permanent && end.step != SmtpStep::OAUTH_TOKEN;
}

constexpr char kSendingMarkLeft[] =
    "it was being sent when a run stopped: the server may have taken it, so it is not sent again";

}  // namespace

bool Form1::SendKeptFirst() {
  if (keptPassDone_) {
    keptPassDone_ = false;
    return false;
  }
  // A job that keeps nothing (neither #RTY nor #QUE) leaves the folder alone.
  const bool keeps = st_.RetryOn || st_.QueueLine;
  if (!flushOnly_ && (st_.QueueDays == 0 || !keeps)) return false;
  KeptScan scan = ScanKept(p_.files);
  for (const std::string& name : scan.unread) {
    p_.window.ReportNotice("the kept message's sidecar " + name +
                           " cannot be read: the message is left as it is");
  }
  keptQueue_ = std::move(scan.messages);
  keptNext_ = 0;
  ownEnvelope_ = EnvelopeOf(st_);
  return NextKept();
}

bool Form1::NextKept() {
  while (!ended_ && keptNext_ < keptQueue_.size()) {
    KeptMessage& kept = keptQueue_[keptNext_++];
    const std::int64_t age = SecondsBetween(kept.sidecar.firstTried, p_.clock.Now());
    if (kept.sidecar.sending) {
      KeptEnded(kept, KeptOutcome::Refused, kSendingMarkLeft);
      continue;
    }
    if (st_.QueueDays > 0 && age > std::int64_t{st_.QueueDays} * 86400) {
      KeptEnded(kept, KeptOutcome::Expired,
                "older than " + std::to_string(st_.QueueDays) + " days, not sent");
      continue;
    }
    IoError error;
    std::shared_ptr<InputFile> file = p_.files.OpenRead(kept.eml, error);
    if (!file) {
      KeptEnded(kept, KeptOutcome::Waiting, "cannot read " + kept.eml + ": " + *error);
      continue;
    }
    // The kept message goes in place of the job's own, which comes back
    // at its end (KeptDeliveryEnded).
    PutEnvelope(kept.sidecar.envelope, st_);
    const std::uint64_t size = file->Size();
    // The .eml holds the message alone: a last line "." is its own.
    st_.MailData.Assign(std::move(file), size, false);
    kept_ = std::move(kept);
    StartAttempt();
    return true;
  }
  return false;
}

void Form1::KeptDeliveryEnded(const DeliveryEnd& end) {
  KeptMessage kept = std::move(*kept_);
  kept_.reset();
  PutEnvelope(ownEnvelope_, st_);
  st_.MailData.Clear();
  ++kept.sidecar.attempts;
  if (end.Delivered() || end.accepted) {
    // Accepted and then cut off: the server has it, it is not sent again.
    KeptEnded(kept, KeptOutcome::Delivered, "");
  } else {
    kept.sidecar.lastState = StepNumber(end.step);
    kept.sidecar.lastFailure = DeliveryFailure(end).message;
    KeptEnded(kept, RefusesMessage(end) ? KeptOutcome::Refused : KeptOutcome::Waiting,
              kept.sidecar.lastFailure, &end);
  }
  if (!NextKept()) AfterKeptMail();
}

void Form1::AfterKeptMail() {
  if (ended_) return;
  if (flushOnly_) {
    EndProc();
    return;
  }
  keptPassDone_ = true;
  BeginSend();
}

void Form1::KeptEnded(KeptMessage& kept, KeptOutcome outcome, const std::string& text,
                      const DeliveryEnd* end) {
  const char* folder = outcome == KeptOutcome::Expired ? kExpiredFolder : kRefusedFolder;
  kept.sidecar.sending = false;
  if (outcome != KeptOutcome::Delivered && !text.empty()) kept.sidecar.lastFailure = text;
  Status failure;
  if (outcome == KeptOutcome::Delivered) {
    failure = RemoveKept(p_.files, kept);
  } else {
    failure = WriteSidecar(p_.files, kept.json, kept.sidecar, true);
    if (!failure && outcome != KeptOutcome::Waiting) failure = MoveKept(p_.files, kept, folder);
  }
  ends_.KeptEnded(outcome == KeptOutcome::Waiting,
                  outcome == KeptOutcome::Refused || outcome == KeptOutcome::Expired);
  if (failure) NoteFailure(*failure);
  switch (outcome) {
    case KeptOutcome::Delivered:
      p_.window.ReportNotice("the kept message " + kept.eml + " is delivered");
      events_.KeptDelivered(kept.eml);
      break;
    case KeptOutcome::Waiting:
      p_.window.ReportFailure(
          Failure{FailureKind::DeliveryFailed, "the kept message " + kept.eml + " waits: " + text});
      break;
    case KeptOutcome::Refused:
    case KeptOutcome::Expired:
      p_.window.ReportFailure(
          Failure{FailureKind::DeliveryFailed,
                  "the kept message " + kept.eml + " is moved to " + folder + "/: " + text});
      if (outcome == KeptOutcome::Expired) {
        events_.KeptExpired(kept.eml);
      } else if (end) {
        events_.KeptRefused(kept.eml, *end);
      } else {
        events_.KeptRefused(kept.eml, text);
      }
      break;
  }
}

// Just before the bytes go (DATA's 354, or the API request), a kept
// message's sidecar is marked "sending", flushed: a run that stops from
// here on leaves the mark, and the next run gives the message up rather
// than risk sending it twice. No mark, no bytes.
bool Form1::MessageGoing() {
  if (!kept_) return true;
  kept_->sidecar.sending = true;
  if (Status failure = WriteSidecar(p_.files, kept_->json, kept_->sidecar, true)) {
    kept_->sidecar.sending = false;
    NoteFailure(*failure);
    return false;
  }
  return true;
}

bool Form1::KeepSidecar(std::string& emlName, bool refused) {
  KeptMessage kept{emlName, SidecarName(emlName), {}};
  kept.sidecar.envelope = EnvelopeOf(st_);
  kept.sidecar.firstTried = firstTried_;
  kept.sidecar.attempts = st_.RetryOn ? retry_.Attempt() : 1;
  kept.sidecar.lastState = lastState_;
  kept.sidecar.lastFailure = lastFailure_;
  Status failure = WriteSidecar(p_.files, kept.json, kept.sidecar, false);
  if (!failure && refused) {
    failure = MoveKept(p_.files, kept, kRefusedFolder);
    if (!failure) emlName = std::string(kRefusedFolder) + emlName.substr(emlName.rfind('/'));
  }
  if (failure) NoteFailure(*failure);
  return !failure;
}

}  // namespace tolvex
