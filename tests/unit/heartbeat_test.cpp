#include <gtest/gtest.h>

#include "base/heartbeat.h"

namespace {

TEST(Heartbeat, RunsOnlyInsideAScopeNeverReentersAndRestoresTheOuterScope) {
  Heartbeat::beat();  // no scope: nothing to run, nothing to crash
  int outer = 0;
  int inner = 0;
  {
    Heartbeat::Scope outerScope([&] { ++outer; }, std::chrono::seconds(0));
    {
      // A beat from inside the action (the window procedure doing file work) must not
      // recurse into the action again.
      Heartbeat::Scope innerScope([&] { ++inner; Heartbeat::beat(); }, std::chrono::seconds(0));
      Heartbeat::beat();
      Heartbeat::beat();
    }
    Heartbeat::beat();
  }
  Heartbeat::beat();
  EXPECT_EQ(inner, 2);
  EXPECT_EQ(outer, 1);
}

TEST(Heartbeat, WaitsForItsIntervalBetweenRuns) {
  int runs = 0;
  Heartbeat::Scope scope([&] { ++runs; }, std::chrono::hours(1));
  for (int i = 0; i < 1000; ++i) Heartbeat::beat();
  EXPECT_EQ(runs, 0);
}

}  // namespace
