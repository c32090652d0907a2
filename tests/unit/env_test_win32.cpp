#include <gtest/gtest.h>

#include "env/environment.h"
#include "env/probe_win32.h"

namespace {

TEST(WindowsProbesTest, PlatformAndArchitecture) {
  EXPECT_EQ(currentOsType(), MS_WINDOWS);
  // The tests run on x86-64 Windows or under Wine on an x86-64 host.
  EXPECT_EQ(detectCpuArch(), X86_64);
  // The architecture comes from IsWow64Process2 where the system has it (Windows 10
  // 1709 and later, and Wine), not from the fallback that cannot see past emulation.
  uint16_t machine = 0;
  ASSERT_TRUE(queryNativeMachine(machine));
  EXPECT_EQ(machine, 0x8664);  // IMAGE_FILE_MACHINE_AMD64
}

}  // namespace
