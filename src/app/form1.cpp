// Run control: start-up, the schedule, the sends, the captions, the end of the run.
#include "app/form1.hpp"

#include <algorithm>
#include <utility>

#include "api/mail_api.hpp"
#include "app/exit_status.hpp"
#include "app/japanese_texts.hpp"
#include "app/load_job.hpp"
#include "command/command_file.hpp"
#include "compose/message.hpp"
#include "compose/message_charset.hpp"
#include "smtp/log_record.hpp"

namespace tolvex {

namespace {

constexpr char kIdleCaption[] = "Tolvex";

// The reply's first line, for a one-line failure report.
std::string_view FirstLine(std::string_view text) {
  return text.substr(0, text.find_first_of("\r\n"));
}

}  // namespace

Failure DeliveryFailure(const DeliveryEnd& end) {
  std::string line = CleanServerText(FirstLine(end.text));
  if (line.empty()) line = "(no reply)";
  return Failure{FailureKind::DeliveryFailed,
                 "delivery failed in state " + std::to_string(StepNumber(end.step)) + ": " + line};
}

int RunForm(PlatformBundle& platform) {
  Form1 form(platform);
  return platform.loop.Run(form, [&form] { form.Form_Load(); });
}

int RunFlush(PlatformBundle& platform) {
  Form1 form(platform, true);
  return platform.loop.Run(form, [&form] { form.Form_Load(); });
}

Form1::Form1(PlatformBundle& platform, bool flushOnly)
    : SessionDriver(session_, platform.socket),
      p_(platform),
      session_(SessionPorts{st_, Connection(), p_.tmrSMTP, *this}),
      events_(platform.events, platform.folder, platform.display),
      flushOnly_(flushOnly) {}

// ---- start-up ---------------------------------------------------------

void Form1::Form_Load() {
  if (ended_) return;
  p_.window.HideDebugButton();
  p_.tmrSMTP.SetEnabled(false);
  p_.tmrWait.SetEnabled(false);
  p_.tmrMore.SetEnabled(false);
  WindowSocketEffects effects(p_.window, p_.socket);
  if (Status failure = LoadJob(st_, JobMode::Run, effects, p_)) {
    Abort(*failure);
    return;
  }
  events_.wanted = st_.Events;
  for (const std::string& note : st_.TextNotices) p_.window.ReportNotice(note);
  if (st_.CharsetLost > 0) p_.window.ReportNotice(CharsetLostNote(st_.CharsetLost));
  SetPorts(st_, p_.socket);
  Connection().Tunnel(&st_.Submit.proxy, st_.Submit.host, st_.Submit.RemotePort());
  if (flushOnly_) {  // --flush: the kept mail at once, nothing composed
    if (!SendKeptFirst()) AfterKeptMail();
    return;
  }
  SetTimerEX();
}

void Form1::SetTimerEX() {
  if (st_.WaitMinutes <= 0) {
    Timer_SET();
  } else {
    p_.tmrWait.SetEnabled(true);
  }
}

void Form1::tmrWait_Timer() {
  if (ended_) return;
  if (retry_.Waiting()) {  // after the start delay the timer counts retry waits
    RetryTick();
    return;
  }
  --st_.WaitMinutes;
  p_.window.SetCaption(kWaitPrefix + std::to_string(st_.WaitMinutes) + kWaitSuffix);
  if (st_.WaitMinutes == 0) {
    p_.tmrWait.SetEnabled(false);
    Timer_SET();
  }
}

void Form1::Timer_SET() {
  if (st_.MoreInterval > 0) p_.tmrMore.SetEnabled(true);
  StartSend();
}

// ---- the sending cycle ------------------------------------------------

void Form1::StartSend() {
  const bool runEnds = st_.MoreCount < 1 && st_.MoreInterval > 0;
  if (session_.Running()) {
    // Restarting would cut the running delivery off: what fell due waits
    // for its end (RunPending), decided now by the counts as they are now.
    if (runEnds) {
      endPending_ = true;
    } else {
      ++pendingSends_;
    }
    return;
  }
  // The send that ends a repeating run is never made: composing it could
  // only report a failure for mail that was not due.
  if (runEnds) {
    p_.window.SetCaption(kSendingCaption);
    EndProc();
    return;
  }
  BeginSend();
}

bool Form1::BeginSend() {
  if (retry_.Waiting()) {  // a message still waiting is kept before it is replaced
    p_.tmrWait.SetEnabled(false);
    ends_.Undelivered(FailureClass::Temporary, st_.Submit.Extended());
    KeepUndelivered();
  }
  if (SendKeptFirst()) return true;
  st_.StampLines = StampLines(p_.clock.Now(), st_.FromAddr, st_.LocalName, messageIds_);
  if (Status failure = ReadCommandFileEx(st_, p_.files)) {
    // Nothing partial goes out; the run goes on as after a delivery.
    NoteFailure(*failure);
    if (st_.RetryOn) messageLost_ = true;
    if (st_.MoreInterval == 0) EndProc();
    return false;
  }
  retry_.NewMessage(st_.RetryCount);
  messageOpen_ = true;
  firstTried_ = p_.clock.Now();
  if (StartAttempt()) return true;
  if (st_.MoreInterval == 0) EndProc();
  return false;
}

Status Form1::ObtainToken(FailureClass& failureClass) {
  Status failure = tokens_.Obtain(st_.Submit, p_.https, p_.clock, &p_.signIns, &p_.crypto);
  // Without repeats, retries, a backup server or kept mail no later send
  // needs the client secret or the key.
  if (st_.MoreInterval <= 0 && !st_.RetryOn && st_.Submit.hosts.empty() && !kept_) {
    st_.Submit.oauth.clientSecret.Wipe();
    st_.Submit.oauth.privateKey.Wipe();
  }
  if (!failure) return std::nullopt;
  const oauth::TokenFailure how = tokens_.LastFailure();
  // The run's end (a signal, the window closed) is on its way as an event
  // of its own: it does the clean-up.
  if (how == oauth::TokenFailure::Cancelled) {
    failure->kind = FailureKind::Interrupted;
    return failure;
  }
  failureClass =
      how == oauth::TokenFailure::ForNow ? FailureClass::Temporary : FailureClass::Permanent;
  // No connection is made: the record and the end of the delivery as for
  // a session that failed at once.
  p_.window.SetCaption(kSendingCaption);
  LogSession(SmtpStep::OAUTH_TOKEN, failure->message);
  return failure;
}

// #VIA: one blocking request hands the message to the API; its end is a
// delivery's end like a session's. One given up because the run is ending
// is left to the run's end (an event of its own), unlogged.
bool Form1::SendByApi() {
  p_.window.SetCaption(kSendingCaption);
  tokenRequest_ = true;
  const std::optional<DeliveryEnd> end =
      MessageGoing() ? api::SendByApi(p_.https, st_)
                     : DeliveryEnd{SmtpStep::API_REQUEST, FailureClass::Temporary,
                                   "the kept message could not be marked as being sent"};
  if (!end) return true;
  tokenRequest_ = false;
  LogSession(end->step, end->Delivered() ? std::string_view() : std::string_view(end->text));
  DeliveryEnded(*end);
  return true;
}

void Form1::RunPending() {
  while (!ended_ && !session_.Running()) {
    if (pendingSends_ > 0) {
      --pendingSends_;
      BeginSend();
    } else {
      if (endPending_) EndProc();
      return;
    }
  }
}

void Form1::tmrMore_Timer() {
  if (ended_) return;
  p_.window.SetCaption(kMorePrefix + std::to_string(st_.MoreCount) + kMoreSuffix);
  if (MoreTick > 1) --MoreTick;
  if (MoreTick == 1) {
    StartSend();
    if (ended_) return;
    MoreTick = static_cast<std::int16_t>(st_.MoreInterval + 1);
    --st_.MoreCount;
  }
  if (MoreTick == 0) {
    MoreTick = st_.MoreInterval;
    --st_.MoreCount;
  }
}

void Form1::tmrSMTP_Timer() {
  SessionDriver::tmrSMTP_Timer();
  if (ended_) return;
  const auto percent = [this] {
    const SmtpSession::MessageProgress sent = session_.MessageSent();
    return PercentSent(sent.sent, sent.total);
  };
  if (auto caption = progress_.Tick(session_.SendingMessage(), percent)) {
    p_.window.SetCaption(*caption);
  }
}

// ---- the session's record and end ------------------------------------

void Form1::LogSession(SmtpStep endStep, std::string_view reply) {
  std::string text(reply);
  if (kept_) {  // the kept message's record names its file
    const bool ownLineEnd = text.ends_with("\r\n");
    if (ownLineEnd) text.resize(text.size() - 2);
    text += (text.empty() ? "(kept " : " (kept ") + kept_->eml + ")";
    if (ownLineEnd) text += "\r\n";
  }
  const std::string record = FormatLogRecord(p_.clock.LogDateTime(), endStep, text);
  if (IoError error = p_.files.Append(kLogFileName, record)) {
    NoteFailure(
        Failure{FailureKind::LogWriteFailed,
                std::string("cannot write the log record to ") + kLogFileName + ": " + *error});
  }
}

void Form1::DeliveryEnded(const DeliveryEnd& end) {
  events_.DeliveryEnded(end);
  // A percentage gives way to the sending caption, as the send left it.
  if (progress_.Stop()) p_.window.SetCaption(kSendingCaption);
  if (FailOver(end)) return;
  if (kept_) {
    KeptDeliveryEnded(end);
    return;
  }
  if (st_.RetryOn) {
    if (AfterAttempt(end)) return;  // a retry is awaited
  } else if (st_.QueueLine && end.Temporary()) {
    KeepAfterOnlyAttempt(end);
  } else if (!end.Delivered()) {
    p_.window.ReportFailure(DeliveryFailure(end));
    ends_.DeliveryFailed(end.failure, end.ExitByClass(st_.Submit.Extended()));
  }
  if (!st_.RetryOn) messageOpen_ = false;
  // With no repeat interval, the end of a delivery is the end of the run.
  if (st_.MoreInterval == 0) {
    EndProc();
    return;
  }
  if (end.catchAll) p_.window.SetCaption(kIdleCaption);
  RunPending();
}

void Form1::Notice(std::string_view text) { p_.window.ReportNotice(std::string(text)); }

// ---- the end of the run -----------------------------------------------

void Form1::NoteFailure(const Failure& failure) {
  p_.window.ReportFailure(failure);
  ends_.Failed(failure.kind);
}

// Start-up failures touch no work file, but what start-up added (the tray
// icon of "#FOR=tray") goes.
void Form1::Abort(const Failure& failure) {
  ended_ = true;
  ends_.Failed(failure.kind);
  p_.window.ReportFailure(failure);
  DeleteTaskTrayIcon();
  p_.window.EndProcess(ends_.ExitStatus());
}

void Form1::Finish(bool removeTrayIcon, std::optional<int> cutOff) {
  if (ended_) return;
  ended_ = true;
  if (cutOff) ends_.CutOff(*cutOff);
  if (removeTrayIcon) DeleteTaskTrayIcon();
  CleanUpWorkFiles();
  p_.window.EndProcess(ends_.ExitStatus());
}

void Form1::EndProc() { Finish(true); }

void Form1::DeleteTaskTrayIcon() { p_.window.DeleteTrayIcon(); }

void Form1::CleanUpWorkFiles() {
  // A file already gone is fine; nothing else can be done about one that
  // will not go at the very end. With retries command.txt goes only when
  // every message of the run was delivered or kept: it is the last copy of
  // one that was neither. A message the server has accepted is delivered,
  // though its session was cut off.
  const bool open = messageOpen_ && !session_.MessageAccepted();
  if (flushOnly_) return;  // --flush composed nothing and owns no work file
  const bool messageOnlyThere = (st_.RetryOn || st_.QueueLine) && (open || messageLost_);
  if (st_.DeleteCommandFile && !messageOnlyThere) p_.files.Remove(kCommandFileName);
  p_.files.Remove(kSpoolNewName);
  p_.files.Remove(kSpoolFileName);
}

std::optional<int> Form1::UserEnd() {
  const bool cutOff = session_.Running() || tokenRequest_;
  EndWait();
  if (!cutOff) return std::nullopt;
  return kExitInterrupted;
}

void Form1::menuExit_Click() { Finish(true, UserEnd()); }

// Closing the window ends the program with its last window; the tray icon
// is left as it is.
void Form1::Form_Unload() { Finish(false, UserEnd()); }

void Form1::Terminate(int exitCode) {
  EndWait();
  Finish(true, exitCode);
}

}  // namespace tolvex
