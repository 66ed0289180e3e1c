// Run control: start-up, the start delay and repeat schedule, the sending
// cycle, the window caption, the end of the run and the clean-up of work
// files. Owns the run state; the platform delivers every event here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/exit_status.hpp"
#include "app/retry_plan.hpp"
#include "app/submission_setup.hpp"
#include "base/platform.hpp"
#include "base/run_state.hpp"
#include "base/work_folder.hpp"
#include "compose/head_lines.hpp"
#include "oauth/token.hpp"
#include "smtp/smtp_session.hpp"

namespace tolvex {

// The checks start-up makes of the run state once the command file is
// read, beyond the interpreter's own: what the schedule cannot hold.
Status ValidateStartUp(const RunState& st);

// The one-line report of a delivery that failed.
Failure DeliveryFailure(const DeliveryEnd& end);

struct FormPorts {
  Window& window;
  Socket& socket;
  Timer& tmrWait;  // 60 000 ms
  Timer& tmrMore;  // 60 000 ms
  Timer& tmrSMTP;  // 100 ms
  Clock& clock;
  WorkFolder& files;  // command.txt, TEMP.TXT and LOG.txt live here
};

class Form1 : public SocketEvents, private SessionHost {
 public:
  explicit Form1(FormPorts ports);

  // Events delivered by the platform.
  void Form_Load();
  void tmrWait_Timer();
  void tmrMore_Timer();
  void tmrSMTP_Timer();
  void WSOCK_Connect() override;
  void WSOCK_DataArrival(std::int32_t bytesWaiting) override;
  void WSOCK_SendComplete() override;
  void WSOCK_Error(const std::string& reason) override;
  void menuExit_Click();
  // The window closed by the user: clean-up, then the process ends.
  void Form_Unload();
  // A termination request (a signal on Linux): same clean-up as EndProc,
  // exit status `exitCode`.
  void Terminate(int exitCode);

  // Where an AUTH secret not in command.txt is looked for (before
  // Form_Load); the process environment unless set.
  void SetSecretSource(SecretSource* secrets) { secrets_ = secrets ? secrets : &processSecrets_; }

  // The HTTPS client for OAuth token requests (before Form_Load).
  void SetHttps(Https* https) { https_ = https; }
  // Where sign-ins of `tolvex --login` are kept (before Form_Load); none:
  // client credentials only.
  void SetSignInStore(SignInStore* signIns) { signIns_ = signIns; }

  bool Ended() const { return ended_; }
  // 0 when every delivery of the run ended normally.
  int ExitStatus() const { return ends_.ExitStatus(); }

  RunState& State() { return st_; }
  const RunState& State() const { return st_; }
  const SmtpSession& Session() const { return session_; }

 private:
  // SessionHost: the session's record and end, owned here.
  void LogSession(SmtpStep endStep, std::string_view reply) override;
  void DeliveryEnded(const DeliveryEnd& end) override;

  void SetTimerEX();
  void Timer_SET();
  void StartSend();
  // Composes and starts one delivery; false when composition failed.
  bool BeginSend();
  // OAuth: the access token for this attempt. A failed request is logged
  // like a delivery that ended in state 105 and returned with its class;
  // one given up because the run is ending comes back Interrupted, unlogged.
  Status ObtainToken(FailureClass& failureClass);
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
  void KeepUndelivered();
  void EndWait();
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

  FormPorts p_;
  RunState st_;
  SmtpSession session_;
  ProcessSecrets processSecrets_;
  SecretSource* secrets_ = &processSecrets_;
  Https* https_ = nullptr;
  SignInStore* signIns_ = nullptr;
  oauth::TokenCache tokens_;
  MessageIdMaker messageIds_;
  std::int16_t MoreTick = 0;
  int pendingSends_ = 0;     // repeats that fell due during a delivery
  bool endPending_ = false;  // the run's end fell due during a delivery
  bool ended_ = false;
  RunEnds ends_;  // what the exit status is worked out from
  // Retries ("#RTY="): the countdown.
  RetryClock retry_;
  // The attempt's token request is under way, or was given up because the
  // run is ending: the run's end then cuts an attempt off.
  bool tokenRequest_ = false;
  // With retries: the composed message is neither delivered nor kept yet;
  // a message of the run ended neither delivered nor kept (not composed,
  // or keeping it failed). Either keeps command.txt under #DEL.
  bool messageOpen_ = false;
  bool messageLost_ = false;
};

}  // namespace tolvex
