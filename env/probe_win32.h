#pragma once
// Windows only: the probe behind detectCpuArch, apart so that the Windows tests can see
// which answer the system gave.
#include <cstdint>

// The machine's own processor as IsWow64Process2 names it (an IMAGE_FILE_MACHINE_*
// value; for an x64 process emulated on ARM64 this is ARM64, where even the native
// system information says x64). False, with machine unchanged, when the system has no
// such call (before Windows 10 1709), the call fails or it names no machine.
bool queryNativeMachine(uint16_t& machine);
