#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>

#include "base/heartbeat.h"
#include "exec/in_use.h"
#include "exec/in_use_posix.h"
#include "fs_fixture.h"

namespace {

constexpr uint32_t kSelf = 7;
constexpr uint32_t kUser = 1000;

// A process and what each of its entries reads as ("exe", "cwd", "maps", "fd/<n>"); one
// that cannot be read, as another user's cannot by anyone but root, has none.
struct FakeProcess {
  uint32_t pid;
  uint32_t owner;
  std::map<std::string, std::string> entries;
};

// /proc as tables of what each path reads as; a path missing from them cannot be read,
// and every process is gone once `endsAfter` pauses of the wait have passed.
struct FakeProc {
  std::map<std::string, std::vector<std::string>> names;
  std::map<std::string, std::string> reads;  // links and files alike
  std::map<std::string, uint32_t> owners;
  int pauses = 0;
  int endsAfter = INT_MAX;

  void add(FakeProcess const& p) {
    std::string const dir = "/proc/" + std::to_string(p.pid);
    names["/proc"].push_back(std::to_string(p.pid));
    owners[dir] = p.owner;
    for (auto const& [entry, value] : p.entries) {
      reads[dir + "/" + entry] = value;
      if (entry.rfind("fd/", 0) == 0) names[dir + "/fd"].push_back(entry.substr(3));
    }
  }

  template <typename Table, typename Value>
  int read(Table const& table, std::string const& path, Value& value) const {
    auto const found = table.find(path);
    if (found == table.end() || (pauses >= endsAfter && path != "/proc")) return EACCES;
    value = found->second;
    return 0;
  }

  InUse::posix::SystemCalls calls() {
    auto reader = [this](auto const& table) {
      return [this, &table](auto const& path, auto& value) { return read(table, path, value); };
    };
    return {reader(names), reader(reads), reader(reads), reader(owners), kSelf, kUser};
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
  std::string const app = tree + "/quenza-bo";
  FakeProcess const program{100, kUser, {{"exe", app}, {"cwd", "/home/u"}}};
  FakeProcess const inside{200, kUser, {{"exe", "/usr/bin/bash"}, {"cwd", tree + "/lib"}}};
  FakeProcess const library{300, kUser, {{"exe", "/usr/bin/python3"}, {"maps", maps}}};
  FakeProcess const openFile{400, kUser, {{"fd/0", "/dev/pts/0"}, {"fd/1", "socket:[42]"}, {"fd/7", tree + "/data"}}};
  FakeProcess const self{kSelf, kUser, {{"exe", app}, {"cwd", tree}}};
  FakeProcess const otherUser{500, 0, {{"exe", app}, {"cwd", tree}}};
  FakeProcess const unreadable{600, kUser, {}};
  FakeProcess const lookAlike{800, kUser, {{"exe", tree + "2/x"}, {"cwd", tree + ".old"}, {"fd/3", "/proc/1/" + tree}}};
  struct Case {
    char const* what;
    std::vector<FakeProcess> processes;
    bool procUnreadable;
    int endsAfter;
    bool closedAfterFirstPause;  // the user closes the window while the launcher waits
    std::vector<uint32_t> users;  // of the tree in use once the wait is over
    int pauses;
  } const cases[] = {
      {"in use", {program, inside, library, openFile, self, otherUser, lookAlike}, false, INT_MAX, false,
       {100, 200, 300, 400}, 40},
      {"not in use", {self, otherUser, lookAlike}, false, INT_MAX, false, {}, 0},
      {"not readable", {unreadable}, false, INT_MAX, false, {}, 0},
      {"/proc not readable", {program}, true, INT_MAX, false, {}, 0},
      {"in use, then ended within the wait", {program, openFile}, false, 3, false, {}, 3},
      {"in use, the window closed during the wait", {program}, false, INT_MAX, true, {100}, 1},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    FakeProc proc;
    for (FakeProcess const& p : c.processes) proc.add(p);
    if (c.procUnreadable) proc.names.erase("/proc");
    proc.endsAfter = c.endsAfter;
    InUse::posix::ScopedSystemCalls fake(proc.calls());
    InUse::ScopedClock clock({[&] { return proc.pauses * InUse::kAskAgainEvery; }, [&](auto) { ++proc.pauses; }});
    Heartbeat::Scope window([] {}, std::chrono::milliseconds(100),
                            [&] { return c.closedAfterFirstPause && proc.pauses > 0; });

    InUse::Busy const busy = InUse::awaitRelease({tmp / "QUENZA_BO", tmp / "QUENZA_BO.new"});

    EXPECT_EQ(busy.tree, c.users.empty() ? 2u : 1u);
    std::vector<uint32_t> pids;
    for (InUse::User const& user : busy.users) pids.push_back(user.pid);
    EXPECT_EQ(pids, c.users);
    if (!busy.users.empty()) EXPECT_EQ(busy.users[0].program, app);
    EXPECT_EQ(proc.pauses, c.pauses);
  }
}
