// Run control: start-up, the start delay and repeat schedule, the sending
// cycle, the window caption, the end of the run and the clean-up of work
// files. Owns the run state; the platform delivers every event here.
#pragma once

#include <filesystem>
#include <string>

#include "app/platform.hpp"
#include "app/run_state.hpp"
#include "command/command_file.hpp"

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
  void SetTimerEX();
  void Timer_SET();
  void StartSend();
  void EndProc();
  void DeleteTaskTrayIcon();
  void CleanUpWorkFiles();
  void NoteFailure(const Failure& failure);

  // SMTP session (state machine over st_.smtpSTEP).
  void SendData(std::string text);
  void smtpEROR();

  FormPorts p_;
  RunState st_;
  std::int16_t MoreTick = 0;
  std::int16_t LastStep = 0;
  std::int16_t StepTicks = 0;
  std::int16_t RcptIndex = 1;
  bool pendingSend_ = false;  // a repeat fell due during a delivery
  bool ended_ = false;
  int exitStatus_ = 0;
};

}  // namespace tolvex
