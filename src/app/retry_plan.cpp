// When a retry fits the repeat schedule.
#include "app/retry_plan.hpp"

namespace tolvex {
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
