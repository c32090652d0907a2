#include "install/layout.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "base/log.h"
#include "base/log_text.h"
#include "env/identity.h"
#include "exec/in_use.h"
#include "exec/process.h"
#include "fs/fs.h"
#include "fs/path.h"
#include "install/layout_discard.h"
#include "install/prepare.h"
#include "install/profile.h"

namespace Layout {

namespace {

constexpr std::string_view kAppsDirName = ".QuenzaQtApps";
constexpr std::string_view kPlainEnvPrefix = "http__";
constexpr std::string_view kSecureEnvPrefix = "https__";
// The system's own text, blank before the colon and none after it: not a typo to fix.
constexpr std::string_view kDeletingLine = "FS deleting conflicting install dir :";
// The processes named when an install is in use, at most.
constexpr size_t kUsersNamed = 5;

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

// What the listings of the clean-up found: the directories to remove in order, the
// directories searched (where leftovers of moved-aside trees may lie), and the first
// directory that exists but could not be read to its end.
struct Findings {
  std::vector<std::string> removals;
  std::vector<std::string> searched;
  std::string unreadable;
};

// A directory that is not there holds no install; one that cannot be read might, and
// the clean-up must not go on as if it did not.
void noteListing(FS::Status const& listed, std::string const& directory, Findings& findings) {
  if (!listed && !listed.notFound() && findings.unreadable.empty()) findings.unreadable = directory;
}

// Appends the path of every legacy install directly under the root, in listing order.
void findLegacyInstalls(std::string const& appsRoot, std::string const& edition, std::string const& channel,
                        Findings& findings) {
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
  FS::Status const listed =
      FS::list(found, appsRoot, false, [&](FS::Entry const& entry) { return isDirectoryNamedAnyOf(entry, names); });
  noteListing(listed, appsRoot, findings);
  findings.searched.push_back(appsRoot);
  for (FS::Entry const& entry : found) findings.removals.push_back(entry.path);
}

// Appends the path of the edition's directories inside every environment directory of
// the OTA host, plain or secure, in listing order.
void findModernInstalls(std::string const& appsRoot, std::string const& edition, std::string const& otaHost,
                        Findings& findings) {
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
  FS::Status const listed = FS::list(envDirs, appsRoot, false, [&](FS::Entry const& entry) {
    return entry.type == FS::EntryType::Directory &&
           (startsWith(entry.name, plainPrefix) || startsWith(entry.name, securePrefix));
  });
  noteListing(listed, appsRoot, findings);
  for (FS::Entry const& envDir : envDirs) {
    // Two blanks before "path=": the system's own text, not a typo to fix.
    Log::out("FS env dir found: " + std::string(" path=") + envDir.path);
    findings.searched.push_back(envDir.path);
    std::vector<FS::Entry> conflicts;
    FS::Status const inside = FS::list(conflicts, envDir.path, false,
                                       [&](FS::Entry const& entry) { return isDirectoryNamedAnyOf(entry, names); });
    noteListing(inside, envDir.path, findings);
    for (FS::Entry const& conflict : conflicts) {
      // A blank before the colon: the system's own text, not a typo to fix.
      Log::out("FS conflicting install dir found :" + std::string(" path=") + conflict.path);
      findings.removals.push_back(conflict.path);
    }
  }
}

Step fail(std::string const& line) {
  Log::err(line);
  return Step::Failed;
}

// Nothing of an earlier install is renamed or deleted while a process uses it: the
// trees to remove are all asked about first, with a wait for their users to end.
Step refuseInstallsInUse(std::vector<std::string> const& trees) {
  InUse::Busy const busy = InUse::awaitRelease(trees);
  if (busy.tree >= trees.size()) return Step::Done;
  for (size_t i = 0; i < busy.users.size() && i < kUsersNamed; ++i) {
    InUse::User const& user = busy.users[i];
    Log::err("FS install in use: pid=" + std::to_string(user.pid) + " program=" + LogText::oneLine(user.program));
  }
  return fail("FS couldn't remove conflicting install dir: " + trees[busy.tree]);
}

// The install directory must be a new, empty directory even where the listings could
// not see the old one (an environment directory or the root reached through a link,
// which a listing never enters). A link standing at its own place is never followed.
Step makeFresh(std::string const& dir, std::string const& leftoverPrefix) {
  FS::EntryType type;
  if (FS::examine(dir, type)) {
    if (type == FS::EntryType::Link) return fail("FS couldn't create install dir: " + dir);
    if (type == FS::EntryType::Directory) {
      Log::out(std::string(kDeletingLine) + dir);
      if (!Discard::directory(dir, leftoverPrefix)) return fail("FS couldn't remove conflicting install dir: " + dir);
    }
  }
  if (!FS::createDirectories(dir)) return fail("FS couldn't create install dir: " + dir);
  return Step::Done;
}

}  // namespace

std::string computeAppsRoot() { return FS::join(userProfileFolder(), std::string(kAppsDirName)); }

Step cleanBeforeDownload(std::string const& appsRoot, EnvironmentValues const& env, InstallLocations& out) {
  std::string const edition(appSlugName(env.edition, false));
  std::string const channel(envChannelName(env.channel, false));

  // A failure here shows up below: nothing is found, or the install dirs cannot be made.
  (void)FS::createDirectories(appsRoot);
  // An application that changed into its install directory and starts the launcher for
  // an update hands it that directory, which would pin the very tree to replace. The
  // application is then started in the root, too; what cannot be moved shows below.
  (void)FS::moveWorkingDirectoryUpTo(appsRoot);

  Findings findings;
  findLegacyInstalls(appsRoot, edition, channel, findings);
  findModernInstalls(appsRoot, edition, env.otaHost, findings);

  // New installs always live in the secure environment directory.
  std::string const envDir = FS::join(appsRoot, std::string(kSecureEnvPrefix) + env.otaHost);
  out.installDir = FS::join(envDir, edition);
  out.installDirNew = FS::join(envDir, edition + ".new");
  // Names the install directory, not the staging one that is new: the system's own text.
  Log::out("New install dir: " + out.installDir);

  if (!findings.unreadable.empty()) return fail("FS couldn't remove conflicting install dir: " + findings.unreadable);
  // Known now, and no download is worth making for an application that cannot be started.
  std::string const tooLong = Process::pathTooLongToStart(Prepare::executablePath(env, out.installDirNew));
  if (!tooLong.empty()) return fail("App path too long to start: " + tooLong);

  // The install directories are made new below even where no listing saw them.
  std::vector<std::string> trees = findings.removals;
  for (std::string const* dir : {&out.installDir, &out.installDirNew}) {
    FS::EntryType type;
    bool const seen = std::find(trees.begin(), trees.end(), *dir) != trees.end();
    if (!seen && FS::examine(*dir, type) && type == FS::EntryType::Directory) trees.push_back(*dir);
  }
  if (refuseInstallsInUse(trees) == Step::Failed) return Step::Failed;

  // Leftovers first, so that the directories moved aside below mostly find their first
  // name free; the environment directory may be reached through a link no listing enters.
  std::string const leftoverPrefix = Discard::leftoverPrefix(edition, channel);
  if (std::find(findings.searched.begin(), findings.searched.end(), envDir) == findings.searched.end()) {
    findings.searched.push_back(envDir);
  }
  Discard::sweep(findings.searched, leftoverPrefix);

  for (std::string const& path : findings.removals) {
    Log::out(std::string(kDeletingLine) + path);
    if (!Discard::directory(path, leftoverPrefix)) return fail("FS couldn't remove conflicting install dir: " + path);
  }

  for (std::string const* dir : {&out.installDir, &out.installDirNew}) {
    if (makeFresh(*dir, leftoverPrefix) == Step::Failed) return Step::Failed;
  }
  return Step::Done;
}

}  // namespace Layout
