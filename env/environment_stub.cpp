#include "app/state.h"
#include "env/environment.h"

// Temporary: only the platform is known; the rest keeps its starting values.
EnvironmentValues& environment() {
  static EnvironmentValues values;
  return values;
}
OsType currentOsType() { return GNU_LINUX; }
CpuArch detectCpuArch() { return X86_64; }
std::string osVersionString() { return {}; }
bool containsText(std::string_view haystack, std::string_view needle, bool) {
  return haystack.find(needle) != std::string_view::npos;
}
int32_t parseIntOr(std::string_view, int32_t fallback) { return fallback; }
void detectEnvironment(std::string const&) { setState(InstallerState::ShowingWindow); }
