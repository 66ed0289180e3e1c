#include "smtp/smtp_session.hpp"

#include <fstream>
#include <utility>

#include "compose/text_functions.hpp"
#include "encoding/sjis_text.hpp"

namespace tolvex {

using namespace smtp;

SmtpSession::SmtpSession(SessionPorts ports) : p_(std::move(ports)) {}

void SmtpSession::Start() {
  p_.st.smtpSTEP = smtpSTART;
  RcptIndex = 1;
  p_.tmrSMTP.SetEnabled(true);
}

bool SmtpSession::Running() const { return p_.st.smtpSTEP != IDLE || p_.tmrSMTP.Enabled(); }

bool SmtpSession::ReplyStartsWith(std::string_view code) const {
  return sjis::LeftChars(p_.st.RecvData, code.size()) == code;
}

bool SmtpSession::ReplyContains(std::string_view code) const {
  return sjis::Find(p_.st.RecvData, code) != sjis::npos;
}

void SmtpSession::SendData(std::string text) {
  p_.st.RecvData.clear();
  p_.st.SendBusy = true;
  p_.socket.SendData(std::move(text));
}

void SmtpSession::SendMessage() {
  p_.st.RecvData.clear();
  p_.st.SendBusy = true;
  p_.socket.SendMessageData(p_.st.MailData);
}

bool SmtpSession::tmrSMTP_Timer() {
  RunState& st = p_.st;

  // Time-out: a state abandoned at the first tick that counts it unchanged
  // more than kStepTickLimit times.
  if (st.smtpSTEP == LastStep) {
    ++StepTicks;
    if (StepTicks > kStepTickLimit) st.smtpSTEP = FAILED;
  } else {
    StepTicks = 0;
  }
  LastStep = st.smtpSTEP;

  const bool waitReply = st.RecvData.empty();
  switch (st.smtpSTEP) {
    case smtpSTART:
      st.smtpSTEP = AWAIT_CONNECTION;
      p_.socket.Connect();
      return false;
    case AWAIT_CONNECTION:
    case CONFARM_CONNECTION:
      return false;
    case AWAIT_GREETING:
      if (waitReply) return false;
      if (!ReplyStartsWith("220")) break;
      SendData("HELO " + st.LocalName + "\r\n");
      st.smtpSTEP = AWAIT_HELLO_TRANSFER;
      return false;
    case AWAIT_HELLO_TRANSFER:
      if (!st.SendBusy) st.smtpSTEP = AWAIT_HELLO_RESPONSE;
      return false;
    case AWAIT_HELLO_RESPONSE:
      if (waitReply) return false;
      if (!ReplyStartsWith("250")) break;
      SendData("MAIL FROM:" + AngleAddress(st.FromAddr) + "\r\n");
      st.smtpSTEP = AWAIT_MAIL_FROM_TRANSFER;
      return false;
    case AWAIT_MAIL_FROM_TRANSFER:
      if (!st.SendBusy) st.smtpSTEP = AWAIT_MAIL_FROM_RESPONSE;
      return false;
    case AWAIT_MAIL_FROM_RESPONSE:
      if (waitReply) return false;
      if (!ReplyStartsWith("250")) break;
      SendData("RCPT TO:" + AngleAddress(st.ToAddr[static_cast<std::size_t>(RcptIndex)]) + "\r\n");
      st.smtpSTEP = AWAIT_RCPT_TO_TRANSFER;
      return false;
    case AWAIT_RCPT_TO_TRANSFER:
      if (!st.SendBusy) st.smtpSTEP = AWAIT_RCPT_TO_RESPONSE;
      return false;
    case AWAIT_RCPT_TO_RESPONSE:
      if (RcptIndex < st.ToCount && RcptIndex < kMaxRecipients) {
        ++RcptIndex;  // its reply is judged in 140 before the next RCPT TO
        st.smtpSTEP = AWAIT_MAIL_FROM_RESPONSE;
        return false;
      }
      if (waitReply) return false;
      if (!ReplyStartsWith("250")) break;
      SendData("DATA\r\n");
      st.smtpSTEP = AWAIT_DATA1_TRANSFER;
      return false;
    case AWAIT_DATA1_TRANSFER:
      if (!st.SendBusy) st.smtpSTEP = AWAIT_DATA_RESPONSE;
      return false;
    case AWAIT_DATA_RESPONSE:
      if (waitReply) return false;
      if (!ReplyStartsWith("354")) break;
      st.smtpSTEP = AWAIT_DATA_TRANSFER;
      SendMessage();
      return false;
    case AWAIT_DATA_TRANSFER:
      if (!st.SendBusy) st.smtpSTEP = AWAIT_DATA_TRANSFER_RESPONSE;
      return false;
    case AWAIT_DATA_TRANSFER_RESPONSE:
      if (waitReply) return false;
      if (!ReplyContains("250")) {
        st.smtpSTEP = FAILED;
        return false;
      }
      SendData("QUIT\r\n");
      st.smtpSTEP = AWAIT_QUIT_TRANSFER;
      return false;
    case AWAIT_QUIT_TRANSFER:
      if (!st.SendBusy) st.smtpSTEP = AWAIT_QUIT_RESPONSE;
      return false;
    case AWAIT_QUIT_RESPONSE:
      if (waitReply) return false;
      st.smtpSTEP = ReplyContains("221") ? EXIT : FAILED;
      return false;
    case EXIT:
      st.smtpSTEP = IDLE;
      st.RecvData.clear();
      return false;
    default:  // idle after a normal end, 999, or any unknown value
      smtpEROR();
      if (!p_.host.Ended()) p_.host.SetCaption(kIdleCaption);
      return true;
  }
  // A reply check of 120-160 failed: finish at once, logging that state.
  // The caption stays as the send left it.
  smtpEROR();
  return true;
}

void SmtpSession::WSOCK_Connect() {
  if (p_.socket.State() != Socket::kStateConnected) p_.st.smtpSTEP = FAILED;
  if (p_.st.smtpSTEP == AWAIT_CONNECTION) p_.st.smtpSTEP = CONFARM_CONNECTION;
}

void SmtpSession::WSOCK_DataArrival(std::int32_t bytesWaiting) {
  p_.socket.GetData(p_.st.RecvData, bytesWaiting);
  if (p_.st.smtpSTEP == CONFARM_CONNECTION) p_.st.smtpSTEP = AWAIT_GREETING;
}

void SmtpSession::WSOCK_SendComplete() { p_.st.SendBusy = false; }

void SmtpSession::smtpEROR() {
  RunState& st = p_.st;
  const std::int16_t endStep = st.smtpSTEP;
  const Status logStatus = AppendLogRecord(p_.workDir, p_.clock.LogDateTime(), endStep, st.RecvData);
  p_.socket.Close();
  st.smtpSTEP = IDLE;
  p_.tmrSMTP.SetEnabled(false);
  p_.host.DeliveryEnded(endStep, st.RecvData, logStatus);
  if (st.MoreInterval == 0) p_.host.EndProc();
}

Status AppendLogRecord(const std::filesystem::path& workDir, const std::string& dateTime,
                       std::int16_t step, std::string_view reply) {
  std::string record;
  record.reserve(dateTime.size() + reply.size() + 16);
  record += dateTime;
  record += ' ';
  record += std::to_string(step);
  record += ' ';
  record += reply;
  record += "\r\n";

  const std::filesystem::path path = workDir / kLogFileName;
  std::ofstream out(path, std::ios::binary | std::ios::app);
  if (out) {
    out.write(record.data(), static_cast<std::streamsize>(record.size()));
    out.close();
  }
  if (!out) {
    return Failure{FailureKind::LogWriteFailed,
                   "cannot write the log record to " + path.string()};
  }
  return std::nullopt;
}

}  // namespace tolvex
