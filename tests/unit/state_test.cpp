#include <gtest/gtest.h>

#include "app/run.h"
#include "app/state.h"
#include "base/log.h"

namespace {

TEST(InstallerStateNames, FixedValuesAndDisplayNames) {
  struct Case {
    uint32_t value;
    char const* name;
  } const cases[] = {
      {0, "Environment detection"}, {1, "Showing window"}, {2, "Querying OTA"},
      {3, "Cleaning before download"}, {4, "Constructing queue"}, {5, "Downloading"},
      {6, "Preparing execution"}, {7, "Executing app"}, {8, "Waiting"},
      {9, "Error"}, {10, "Closing window"}, {11, "@@@ unrecognized state @@@"},
      {0xFFFFFFFFu, "@@@ unrecognized state @@@"},
  };
  for (auto const& c : cases) EXPECT_EQ(stateName(static_cast<InstallerState>(c.value)), c.name) << c.value;
  EXPECT_EQ(stateName(static_cast<InstallerState>(42)).size(), 26u);
}

TEST(SetState, LogsEachChangeOnceAndNothingForTheSameState) {
  std::string out, err;
  Log::Capture capture(out, err);
  std::vector<std::string> const args{"launcher"};
  ::Run run(args);
  run.setState(InstallerState::ShowingWindow);
  run.setState(InstallerState::ShowingWindow);
  run.setState(InstallerState::Waiting);
  run.setState(InstallerState::Error);
  run.setState(InstallerState::Error);
  run.setState(static_cast<InstallerState>(77));
  EXPECT_EQ(out,
            "Changing state: Showing window\n"
            "Changing state: Waiting\n"
            "Changing state: Error\n"
            "Changing state: @@@ unrecognized state @@@\n");
  EXPECT_EQ(err, "");
  EXPECT_EQ(run.state(), static_cast<InstallerState>(77));
}

}  // namespace
