#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fs_fixture.h"
#include "install/run_lock.h"

// Whatever a profile holds at the lock's name (a backup or dotfile tool leaves links,
// sockets, pipes), a run is either locked or refused: what is no regular file is taken
// back as itself (a link's target is never touched), and taking the lock never waits: a
// named pipe there would otherwise keep the launcher hanging before it shows a window.
// The alarm turns such a hang into a failure instead of a stuck run.
TEST(RunLockPosix, WhateverStandsAtTheNameTheRunIsLockedOrRefused) {
  struct Case {
    char const* what;
    mode_t node;         // made with mknod, or a link to `link`, or a directory holding `inside`
    char const* link;
    char const* inside;
    int error;           // of an unavailable lock; 0: held
  } const cases[] = {{"nothing", 0, nullptr, nullptr, 0},         {"the lock's file", S_IFREG, nullptr, nullptr, 0},
                     {"a named pipe", S_IFIFO, nullptr, nullptr, 0}, {"a socket", S_IFSOCK, nullptr, nullptr, 0},
                     {"a dangling link", 0, "nowhere", nullptr, 0}, {"a link to a file", 0, "../elsewhere", nullptr, 0},
                     {"an empty directory", 0, nullptr, "", 0},
                     {"a directory holding a file", 0, nullptr, "precious", ENOTEMPTY}};
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    TestFs::TempDir dir;
    std::string const lock = dir / ".QuenzaQtApps/.QUENZA_BO_PROD.lock";
    TestFs::makeFile(dir / "elsewhere", "not the lock's");
    TestFs::makeDirs(dir / ".QuenzaQtApps");
    if (c.node) ASSERT_EQ(mknod(lock.c_str(), c.node | 0644, 0), 0) << std::strerror(errno);
    if (c.link) ASSERT_EQ(symlink(c.link, lock.c_str()), 0);
    if (c.inside) TestFs::makeDirs(lock + "/" + c.inside);

    alarm(20);
    RunLock first, second;
    EXPECT_EQ(first.acquire(dir / ".QuenzaQtApps", "QUENZA_BO", "PROD"),
              c.error ? RunLock::Outcome::Unavailable : RunLock::Outcome::Held);
    EXPECT_EQ(first.name(), lock);
    EXPECT_EQ(first.error(), c.error);
    EXPECT_EQ(first.errorText(), std::strerror(c.error));
    if (!c.error) EXPECT_EQ(second.acquire(dir / ".QuenzaQtApps", "QUENZA_BO", "PROD"), RunLock::Outcome::Busy);
    alarm(0);
    struct stat st;
    ASSERT_EQ(lstat(lock.c_str(), &st), 0);
    EXPECT_EQ(S_ISREG(st.st_mode), !c.error);
    EXPECT_EQ(TestFs::readFile(dir / "elsewhere"), "not the lock's");
  }
}
