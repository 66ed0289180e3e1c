// Run control: start-up, the start delay and repeat schedule, the sending
// cycle, the window caption, the end of the run and the clean-up of work
// files. Owns the run state; the platform delivers every event here.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "app/platform.hpp"
#include "app/run_state.hpp"
#include "command/command_file.hpp"
#include "smtp/smtp_session.hpp"

namespace tolvex {

struct FormPorts {
  Window& window;
  Socket& socket;
  Timer& tmrWait;   // 60 000 ms
  Timer& tmrMore;   // 60 000 ms
  Timer& tmrSMTP;   // 100 ms
  Clock& clock;
  std::filesystem::path workDir;  // command.txt, TEMP.TXT and LOG.txt live here
};

class Form1 : public SocketEvents, public CommandEffects {
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
  void menuExit_Click();
  // The window closed by the user: clean-up, then the process ends.
  void Form_Unload();
  // A termination request (a signal on Linux): same clean-up as EndProc,
  // exit status `exitCode`.
  void Terminate(int exitCode);

  bool Ended() const { return ended_; }
  // 0 when every delivery of the run ended normally.
  int ExitStatus() const { return exitStatus_; }

  RunState& State() { return st_; }
  const RunState& State() const { return st_; }

  // CommandEffects
  void SetRemoteHost(const std::string& host) override;
  void ShowMinimized() override;
  void HideWindow() override;
  void SetTaskTrayIcon() override;

 private:
  // The session's view of the window: failure bookkeeping, end, caption.
  class Host : public SessionHost {
   public:
    explicit Host(Form1& form) : form_(form) {}
    void DeliveryEnded(std::int16_t endStep, std::string_view reply,
                       const Status& logStatus) override;
    void EndProc() override;
    bool Ended() const override;
    void SetCaption(const std::string& caption) override;

   private:
    Form1& form_;
  };

  void SetTimerEX();
  void Timer_SET();
  void StartSend();
  // Composes and starts one delivery; false when composition failed.
  bool BeginSend();
  // Runs what fell due during the delivery that just finished.
  void RunPending();
  void EndProc();
  void DeleteTaskTrayIcon();
  void CleanUpWorkFiles();
  void NoteFailure(const Failure& failure);
  // Ends the process without touching any file (start-up failures).
  void Abort(const Failure& failure);
  void Finish(int exitCode, bool removeTrayIcon);

  FormPorts p_;
  RunState st_;
  Host host_;
  SmtpSession session_;
  std::int16_t MoreTick = 0;
  int pendingSends_ = 0;     // repeats that fell due during a delivery
  bool endPending_ = false;  // the run's end fell due during a delivery
  bool ended_ = false;
  int exitStatus_ = 0;
};

}  // namespace tolvex
