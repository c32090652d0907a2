#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "fs_fixture.h"
#include "install/run_lock.h"

namespace {

void makeSocket(std::string const& path) {
  int const fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  ASSERT_LT(path.size(), sizeof(address.sun_path));
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0) << std::strerror(errno);
  close(fd);  // the socket's name stays
}

}  // namespace

// Whatever a profile holds at the lock's name (a backup or dotfile tool leaves links,
// sockets, pipes), a run is either locked or refused: what is no regular file is taken
// back as itself (a link's target is never touched), and taking the lock never waits: a
// named pipe there would otherwise keep the launcher hanging before it shows a window.
// The alarm turns such a hang into a failure instead of a stuck run.
TEST(RunLockPosix, WhateverStandsAtTheNameTheRunIsLockedOrRefused) {
  struct Case {
    char const* what;
    std::function<void(std::string const& lock, std::string const& elsewhere)> plant;
    RunLock::Outcome outcome;
    int error;
  } const cases[] = {
      {"nothing", [](auto&, auto&) {}, RunLock::Outcome::Held, 0},
      {"a named pipe", [](auto& lock, auto&) { ASSERT_EQ(mkfifo(lock.c_str(), 0644), 0); }, RunLock::Outcome::Held, 0},
      {"a dangling link", [](auto& lock, auto&) { ASSERT_EQ(symlink("nowhere", lock.c_str()), 0); },
       RunLock::Outcome::Held, 0},
      {"a link to a file", [](auto& lock, auto& elsewhere) { ASSERT_EQ(symlink(elsewhere.c_str(), lock.c_str()), 0); },
       RunLock::Outcome::Held, 0},
      {"a socket", [](auto& lock, auto&) { makeSocket(lock); }, RunLock::Outcome::Held, 0},
      {"an empty directory", [](auto& lock, auto&) { TestFs::makeDirs(lock); }, RunLock::Outcome::Held, 0},
      {"a directory holding a file",
       [](auto& lock, auto&) {
         TestFs::makeDirs(lock);
         TestFs::makeFile(lock + "/precious", "p");
       },
       RunLock::Outcome::Unavailable, ENOTEMPTY},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    TestFs::TempDir dir;
    std::string const apps = dir / ".QuenzaQtApps";
    std::string const lock = apps + "/.QUENZA_BO_PROD.lock";
    std::string const elsewhere = dir / "elsewhere";
    TestFs::makeDirs(apps);
    TestFs::makeFile(elsewhere, "not the lock's");
    c.plant(lock, elsewhere);

    alarm(20);
    RunLock first;
    RunLock second;
    EXPECT_EQ(first.acquire(apps, "QUENZA_BO", "PROD"), c.outcome);
    EXPECT_EQ(first.name(), lock);
    EXPECT_EQ(first.error(), c.error);
    if (c.outcome == RunLock::Outcome::Held) {
      EXPECT_EQ(second.acquire(apps, "QUENZA_BO", "PROD"), RunLock::Outcome::Busy);
      struct stat st;
      ASSERT_EQ(lstat(lock.c_str(), &st), 0);
      EXPECT_TRUE(S_ISREG(st.st_mode));
    } else {
      EXPECT_EQ(first.errorText(), std::strerror(c.error));
      EXPECT_EQ(TestFs::readFile(lock + "/precious"), "p");
    }
    alarm(0);
    EXPECT_EQ(TestFs::readFile(elsewhere), "not the lock's");
  }
  // The lock's own file keeps its content: it is never made anew.
  TestFs::TempDir dir;
  TestFs::makeDirs(dir / "apps");
  TestFs::makeFile(dir / "apps/.QUENZA_BO_DEMO.lock", "kept");
  RunLock lock;
  EXPECT_EQ(lock.acquire(dir / "apps", "QUENZA_BO", "DEMO"), RunLock::Outcome::Held);
  EXPECT_EQ(TestFs::readFile(dir / "apps/.QUENZA_BO_DEMO.lock"), "kept");
}
