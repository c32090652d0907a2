#pragma once
// Where the run installs, and the clean-up that makes room for it. Every earlier install
// of this edition and channel is removed before each run: the directories of the two
// older naming schemes directly under the applications root, and the edition's
// directories inside every environment directory of this channel's OTA host. Other
// editions and channels are told apart by name only, so all comparisons are exact and
// case-sensitive, and only real directories match (a file or a link that happens to carry
// such a name is left alone). Each directory is moved aside before it is deleted
// (install/layout_discard.h), and the install directories are made new even where a link
// kept the listings from seeing the old ones.
#include <string>

#include "base/step.h"
#include "env/environment.h"

namespace Layout {

// The install locations of the run: the secure environment directory of the OTA host
// joined with the edition's raw name, and the same with ".new", where everything the run
// writes is staged.
struct InstallLocations {
  std::string installDir;
  std::string installDirNew;
};

// The per-user applications directory: the profile folder joined with ".QuenzaQtApps",
// or that relative name alone when no profile folder is known.
std::string computeAppsRoot();

// Logs the names looked for and what was found, sets out (also on failure, once the
// listings are done), removes the earlier installs and leftovers of the edition and
// channel and creates both install directories, empty. Failed, after its line ("FS
// couldn't remove conflicting install dir: ..." or "FS couldn't create install dir:
// ..."), at the first directory that cannot be read, removed or created; what was
// removed before stays removed. Failed before anything is touched when the application's
// path (or the working directory it would get) is too long to start it ("App path too
// long to start: ..."), and when a process uses an earlier install ("FS install in use:
// pid=... program=..." for each of at most five, then "FS couldn't remove conflicting
// install dir: ..." naming the install).
//
// A working directory inside the applications root is first moved up to the root.
Step cleanBeforeDownload(std::string const& appsRoot, EnvironmentValues const& env, InstallLocations& out);

}  // namespace Layout
