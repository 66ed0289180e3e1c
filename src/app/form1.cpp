#include "app/form1.hpp"

#include <algorithm>
#include <limits>
#include <system_error>
#include <utility>

#include "compose/message.hpp"

namespace tolvex {

namespace {

// Captions, code page 932.
constexpr char kSendingCaption[] = "Tolvex(\x91\x97\x90\x4D\x92\x86)";  // Tolvex(送信中)
constexpr char kWaitPrefix[] = "\x91\xD2\x8E\x9E\x8A\xD4=";             // 待時間=
constexpr char kWaitSuffix[] = "\x95\xAA";                              // 分
constexpr char kMorePrefix[] = "\x8C\x4A\x95\xD4=";                     // 繰返=
constexpr char kMoreSuffix[] = "\x89\xF1";                              // 回

// The reply's first line, for a one-line failure report.
std::string_view FirstLine(std::string_view text) {
  return text.substr(0, text.find_first_of("\r\n"));
}

}  // namespace

Form1::Form1(FormPorts ports)
    : p_(std::move(ports)),
      host_(*this),
      session_(SessionPorts{st_, p_.socket, p_.tmrSMTP, p_.clock, p_.workDir, host_}) {}

// ---- start-up ---------------------------------------------------------

void Form1::Form_Load() {
  if (ended_) return;
  p_.window.HideDebugButton();
  p_.tmrSMTP.SetEnabled(false);
  p_.tmrWait.SetEnabled(false);
  p_.tmrMore.SetEnabled(false);
  st_.DeleteCommandFile = false;
  st_.FromAddr = "DummySender";
  if (Status failure = ReadCommandFile(st_, *this, p_.workDir)) {
    Abort(*failure);
    return;
  }
  // The repeat countdown is reset to MoreInterval + 1 after each send.
  if (st_.MoreInterval == std::numeric_limits<std::int16_t>::max()) {
    Abort(Failure{FailureKind::CommandFileBad,
                  "command.txt: #TER value 32767 is too large (at most 32766)"});
    return;
  }
  p_.socket.SetLocalPort(0);
  p_.socket.SetRemotePort(25);
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
  BeginSend();
  if (!ended_ && runEnds) EndProc();
}

bool Form1::BeginSend() {
  if (Status failure = ReadCommandFileEx(st_, p_.workDir)) {
    // Nothing partial goes out; the run goes on as after a delivery.
    NoteFailure(*failure);
    if (st_.MoreInterval == 0) EndProc();
    return false;
  }
  session_.Start();
  p_.window.SetCaption(kSendingCaption);
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

// ---- SMTP events ------------------------------------------------------

void Form1::tmrSMTP_Timer() {
  if (ended_) return;
  if (session_.tmrSMTP_Timer()) RunPending();
}

void Form1::WSOCK_Connect() {
  if (!ended_) session_.WSOCK_Connect();
}

void Form1::WSOCK_DataArrival(std::int32_t bytesWaiting) {
  if (!ended_) session_.WSOCK_DataArrival(bytesWaiting);
}

void Form1::WSOCK_SendComplete() {
  if (!ended_) session_.WSOCK_SendComplete();
}

void Form1::Host::DeliveryEnded(std::int16_t endStep, std::string_view reply,
                                const Status& logStatus) {
  if (logStatus) form_.NoteFailure(*logStatus);
  if (endStep != smtp::IDLE) {
    std::string line(FirstLine(reply));
    if (line.empty()) line = "(no reply)";
    form_.NoteFailure(Failure{FailureKind::DeliveryFailed,
                              "delivery failed in state " + std::to_string(endStep) + ": " + line});
  }
}

void Form1::Host::EndProc() { form_.EndProc(); }
bool Form1::Host::Ended() const { return form_.ended_; }
void Form1::Host::SetCaption(const std::string& caption) { form_.p_.window.SetCaption(caption); }

// ---- the end of the run -----------------------------------------------

void Form1::NoteFailure(const Failure& failure) {
  p_.window.ReportFailure(failure);
  // The higher code wins: a file that could not be written (73) outranks a
  // refused delivery (69).
  exitStatus_ = std::max(exitStatus_, ExitCodeFor(failure.kind));
}

void Form1::Abort(const Failure& failure) {
  ended_ = true;
  exitStatus_ = ExitCodeFor(failure.kind);
  p_.window.ReportFailure(failure);
  p_.window.EndProcess(exitStatus_);
}

void Form1::Finish(int exitCode, bool removeTrayIcon) {
  if (ended_) return;
  ended_ = true;
  exitStatus_ = exitCode;
  if (removeTrayIcon) DeleteTaskTrayIcon();
  CleanUpWorkFiles();
  p_.window.EndProcess(exitCode);
}

void Form1::EndProc() { Finish(exitStatus_, true); }

void Form1::DeleteTaskTrayIcon() { p_.window.DeleteTrayIcon(); }

void Form1::CleanUpWorkFiles() {
  std::error_code ignored;  // a file already gone is fine
  if (st_.DeleteCommandFile) std::filesystem::remove(p_.workDir / kCommandFileName, ignored);
  std::filesystem::remove(p_.workDir / kSpoolFileName, ignored);
}

void Form1::menuExit_Click() {
  Finish(session_.Running() ? kExitInterrupted : exitStatus_, true);
}

void Form1::Form_Unload() {
  // Closing the window ends the program with its last window; the tray
  // icon is left as it is.
  Finish(session_.Running() ? kExitInterrupted : exitStatus_, false);
}

void Form1::Terminate(int exitCode) { Finish(exitCode, true); }

// ---- CommandEffects ---------------------------------------------------

void Form1::SetRemoteHost(const std::string& host) { p_.socket.SetRemoteHost(host); }
void Form1::ShowMinimized() { p_.window.ShowMinimized(); }
void Form1::HideWindow() { p_.window.Hide(); }
void Form1::SetTaskTrayIcon() { p_.window.AddTrayIcon(); }

}  // namespace tolvex
