// The tick-driven SMTP client: one delivery of MailData per session, one
// step per tmrSMTP tick, moved on by the socket's events, and one LOG.txt
// record at the end of every session.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "app/failure.hpp"
#include "app/platform.hpp"
#include "app/run_state.hpp"

namespace tolvex {

// State numbers held in RunState::smtpSTEP.
namespace smtp {
inline constexpr std::int16_t IDLE = 0;
inline constexpr std::int16_t smtpSTART = 100;
inline constexpr std::int16_t AWAIT_CONNECTION = 110;
inline constexpr std::int16_t CONFARM_CONNECTION = 115;
inline constexpr std::int16_t AWAIT_GREETING = 120;
inline constexpr std::int16_t AWAIT_HELLO_TRANSFER = 125;
inline constexpr std::int16_t AWAIT_HELLO_RESPONSE = 130;
inline constexpr std::int16_t AWAIT_MAIL_FROM_TRANSFER = 135;
inline constexpr std::int16_t AWAIT_MAIL_FROM_RESPONSE = 140;
inline constexpr std::int16_t AWAIT_RCPT_TO_TRANSFER = 145;
inline constexpr std::int16_t AWAIT_RCPT_TO_RESPONSE = 150;
inline constexpr std::int16_t AWAIT_DATA1_TRANSFER = 155;
inline constexpr std::int16_t AWAIT_DATA_RESPONSE = 160;
inline constexpr std::int16_t AWAIT_DATA_TRANSFER = 170;
inline constexpr std::int16_t AWAIT_DATA_TRANSFER_RESPONSE = 180;
inline constexpr std::int16_t AWAIT_QUIT_TRANSFER = 190;
inline constexpr std::int16_t AWAIT_QUIT_RESPONSE = 200;
inline constexpr std::int16_t EXIT = 210;
inline constexpr std::int16_t FAILED = 999;

// Ticks a state may stay unchanged before the session is abandoned.
inline constexpr std::int16_t kStepTickLimit = 1200;
}  // namespace smtp

inline constexpr char kLogFileName[] = "LOG.txt";
inline constexpr char kIdleCaption[] = "Tolvex";

// What the session needs from the main window.
class SessionHost {
 public:
  virtual ~SessionHost() = default;
  // A session has been logged and closed: smtpSTEP is 0 and tmrSMTP off.
  // `endStep` is the state it ended in (0 = delivered), `reply` the text
  // logged with it, `logStatus` the outcome of writing the log record.
  virtual void DeliveryEnded(std::int16_t endStep, std::string_view reply,
                             const Status& logStatus) = 0;
  virtual void EndProc() = 0;
  virtual bool Ended() const = 0;
  virtual void SetCaption(const std::string& caption) = 0;
};

struct SessionPorts {
  RunState& st;
  Socket& socket;
  Timer& tmrSMTP;
  Clock& clock;
  std::filesystem::path workDir;
  SessionHost& host;
};

class SmtpSession {
 public:
  explicit SmtpSession(SessionPorts ports);

  // Begins a session: smtpSTEP := 100, first recipient, tmrSMTP enabled.
  void Start();

  // One tick. Returns true when the session finished (smtpEROR ran) in it.
  bool tmrSMTP_Timer();
  void WSOCK_Connect();
  void WSOCK_DataArrival(std::int32_t bytesWaiting);
  void WSOCK_SendComplete();

  // A session is under way: not idle, or the timer still has to run the
  // finishing step.
  bool Running() const;

  std::int16_t LastStepValue() const { return LastStep; }
  std::int16_t StepTicksValue() const { return StepTicks; }
  std::int16_t RcptIndexValue() const { return RcptIndex; }

 private:
  void SendData(std::string text);
  void SendMessage();
  void smtpEROR();
  // Reply checks on RecvData: its first three characters, or anywhere.
  bool ReplyStartsWith(std::string_view code) const;
  bool ReplyContains(std::string_view code) const;

  SessionPorts p_;
  std::int16_t LastStep = 0;
  std::int16_t StepTicks = 0;
  std::int16_t RcptIndex = 1;
};

// Appends one record: date-time, state, reply as held, CR LF.
Status AppendLogRecord(const std::filesystem::path& workDir, const std::string& dateTime,
                       std::int16_t step, std::string_view reply);

}  // namespace tolvex
