// Run control: start-up, the start delay and repeat schedule, the sending
// cycle, the window caption, the end of the run and the clean-up of work
// files. Owns the run state; the platform delivers every event here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/event_report.hpp"
#include "app/exit_status.hpp"
#include "app/kept_mail.hpp"
#include "app/platform_bundle.hpp"
#include "app/retry_plan.hpp"
#include "app/send_progress.hpp"
#include "app/session_driver.hpp"
#include "base/platform.hpp"
#include "base/run_state.hpp"
#include "base/work_folder.hpp"
#include "compose/head_lines.hpp"
#include "oauth/token.hpp"
#include "smtp/failover.hpp"
#include "smtp/smtp_session.hpp"

namespace tolvex {

// The one-line report of a delivery that failed.
Failure DeliveryFailure(const DeliveryEnd& end);

// The run: Form1 on the platform's event loop. Returns the exit status.
int RunForm(PlatformBundle& platform);
// --flush: the same with the kept mail sent and nothing composed.
int RunFlush(PlatformBundle& platform);

// What became of a kept message sent again at a send cycle.
enum class KeptOutcome { Delivered, Waiting, Refused, Expired };

// The tmrSMTP tick and the socket's events reach the session through
// SessionDriver.
class Form1 : public SessionDriver, private SessionHost {
 public:
  // Everything comes from `platform`, which outlives the form.
  explicit Form1(PlatformBundle& platform, bool flushOnly = false);

  // Events delivered by the platform.
  void Form_Load();
  void tmrWait_Timer() override;
  void tmrMore_Timer() override;
  // The session's tick, then the caption's percentage of a long message.
  void tmrSMTP_Timer() override;
  void menuExit_Click() override;
  // The window closed by the user: clean-up, then the process ends.
  void Form_Unload() override;
  // A termination request (a signal on Linux): same clean-up as EndProc,
  // exit status `exitCode`.
  void Terminate(int exitCode) override;

  bool Ended() const override { return ended_; }
  // 0 when every delivery of the run ended normally.
  int ExitStatus() const override { return ends_.ExitStatus(); }

  RunState& State() { return st_; }
  const RunState& State() const { return st_; }
  const SmtpSession& Session() const { return session_; }

 private:
  // SessionHost: the session's record and end, owned here.
  void LogSession(SmtpStep endStep, std::string_view reply) override;
  void DeliveryEnded(const DeliveryEnd& end) override;
  void Notice(std::string_view text) override;
  bool MessageGoing() override;

  void SetTimerEX();
  void Timer_SET();
  void StartSend();
  // Composes and starts one delivery; false when composition failed.
  bool BeginSend();
  // OAuth: the access token for this attempt. A failed request is logged
  // like a delivery that ended in state 105 and returned with its class;
  // one given up because the run is ending comes back Interrupted, unlogged.
  Status ObtainToken(FailureClass& failureClass);
  // #VIA: the attempt by the mail API (true, as a started session).
  bool SendByApi();
  // Runs what fell due during the delivery that just finished.
  void RunPending();
  void EndProc();
  // Retries (form1_retry.cpp): one attempt of the composed message (true:
  // under way, awaited, or cut off by the run's end); what follows an
  // attempt that ended (true: a retry is awaited); a minute of the wait;
  // keeping the message that will not be delivered; the run's end during a
  // wait or an attempt.
  bool StartAttempt();
  bool AfterAttempt(const DeliveryEnd& end);
  void RetryTick();
  void KeepUndelivered(bool refused = false);
  void EndWait();
  // A backup server (form1_failover.cpp): after a session's end, true when
  // the next host of #HOS's list was tried instead (the end is not judged);
  // else the next session goes to the first host again.
  bool FailOver(const DeliveryEnd& end);
  void PointAt(const std::string& host);
  // Kept mail (form1_queue.cpp): sent before the cycle's new message (true:
  // a kept delivery is under way, and the cycle goes on from its end);
  // the next one due (true: under way); the end of its delivery; its fate,
  // delivered, waiting, refused or expired, always decided here; the cycle
  // going on to the new message (or, under --flush, to the end).
  bool SendKeptFirst();
  bool NextKept();
  void KeptDeliveryEnded(const DeliveryEnd& end);
  void KeptEnded(KeptMessage& kept, KeptOutcome outcome, const std::string& text,
                 const DeliveryEnd* end = nullptr);
  void AfterKeptMail();
  // The sidecar of the message just kept; false when it could not be written.
  bool KeepSidecar(std::string& emlName, bool refused);
  // #QUE without #RTY: the message whose only attempt failed for the time
  // being is kept.
  void KeepAfterOnlyAttempt(const DeliveryEnd& end);
  void DeleteTaskTrayIcon();
  void CleanUpWorkFiles();
  void NoteFailure(const Failure& failure);
  // Ends the process without touching any file (start-up failures).
  void Abort(const Failure& failure);
  // The end of the run, cut off (`cutOff`: its status) or not.
  void Finish(bool removeTrayIcon, std::optional<int> cutOff = std::nullopt);
  // The user ends the run: 130 when a delivery or a token request is cut
  // off by it.
  std::optional<int> UserEnd();

  PlatformBundle& p_;
  RunState st_;
  SmtpSession session_;
  oauth::TokenCache tokens_;
  MessageIdMaker messageIds_;
  std::int16_t MoreTick = 0;
  int pendingSends_ = 0;     // repeats that fell due during a delivery
  bool endPending_ = false;  // the run's end fell due during a delivery
  bool ended_ = false;
  RunEnds ends_;  // what the exit status is worked out from
  // The caption's percentage while a long message goes out.
  SendProgress progress_;
  // Retries ("#RTY="): the countdown.
  RetryClock retry_;
  // #HOS's list: the host the session goes to.
  HostCursor hosts_;
  // The attempt's token request or API request is under way, or was given
  // up because the run is ending: the run's end then cuts an attempt off.
  bool tokenRequest_ = false;
  // With retries: the composed message is neither delivered nor kept yet;
  // a message of the run ended neither delivered nor kept (not composed,
  // or keeping it failed). Either keeps command.txt under #DEL.
  bool messageOpen_ = false;
  bool messageLost_ = false;
  // Failures and kept mail where administrators look ("#EVT").
  EventReport events_;
  // Kept mail: --flush; this cycle's kept mail is through; the cycle's
  // kept messages and the next one; the one being sent; the job's own
  // envelope while it goes; the composed message's first try and last
  // failure, for its sidecar.
  bool flushOnly_ = false;
  bool keptPassDone_ = false;
  std::vector<KeptMessage> keptQueue_;
  std::size_t keptNext_ = 0;
  std::optional<KeptMessage> kept_;
  KeptEnvelope ownEnvelope_;
  LocalTime firstTried_;
  int lastState_ = 0;
  std::string lastFailure_;
};

}  // namespace tolvex
