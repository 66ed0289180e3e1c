// Which delivery endings are worth another attempt, and when one fits.
#include "app/retry_plan.hpp"

namespace tolvex {
DeliveryOutcome ClassifyDelivery(SmtpStep endStep, FailureClass failure, bool messageAccepted) {
  if (endStep == SmtpStep::IDLE) return DeliveryOutcome::Delivered;
  // A 250 to the message: it is the server's now. Sending it again after a
  // failed QUIT would deliver it twice.
  if (messageAccepted) return DeliveryOutcome::Accepted;
  return failure == FailureClass::Temporary ? DeliveryOutcome::Temporary
                                            : DeliveryOutcome::Permanent;
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
