#include <string>
#include <string_view>
#include <vector>

#include "app/log.h"
#include "app/run.h"
#include "app/state.h"
#include "app/state_work.h"
#include "env/environment.h"
#include "env/identity.h"
#include "fs/fs.h"
#include "fs/path.h"
#include "install/profile.h"

// Every earlier install of this edition and channel is removed before each run: the
// directories of the two older naming schemes directly under the applications root, and
// the edition's directories inside every environment directory of this channel's OTA
// host. Other editions and channels are told apart by name only, so all comparisons are
// exact and case-sensitive, and only real directories match (a file or a link that
// happens to carry such a name is left alone).

namespace {

constexpr std::string_view kAppsDirName = ".QuenzaQtApps";
constexpr std::string_view kPlainEnvPrefix = "http__";
constexpr std::string_view kSecureEnvPrefix = "https__";

std::string replaceAll(std::string text, std::string_view from, std::string_view to) {
  std::string result;
  size_t start = 0;
  for (;;) {
    size_t const found = text.find(from, start);
    if (found == std::string::npos) break;
    result.append(text, start, found - start);
    result.append(to);
    start = found + from.size();
  }
  result.append(text, start, std::string::npos);
  return result;
}

bool startsWith(std::string const& text, std::string const& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

bool isDirectoryNamedAnyOf(FS::Entry const& entry, std::vector<std::string> const& names) {
  if (entry.type != FS::EntryType::Directory) return false;
  for (std::string const& name : names) {
    if (entry.name == name) return true;
  }
  return false;
}

// Each line pairs its fixed label with the name it introduces.
struct NamedLine {
  std::string_view label;
  std::string name;
};

// Appends the path of every legacy install directly under the root, in listing order.
void findLegacyInstalls(std::string const& appsRoot, std::string const& edition, std::string const& channel,
                        std::vector<std::string>& removals) {
  std::string const upper = edition + "_" + channel;
  std::string const mixed = replaceAll(edition, "QUENZA_", "Quenza") + "_" + channel;
  NamedLine const lines[] = {
      {"FS legacy baseNameUpper: ", upper},         {"FS legacy baseNameUpperOld: ", upper + ".old"},
      {"FS legacy baseNameUpperNew: ", upper + ".new"}, {"FS legacy baseNameMixed: ", mixed},
      {"FS legacy baseNameMixedOld: ", mixed + ".old"}, {"FS legacy baseNameMixedNew: ", mixed + ".new"},
  };
  std::vector<std::string> names;
  for (NamedLine const& line : lines) {
    Log::out(std::string(line.label) + line.name);
    names.push_back(line.name);
  }

  std::vector<FS::Entry> found;
  FS::list(found, appsRoot, false, [&](FS::Entry const& entry) { return isDirectoryNamedAnyOf(entry, names); });
  for (FS::Entry const& entry : found) removals.push_back(entry.path);
}

// Appends the path of the edition's directories inside every environment directory of
// the OTA host, plain or secure, in listing order.
void findModernInstalls(std::string const& appsRoot, std::string const& edition, std::string const& otaHost,
                        std::vector<std::string>& removals) {
  std::string const plainPrefix = std::string(kPlainEnvPrefix) + otaHost;
  std::string const securePrefix = std::string(kSecureEnvPrefix) + otaHost;
  NamedLine const lines[] = {
      {"FS modern baseName: ", edition},
      {"FS modern baseNameOld: ", edition + ".old"},
      {"FS modern baseNameNew: ", edition + ".new"},
  };
  std::vector<std::string> names;
  for (NamedLine const& line : lines) {
    Log::out(std::string(line.label) + line.name);
    names.push_back(line.name);
  }

  std::vector<FS::Entry> envDirs;
  FS::list(envDirs, appsRoot, false, [&](FS::Entry const& entry) {
    return entry.type == FS::EntryType::Directory &&
           (startsWith(entry.name, plainPrefix) || startsWith(entry.name, securePrefix));
  });
  for (FS::Entry const& envDir : envDirs) {
    Log::out("FS env dir found: " + std::string(" path=") + envDir.path);
    std::vector<FS::Entry> conflicts;
    FS::list(conflicts, envDir.path, false,
             [&](FS::Entry const& entry) { return isDirectoryNamedAnyOf(entry, names); });
    for (FS::Entry const& conflict : conflicts) {
      Log::out("FS conflicting install dir found :" + std::string(" path=") + conflict.path);
      removals.push_back(conflict.path);
    }
  }
}

}  // namespace

std::string computeAppsRoot() { return FS::join(userProfileFolder(), std::string(kAppsDirName)); }

void workCleaningBeforeDownload(Run& run) {
  EnvironmentValues const& env = environment();
  std::string const edition(appSlugName(env.edition, false));
  std::string const channel(envChannelName(env.channel, false));

  // A failure here shows up below: nothing is found, or the install dirs cannot be made.
  FS::createDirectories(run.appsRoot);

  std::vector<std::string> removals;
  findLegacyInstalls(run.appsRoot, edition, channel, removals);
  findModernInstalls(run.appsRoot, edition, env.otaHost, removals);

  // New installs always live in the secure environment directory.
  std::string const envDir = FS::join(run.appsRoot, std::string(kSecureEnvPrefix) + env.otaHost);
  run.installDir = FS::join(envDir, edition);
  run.installDirNew = FS::join(envDir, edition + ".new");
  Log::out("New install dir: " + run.installDir);

  for (std::string const& path : removals) {
    Log::out("FS deleting conflicting install dir :" + path);
    if (!FS::removeAll(path)) {
      Log::err("FS couldn't remove conflicting install dir: " + path);
      setState(InstallerState::Error);
      return;
    }
  }

  for (std::string const* dir : {&run.installDir, &run.installDirNew}) {
    if (!FS::createDirectories(*dir)) {
      Log::err("FS couldn't create install dir: " + *dir);
      setState(InstallerState::Error);
      return;
    }
  }
  setState(InstallerState::ConstructingQueue);
}
