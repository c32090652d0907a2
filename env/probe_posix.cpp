#include <sys/utsname.h>

#include <string>

#include "env/environment.h"

OsType currentOsType() { return GNU_LINUX; }

CpuArch detectCpuArch() {
  utsname names{};
  if (uname(&names) != 0) return X86_64;
  return cpuArchFromMachine(names.machine);
}

std::string osVersionString() {
  // The kernel release is the one version every Linux system has; distribution release
  // files differ from one distribution to the next and may be missing altogether.
  utsname names{};
  if (uname(&names) != 0) return {};
  return kernelVersionText(names.release);
}
