#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <filesystem>

#include "exec/in_use.h"
#include "base/log.h"
#include "exec/in_use_posix.h"
#include "fs_fixture.h"
#include "install/layout.h"
#include "support/lines.h"

namespace {

// A process as /proc shows it. An unreadable one fails every read, as a process of
// another user does for anyone but root.
struct FakeProcess {
  uint32_t pid = 0;
  uint32_t owner = 1000;
  std::string exe, cwd, maps;
  std::vector<std::string> fds;
  bool unreadable = false;
};

constexpr uint32_t kSelf = 7;
constexpr uint32_t kUser = 1000;

// Plays /proc from a table of processes, every one of them gone once `endsAfter` pauses
// of the wait have passed.
struct FakeProc {
  std::vector<FakeProcess> processes;
  bool procUnreadable = false;
  int pauses = 0;
  int endsAfter = INT_MAX;

  FakeProcess const* find(std::string const& path, std::string& rest) const {
    if (pauses >= endsAfter || path.rfind("/proc/", 0) != 0) return nullptr;
    size_t const slash = path.find('/', 6);
    uint32_t const pid = static_cast<uint32_t>(std::stoul(path.substr(6, slash - 6)));
    rest = slash == std::string::npos ? "" : path.substr(slash + 1);
    for (FakeProcess const& p : processes) {
      if (p.pid == pid) return p.unreadable && !rest.empty() ? nullptr : &p;
    }
    return nullptr;
  }

  InUse::posix::SystemCalls calls() {
    InUse::posix::SystemCalls c;
    c.self = kSelf;
    c.user = kUser;
    c.listNames = [this](std::string const& dir, std::vector<std::string>& names) {
      if (dir == "/proc") {
        if (procUnreadable) return EACCES;
        for (FakeProcess const& p : processes) names.push_back(std::to_string(p.pid));
        return 0;
      }
      std::string rest;
      FakeProcess const* p = find(dir, rest);
      if (!p || rest != "fd") return EACCES;
      for (size_t fd = 0; fd < p->fds.size(); ++fd) names.push_back(std::to_string(fd));
      return 0;
    };
    c.readLink = [this](std::string const& path, std::string& target) {
      std::string rest;
      FakeProcess const* p = find(path, rest);
      if (!p) return EACCES;
      target = rest == "exe" ? p->exe : rest == "cwd" ? p->cwd : p->fds.at(std::stoul(rest.substr(3)));
      return 0;
    };
    c.readFile = [this](std::string const& path, std::string& content) {
      std::string rest;
      FakeProcess const* p = find(path, rest);
      if (!p) return EACCES;
      content = p->maps;
      return 0;
    };
    c.ownerOf = [this](std::string const& path, uint32_t& owner) {
      std::string rest;
      FakeProcess const* p = find(path, rest);
      if (!p) return ENOENT;
      owner = p->owner;
      return 0;
    };
    return c;
  }
};

}  // namespace

