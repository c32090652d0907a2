#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include "child_tools.h"

namespace ChildTools {

std::string exeSuffix() { return ""; }

std::string toolPath(std::string const& name) {
  char self[PATH_MAX];
  ssize_t const length = readlink("/proc/self/exe", self, sizeof(self) - 1);
  if (length <= 0) return name;
  std::string const exe(self, static_cast<size_t>(length));
  return exe.substr(0, exe.rfind('/') + 1) + name;
}

void setVariable(std::string const& name, std::string const& value) { setenv(name.c_str(), value.c_str(), 1); }
void clearVariable(std::string const& name) { unsetenv(name.c_str()); }
std::string variable(std::string const& name) {
  char const* value = getenv(name.c_str());
  return value ? value : "";
}

std::string workingDirectory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof(buffer)) ? buffer : "";
}

bool changeDirectory(std::string const& path) { return chdir(path.c_str()) == 0; }

}  // namespace ChildTools
