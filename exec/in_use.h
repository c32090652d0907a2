#pragma once
// Whether other processes use an earlier install, asked before anything of it is renamed
// or deleted. A process uses a tree when its program, a file it has mapped (a loaded
// library), its working directory or a file it holds open lies in it. The system's
// refusal to rename such a tree cannot stand in for this question: a running program's
// executable and libraries are mapped images that need not hold an open handle, so
// Windows may let their directory be renamed, and Linux refuses nothing at all.
//
// Linux asks /proc about every process of this user (exe, maps, cwd, fd);
// a process that cannot be read is skipped. Windows asks the Restart Manager about every
// file of the tree (rstrtmgr.dll, loaded from the system directory only, on first use);
// the services, Explorer and the critical system processes it names are not counted:
// they never run the application, and they hold files only for moments of scanning,
// indexing or previewing, which the file operations' own retries wait out. A working
// directory is not a file the Restart Manager is asked about; on Windows it is an open
// handle, which keeps the tree from being renamed at all. This process never counts.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "base/replaceable_calls.h"
#include "fs/fs.h"

namespace InUse {

struct User {
  uint32_t pid = 0;
  std::string program;  // the path of its executable; empty when the system does not tell
};

// Sets users to one list per tree (a directory, a file, or a link, which is never
// followed and never in use): the processes other than this one that use it. Fails, with
// the reason of the first failure, when the system could not be asked about every tree;
// the lists of the trees it could not be asked about are empty.
FS::Status usersOf(std::vector<std::string> const& trees, std::vector<std::vector<User>>& users);

// How long a tree in use is waited for, and how often it is asked about meanwhile: an
// application that starts the launcher for an update and then quits needs a moment to end.
constexpr std::chrono::milliseconds kWaitForRelease{10000};
constexpr std::chrono::milliseconds kAskAgainEvery{250};

// The first tree in use once the wait is over, with its users; tree is the number of
// trees when none is in use (nothing is known of trees the system cannot be asked about).
struct Busy {
  size_t tree = 0;
  std::vector<User> users;
};

// Asks about the trees until none is in use or kWaitForRelease has passed, asking again
// every kAskAgainEvery; the window reads its messages during the pauses (Heartbeat), and
// a run given up meanwhile (Heartbeat::abandoned) ends the wait with the tree in use.
Busy awaitRelease(std::vector<std::string> const& trees);

// What the wait reads its time from, and how it pauses (a pause moves that time on).
struct Clock {
  std::function<std::chrono::milliseconds()> now;
  std::function<void(std::chrono::milliseconds)> pause;
};

// Test seam: while alive, the wait uses the given clock; the one before it comes back at its end.
using ScopedClock = Base::ReplaceableCalls<Clock>::Scope;

}  // namespace InUse
