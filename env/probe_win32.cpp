#include <windows.h>

#include <string>

#include "env/environment.h"

OsType currentOsType() { return MS_WINDOWS; }

CpuArch detectCpuArch() {
  // The native information, not GetSystemInfo: an emulated x64 process on an ARM64
  // machine must still report the machine's own processor.
  SYSTEM_INFO info{};
  GetNativeSystemInfo(&info);
  return cpuArchFromProcessorArchitecture(static_cast<uint16_t>(info.wProcessorArchitecture));
}

std::string osVersionString() {
  // GetVersionEx lies to executables without a compatibility manifest entry for the
  // running release; the kernel's own RtlGetVersion does not.
  using RtlGetVersionFn = LONG(WINAPI*)(RTL_OSVERSIONINFOW*);
  HMODULE const ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return {};
  FARPROC const proc = GetProcAddress(ntdll, "RtlGetVersion");
  if (proc == nullptr) return {};
  auto const rtlGetVersion = reinterpret_cast<RtlGetVersionFn>(reinterpret_cast<void*>(proc));

  RTL_OSVERSIONINFOW info{};
  static_assert(sizeof(info) == 276, "the version record must have the size the kernel expects");
  info.dwOSVersionInfoSize = sizeof(info);
  if (rtlGetVersion(&info) != 0) return {};
  return std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
         std::to_string(info.dwBuildNumber);
}
