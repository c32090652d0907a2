#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "install/profile.h"

// HOME first, as every desktop program does, so a user who points it elsewhere is
// followed; the password database when it is unset or empty.
std::string userProfileFolder() {
  char const* const home = std::getenv("HOME");
  if (home && *home) return home;

  long const suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
  for (;;) {
    passwd record;
    passwd* found = nullptr;
    int const error = getpwuid_r(getuid(), &record, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || !found || !found->pw_dir) return {};
    return found->pw_dir;
  }
}
