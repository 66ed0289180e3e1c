#include "support/session_rig.hpp"

#include "support/memory_file.hpp"

namespace tolvex::test {

SessionRig::SessionRig(ServerScript script)
    : tmrSMTP(scheduler.AddTimer("tmrSMTP", 100)),
      socket(scheduler, std::move(script)),
      session(SessionPorts{st, socket, tmrSMTP, *this}) {
  socket.Attach(*this);
  scheduler.AddPump([this] { return socket.Deliver(); });
  scheduler.SetHandler(tmrSMTP, [this] {
    inTick = true;
    session.tmrSMTP_Timer();
    inTick = false;
  });
  session.SetTrace([this](SmtpStep, SmtpStep to) { steps.push_back(to); });
  st.FromAddr = "DummySender";
  Recipients({"to@example.jp"});
}

void SessionRig::SetMail(const std::string& message) {
  st.MailData.Assign(std::make_shared<MemoryFile>(message), message.size());
}

void SessionRig::Recipients(const std::vector<std::string>& to) {
  st.ToCount = static_cast<std::int16_t>(to.size());
  for (std::size_t k = 0; k < to.size(); ++k) st.ToAddr[k + 1] = to[k];
}

bool SessionRig::Ended() const { return !host.empty() && host.back().what == "ended"; }

bool SessionRig::RunUntilEnded(Millis limit) {
  const int before = endings;
  scheduler.SetStopCondition([this, before] { return endings > before; });
  scheduler.RunUntil(limit);
  scheduler.SetStopCondition(nullptr);
  return endings > before;
}

std::vector<int> SessionRig::Steps() const {
  std::vector<int> out;
  for (SmtpStep s : steps) out.push_back(StepNumber(s));
  return out;
}

std::vector<std::string> SessionRig::Commands() const {
  std::vector<std::string> out;
  for (const auto& call : socket.calls) {
    if (call.what == "SendData") out.push_back(call.text);
    if (call.what == "SendMessageData") out.push_back("<message>");
  }
  return out;
}

void SessionRig::LogSession(SmtpStep endStep, std::string_view reply) {
  host.push_back(
      {"log", endStep, std::string(reply), false, scheduler.Now(), FailureClass::None, inTick});
}

void SessionRig::DeliveryEnded(const DeliveryEnd& end) {
  host.push_back({"ended", end.step, end.text, end.catchAll, scheduler.Now(), end.failure, inTick,
                  end.accepted});
  ++endings;
}

}  // namespace tolvex::test
