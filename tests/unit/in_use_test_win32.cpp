#include <gtest/gtest.h>

#include <climits>
#include <cwchar>
#include <map>

#include "exec/in_use.h"
#include "exec/in_use_win32.h"
#include "fs/path.h"
#include "fs_fixture.h"

namespace {

constexpr DWORD kSelf = 7;

RM_PROCESS_INFO process(DWORD pid, RM_APP_TYPE type, wchar_t const* name) {
  RM_PROCESS_INFO info{};
  info.Process.dwProcessId = pid;
  info.ApplicationType = type;
  wcsncpy(info.strAppName, name, CCH_RM_MAX_APP_NAME);
  return info;
}

// Plays the Restart Manager from a table of processes using the files of any tree that
// holds a file named "app.exe", every one of them gone once `endsAfter` pauses of the
// wait have passed.
struct FakeRestartManager {
  std::vector<RM_PROCESS_INFO> processes;
  DWORD failure = ERROR_SUCCESS;  // what RmGetList answers instead of a list
  int endsAfter = INT_MAX;
  int pauses = 0;
  bool sessionOpen = false;
  std::vector<std::wstring> registered;
};
FakeRestartManager* fake = nullptr;

DWORD WINAPI startSession(DWORD* session, DWORD, WCHAR key[]) {
  *session = 42;
  key[0] = L'k';
  fake->sessionOpen = true;
  fake->registered.clear();
  return ERROR_SUCCESS;
}

DWORD WINAPI registerResources(DWORD session, UINT files, LPCWSTR names[], UINT, RM_UNIQUE_PROCESS[], UINT,
                               LPCWSTR[]) {
  if (session != 42 || !fake->sessionOpen) return ERROR_INVALID_HANDLE;
  for (UINT i = 0; i < files; ++i) fake->registered.push_back(names[i]);
  return ERROR_SUCCESS;
}

DWORD WINAPI getList(DWORD session, UINT* needed, UINT* count, RM_PROCESS_INFO found[], LPDWORD reasons) {
  if (session != 42 || !fake->sessionOpen) return ERROR_INVALID_HANDLE;
  if (fake->failure != ERROR_SUCCESS) return fake->failure;
  bool const inUse = fake->pauses < fake->endsAfter &&
                     std::any_of(fake->registered.begin(), fake->registered.end(),
                                 [](std::wstring const& name) { return name.ends_with(L"\\app.exe"); });
  UINT const users = inUse ? static_cast<UINT>(fake->processes.size()) : 0;
  *needed = users;
  *reasons = RmRebootReasonNone;
  if (*count < users) return ERROR_MORE_DATA;
  for (UINT i = 0; i < users; ++i) found[i] = fake->processes[i];
  *count = users;
  return ERROR_SUCCESS;
}

DWORD WINAPI endSession(DWORD session) {
  if (session != 42) return ERROR_INVALID_HANDLE;
  fake->sessionOpen = false;
  return ERROR_SUCCESS;
}

// Every process but 300 tells its path.
bool programOf(DWORD pid, std::wstring& path) {
  if (pid == 300) return false;
  path = L"C:\\Programs\\p" + std::to_wstring(pid) + L".exe";
  return true;
}

DWORD WINAPI currentProcessId() { return kSelf; }

}  // namespace

// A process counts while the Restart Manager names it among the users of the tree's
// files: its path, or the name the system gives it when the path cannot be read. This
// process, services, Explorer and critical system processes never count; a Restart
// Manager that cannot answer, or cannot be loaded, tells of nothing in use.
TEST(InUseWin32, ProcessesTheRestartManagerNamesHoldATreeUpToTheWait) {
  TestFs::TempDir tmp;
  TestFs::makeDirs(tmp / "QUENZA_BO");
  TestFs::makeFile(tmp / "QUENZA_BO/readme.txt", "");
  TestFs::makeDirs(tmp / "QUENZA_BO.new/plugins");
  TestFs::makeFile(tmp / "QUENZA_BO.new/app.exe", "");
  TestFs::makeFile(tmp / "QUENZA_BO.new/plugins/q.dll", "");
  RM_PROCESS_INFO const application = process(100, RmMainWindow, L"Quenza");
  RM_PROCESS_INFO const console = process(200, RmConsole, L"cmd");
  RM_PROCESS_INFO const unnamed = process(300, RmUnknownApp, L"Held by someone");
  std::vector<RM_PROCESS_INFO> const neverCounted = {process(kSelf, RmMainWindow, L"launcher"),
                                                     process(400, RmService, L"scanner"),
                                                     process(500, RmExplorer, L"Explorer"),
                                                     process(600, RmCritical, L"csrss")};
  struct Case {
    char const* what;
    std::vector<RM_PROCESS_INFO> processes;
    DWORD failure;
    int endsAfter;
    bool loaded;
    std::vector<std::string> users;  // of the tree in use once the wait is over
    int pauses;
  } const cases[] = {
      {"in use", {application, neverCounted[0], console, unnamed}, ERROR_SUCCESS, INT_MAX, true,
       {"100 C:\\Programs\\p100.exe", "200 C:\\Programs\\p200.exe", "300 Held by someone"}, 40},
      {"not in use", neverCounted, ERROR_SUCCESS, INT_MAX, true, {}, 0},
      {"not readable", {application}, ERROR_WRITE_FAULT, INT_MAX, true, {}, 0},
      {"no Restart Manager", {application}, ERROR_SUCCESS, INT_MAX, false, {}, 0},
      {"in use, then ended within the wait", {application}, ERROR_SUCCESS, 3, true, {}, 3},
  };
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    FakeRestartManager state{c.processes, c.failure, c.endsAfter};
    fake = &state;
    InUse::win32::SystemCalls calls;
    if (c.loaded) {
      calls = {startSession, registerResources, getList, endSession};
    }
    calls.programOf = programOf;
    calls.currentProcessId = currentProcessId;
    InUse::win32::ScopedSystemCalls replaced(calls);
    InUse::ScopedClock clock([&] { return state.pauses * InUse::kAskAgainEvery; }, [&](auto) { ++state.pauses; });

    InUse::Busy const busy = InUse::awaitRelease({tmp / "QUENZA_BO", tmp / "QUENZA_BO.new"});

    EXPECT_EQ(busy.tree, c.users.empty() ? 2u : 1u);
    std::vector<std::string> users;
    for (InUse::User const& user : busy.users) users.push_back(std::to_string(user.pid) + " " + user.program);
    EXPECT_EQ(users, c.users);
    EXPECT_EQ(state.pauses, c.pauses);
    EXPECT_FALSE(state.sessionOpen);
    if (c.loaded && c.failure == ERROR_SUCCESS) {
      std::vector<std::wstring> expected = {FS::toWide(FS::join(tmp / "QUENZA_BO.new", "app.exe")),
                                            FS::toWide(FS::join(tmp / "QUENZA_BO.new", "plugins\\q.dll"))};
      std::sort(state.registered.begin(), state.registered.end());
      EXPECT_EQ(state.registered, expected);
    }
  }
  fake = nullptr;
}