// Each way a process uses a tree counts (its program, its working directory, a mapped
// library, an open file), and only while it lasts; this process, other users' processes
// and processes that cannot be read never count, nor does a tree whose name merely starts
// like the one in use.
TEST(InUsePosix, ProcessesOfThisUserUsingATreeHoldItUpToTheWait) {
  TestFs::TempDir tmp;
  TestFs::makeDirs(tmp / "QUENZA_BO");
  TestFs::makeDirs(tmp / "QUENZA_BO.new/lib");
  std::string const tree = std::filesystem::canonical(tmp.fsPath() / "QUENZA_BO.new").string();
  std::string const maps = "00400000-00452000 r-xp 00000000 08:02 173521      /usr/bin/bash\n"
                           "7f5e1a000000-7f5e1a021000 rw-p 00000000 00:00 0 \n"
                           "7f5e1b000000-7f5e1b001000 r-xp 00000000 08:02 9   " + tree + "/lib/libq.so.1 (deleted)\n"
                           "7ffd0000-7ffd1000 rw-p 00000000 00:00 0          [stack]\n";
  FakeProcess const program{100, kUser, tree + "/quenza-bo", "/home/u"};
  FakeProcess const inside{200, kUser, "/usr/bin/bash", tree + "/lib"};
  FakeProcess const library{300, kUser, "/usr/bin/python3", "/", maps};
  FakeProcess const openFile{400, kUser, "/usr/bin/less", "/", "", {"/dev/pts/0", "socket:[42]", tree + "/data.db"}};
  FakeProcess const self{kSelf, kUser, tree + "/quenza-bo", tree};
  FakeProcess const otherUser{500, 0, tree + "/quenza-bo", tree};
  FakeProcess const unreadable{600, kUser, tree + "/quenza-bo", tree, "", {}, true};
  FakeProcess const lookAlike{800, kUser, tree + "2/quenza-bo", tree + ".old", "", {"/proc/1/" + tree}};
  struct Case {
    char const* what;
    std::vector<FakeProcess> processes;
    bool procUnreadable;
    int endsAfter;
    std::vector<uint32_t> users;  // of the tree in use once the wait is over
    int pauses;
  } const cases[] = {
      {"in use", {program, inside, library, openFile, self, otherUser, lookAlike}, false, INT_MAX, {100, 200, 300, 400}, 40},
      {"not in use", {self, otherUser, lookAlike}, false, INT_MAX, {}, 0},
      {"not readable", {unreadable}, false, INT_MAX, {}, 0},
      {"/proc not readable", {program}, true, INT_MAX, {}, 0},
      {"in use, then ended within the wait", {program, openFile}, false, 3, {}, 3},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    FakeProc proc{c.processes, c.procUnreadable, 0, c.endsAfter};
    InUse::posix::ScopedSystemCalls fake(proc.calls());
    InUse::ScopedClock clock([&] { return proc.pauses * InUse::kAskAgainEvery; }, [&](auto) { ++proc.pauses; });

    InUse::Busy const busy = InUse::awaitRelease({tmp / "QUENZA_BO", tmp / "QUENZA_BO.new"});

    EXPECT_EQ(busy.tree, c.users.empty() ? 2u : 1u);
    std::vector<uint32_t> pids;
    for (InUse::User const& user : busy.users) pids.push_back(user.pid);
    EXPECT_EQ(pids, c.users);
    if (!busy.users.empty()) EXPECT_EQ(busy.users[0].program, tree + "/quenza-bo");
    EXPECT_EQ(proc.pauses, c.pauses);
  }
}

// The clean-up asks about every tree it would touch before touching any: with six
// processes running from the staging directory, it names five, fails naming that
// directory, and renames and deletes nothing, the unused install beside it included.
TEST(InUsePosix, TheCleanUpTouchesNothingOfInstallsInUse) {
  TestFs::TempDir tmp;
  std::string const env = tmp / ".QuenzaQtApps/https__ota-prod.localhost";
  TestFs::makeDirs(env + "/QUENZA_BO");
  TestFs::makeDirs(env + "/QUENZA_BO.new");
  TestFs::makeFile(env + "/QUENZA_BO.new/quenza-bo", "running");
  std::string const program = std::filesystem::canonical(env + "/QUENZA_BO.new/quenza-bo").string();
  FakeProc proc;
  for (uint32_t pid = 101; pid <= 106; ++pid) proc.processes.push_back({pid, kUser, program, "/"});
  InUse::posix::ScopedSystemCalls fake(proc.calls());
  InUse::ScopedClock clock([&] { return proc.pauses * InUse::kAskAgainEvery; }, [&](auto) { ++proc.pauses; });
  EnvironmentValues values;
  values.edition = QUENZA_BO;
  values.channel = PROD;
  values.otaHost = "ota-prod.localhost";
  Layout::InstallLocations install;
  std::string out, err;
  Log::Capture capture(out, err);

  EXPECT_EQ(Layout::cleanBeforeDownload(tmp / ".QuenzaQtApps", values, install), Step::Failed);

  std::vector<std::string> expected;
  for (uint32_t pid = 101; pid <= 105; ++pid) {
    expected.push_back("FS install in use: pid=" + std::to_string(pid) + " program=" + program);
  }
  expected.push_back("FS couldn't remove conflicting install dir: " + env + "/QUENZA_BO.new");
  EXPECT_EQ(TestSupport::splitLines(err), expected);
  EXPECT_EQ(TestFs::readFile(env + "/QUENZA_BO.new/quenza-bo"), "running");
  EXPECT_EQ(TestFs::namesInOrder(env).size(), 2u);
  EXPECT_EQ(proc.pauses, 40);
}
