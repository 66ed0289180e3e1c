// Which delivery endings are worth another attempt, and when one fits.
#include "app/retry_plan.hpp"

namespace tolvex {
namespace {

// The reply's first digit when it opens with a three-digit code, else 0.
char CodeClass(std::string_view reply) {
  if (reply.size() < 3) return 0;
  for (std::size_t i = 0; i < 3; ++i) {
    if (reply[i] < '0' || reply[i] > '9') return 0;
  }
  return reply[0];
}

}  // namespace

DeliveryOutcome ClassifyDelivery(SmtpStep endStep, std::string_view reply, bool messageAccepted) {
  if (endStep == SmtpStep::IDLE) return DeliveryOutcome::Delivered;
  // A 250 to the message: it is the server's now. Sending it again after a
  // failed QUIT would deliver it twice.
  if (messageAccepted) return DeliveryOutcome::Accepted;
  const char code = CodeClass(reply);
  if (code == '4') return DeliveryOutcome::Temporary;
  if (code == '5') return DeliveryOutcome::Permanent;
  switch (endStep) {
    case SmtpStep::AWAIT_TLS_HANDSHAKE:
      // The network cut the handshake; any other reason (the certificate,
      // the protocol version) would fail the same way again.
      return reply.find("connection closed during handshake") != std::string_view::npos
                 ? DeliveryOutcome::Temporary
                 : DeliveryOutcome::Permanent;
    case SmtpStep::FAILED:
      // Flagged by the time-out or the connect event: no connection, a lost
      // one or a silent server, whatever positive reply came before.
      return DeliveryOutcome::Temporary;
    default:
      // A reply check that failed on a reply without a 4xx code.
      return DeliveryOutcome::Permanent;
  }
}

int TicksToNextSend(std::int16_t moreTick, std::int16_t moreInterval) {
  if (moreTick == 0) return moreInterval;  // the first tick books the first send
  if (moreTick == 1) return 1;
  return moreTick - 1;
}

bool RetryFitsSchedule(int minutes, std::int16_t moreTick, std::int16_t moreInterval) {
  if (moreInterval <= 0) return true;
  return minutes < TicksToNextSend(moreTick, moreInterval);
}

}  // namespace tolvex
