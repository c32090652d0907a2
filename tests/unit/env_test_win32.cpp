#include <gtest/gtest.h>

#include "env/environment.h"

namespace {

TEST(WindowsProbesTest, PlatformAndArchitecture) {
  EXPECT_EQ(currentOsType(), MS_WINDOWS);
  // The tests run on x86-64 Windows or under Wine on an x86-64 host.
  EXPECT_EQ(detectCpuArch(), X86_64);
}

}  // namespace
