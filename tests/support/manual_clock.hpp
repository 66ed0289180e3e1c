// A clock whose steady seconds move only when a test says so, or by Wait:
// for token lifetimes and deadlines without an event loop; its time of
// day is what a test sets.
#pragma once

#include <cstdint>
#include <string>

#include "base/platform.hpp"

namespace tolvex::test {

struct ManualClock final : Clock {
  std::string LogDateTime() override { return {}; }
  LocalTime Now() override { return wall; }
  std::int64_t SteadySeconds() override { return now; }
  void Wait(std::int64_t seconds) override { now += seconds; }

  std::int64_t now = 1000;
  LocalTime wall;  // what Now says
};

}  // namespace tolvex::test
