#include <gtest/gtest.h>

#include <sys/utsname.h>

#include "env/environment.h"

namespace {

TEST(PosixProbesTest, ValuesComeFromUname) {
  EXPECT_EQ(currentOsType(), GNU_LINUX);
  utsname names{};
  ASSERT_EQ(uname(&names), 0);
  EXPECT_EQ(detectCpuArch(), cpuArchFromMachine(names.machine));
  EXPECT_EQ(osVersionString(), kernelVersionText(names.release));
  EXPECT_FALSE(osVersionString().empty()) << names.release;
}

}  // namespace
