#include <windows.h>

#include <string>

#include "env/environment.h"
#include "env/probe_win32.h"

OsType currentOsType() { return MS_WINDOWS; }

bool queryNativeMachine(uint16_t& machine) {
  // Looked up at run time: the call exists from Windows 10 1709 on.
  using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
  HMODULE const kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return false;
  FARPROC const proc = GetProcAddress(kernel32, "IsWow64Process2");
  if (proc == nullptr) return false;
  auto const isWow64Process2 = reinterpret_cast<IsWow64Process2Fn>(reinterpret_cast<void*>(proc));
  USHORT processMachine = IMAGE_FILE_MACHINE_UNKNOWN;
  USHORT nativeMachine = IMAGE_FILE_MACHINE_UNKNOWN;
  if (!isWow64Process2(GetCurrentProcess(), &processMachine, &nativeMachine)) return false;
  if (nativeMachine == IMAGE_FILE_MACHINE_UNKNOWN) return false;
  machine = nativeMachine;
  return true;
}

CpuArch detectCpuArch() {
  // An x64 process on an ARM64 machine runs emulated, and even the native system
  // information answers x64 there; IsWow64Process2 names the machine's own processor.
  // Older systems, which have no x64 emulation, keep the native system information.
  uint16_t machine = 0;
  if (queryNativeMachine(machine)) return cpuArchFromImageMachine(machine);
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
  constexpr LONG kStatusSuccess = 0;  // STATUS_SUCCESS, which the lean headers leave out
  if (rtlGetVersion(&info) != kStatusSuccess) return {};
  return std::to_string(info.dwMajorVersion) + "." + std::to_string(info.dwMinorVersion) + "." +
         std::to_string(info.dwBuildNumber);
}
