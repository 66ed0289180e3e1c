// The caption's percentage while a long message goes out: its text, the
// share sent, and the ticks at which it shows and changes.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "app/send_progress.hpp"

namespace tolvex {
namespace {

const std::string kSending = "Tolvex(\x91\x97\x90\x4D\x92\x86)";

std::string Shown(int percent) {
  return "Tolvex(\x91\x97\x90\x4D\x92\x86 " + std::to_string(percent) + "%)";
}

TEST(SendProgress, TextAndShareSent) {
  EXPECT_EQ(ProgressCaptionText(0), Shown(0));
  EXPECT_EQ(ProgressCaptionText(45), Shown(45));
  EXPECT_EQ(ProgressCaptionText(100), Shown(100));
  struct Share {
    std::uint64_t sent, total;
    int percent;
  };
  const Share shares[] = {
      {0, 200, 0},
      {1, 200, 0},
      {90, 200, 45},
      {91, 200, 45},
      {199, 200, 99},
      {200, 200, 100},
      {230, 200, 100},                                      // doubled dots took it past the count
      {5'000'000'000ULL * 45 / 100, 5'000'000'000ULL, 45},  // past 32 bits
  };
  for (const Share& s : shares) {
    EXPECT_EQ(PercentSent(s.sent, s.total), s.percent) << s.sent << " of " << s.total;
  }
}

// One tick: whether the message is going out, the percentage it has
// reached, and the caption expected then ("" none).
struct Tick {
  bool sending;
  int percent;
  std::string caption;
};

struct TickRun {
  const char* name;
  std::vector<Tick> ticks;
};

const std::vector<TickRun> kRuns = {
    {"out within two ticks: nothing", {{true, 0, ""}, {true, 100, ""}, {false, 100, ""}}},
    {"shown from the third tick, 0% first",
     {{true, 0, ""}, {true, 0, ""}, {true, 0, Shown(0)}, {false, 0, kSending}}},
    {"45%, held back three ticks, then only as it changes",
     {{true, 0, ""},
      {true, 10, ""},
      {true, 20, Shown(20)},
      {true, 45, ""},
      {true, 45, ""},
      {true, 45, Shown(45)},
      {true, 45, ""},
      {true, 45, ""},
      {true, 45, ""},
      {true, 46, Shown(46)},
      {true, 100, ""},
      {true, 100, ""},
      {true, 100, Shown(100)},
      {false, 100, kSending},
      {false, 100, ""}}},
    {"a second message starts counting again",
     {{true, 50, ""},
      {true, 50, ""},
      {true, 50, Shown(50)},
      {false, 50, kSending},
      {true, 0, ""},
      {true, 0, ""},
      {true, 0, Shown(0)}}},
};

TEST(SendProgress, CaptionsTickByTick) {
  for (const TickRun& run : kRuns) {
    SendProgress progress;
    int asked = 0;
    for (std::size_t i = 0; i < run.ticks.size(); ++i) {
      const Tick& t = run.ticks[i];
      const int before = asked;
      const std::optional<std::string> caption = progress.Tick(t.sending, [&] {
        ++asked;
        return t.percent;
      });
      EXPECT_EQ(caption.value_or(""), t.caption) << run.name << ", tick " << i + 1;
      // The share is asked for only at a tick where the caption may change.
      if (!t.sending || i < SendProgress::kFirstTick - 1) {
        EXPECT_EQ(asked, before) << run.name << ", tick " << i + 1;
      }
    }
  }
}

TEST(SendProgress, StopTellsWhetherAPercentageWasOnShow) {
  SendProgress progress;
  EXPECT_FALSE(progress.Stop());
  for (int i = 0; i < SendProgress::kFirstTick; ++i) progress.Tick(true, [] { return 7; });
  EXPECT_TRUE(progress.Stop());
  EXPECT_FALSE(progress.Stop());
  // Counting starts again after it: two ticks show nothing.
  EXPECT_EQ(progress.Tick(true, [] { return 7; }), std::nullopt);
  EXPECT_EQ(progress.Tick(true, [] { return 7; }), std::nullopt);
}

}  // namespace
}  // namespace tolvex
