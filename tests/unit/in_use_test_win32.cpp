#include <gtest/gtest.h>

#include <climits>
#include <cwchar>

#include "exec/in_use.h"
#include "exec/in_use_win32.h"
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

// Plays the Restart Manager: its processes use any registered file named "app.exe" (a
// session's files all come in one call), until `endsAfter` pauses of the wait have passed.
struct FakeRestartManager {
  std::vector<RM_PROCESS_INFO> processes;
  DWORD failure = ERROR_SUCCESS;  // what RmGetList answers instead of a list
  int endsAfter = INT_MAX;
  int pauses = 0;
  int openSessions = 0;
  bool inUse = false;
};
FakeRestartManager* fake = nullptr;

DWORD WINAPI startSession(DWORD* session, DWORD, WCHAR[]) {
  *session = static_cast<DWORD>(++fake->openSessions);
  return ERROR_SUCCESS;
}

DWORD WINAPI registerResources(DWORD, UINT files, LPCWSTR names[], UINT, RM_UNIQUE_PROCESS[], UINT, LPCWSTR[]) {
  fake->inUse = std::any_of(names, names + files, [](LPCWSTR name) { return std::wcsstr(name, L"\\app.exe"); });
  return ERROR_SUCCESS;
}

DWORD WINAPI getList(DWORD, UINT* needed, UINT* count, RM_PROCESS_INFO found[], LPDWORD reasons) {
  if (fake->failure != ERROR_SUCCESS) return fake->failure;
  UINT const users = fake->inUse && fake->pauses < fake->endsAfter ? static_cast<UINT>(fake->processes.size()) : 0;
  *needed = users;
  *reasons = RmRebootReasonNone;
  if (*count < users) return ERROR_MORE_DATA;
  std::copy_n(fake->processes.begin(), users, found);
  *count = users;
  return ERROR_SUCCESS;
}

DWORD WINAPI endSession(DWORD) {
  --fake->openSessions;
  return ERROR_SUCCESS;
}

// Every process but 300 tells its path.
bool programOf(DWORD pid, std::wstring& path) {
  path = L"C:\\Programs\\p" + std::to_wstring(pid) + L".exe";
  return pid != 300;
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
  TestFs::makeFile(tmp / "QUENZA_BO.new/plugins/app.exe", "");
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
    InUse::win32::SystemCalls calls{startSession, registerResources, getList, endSession, programOf, currentProcessId};
    if (!c.loaded) calls.startSession = nullptr;
    InUse::win32::ScopedSystemCalls replaced(calls);
    InUse::ScopedClock clock({[&] { return state.pauses * InUse::kAskAgainEvery; }, [&](auto) { ++state.pauses; }});

    InUse::Busy const busy = InUse::awaitRelease({tmp / "QUENZA_BO", tmp / "QUENZA_BO.new"});

    EXPECT_EQ(busy.tree, c.users.empty() ? 2u : 1u);
    std::vector<std::string> users;
    for (InUse::User const& user : busy.users) users.push_back(std::to_string(user.pid) + " " + user.program);
    EXPECT_EQ(users, c.users);
    EXPECT_EQ(state.pauses, c.pauses);
    EXPECT_EQ(state.openSessions, 0);
  }
  fake = nullptr;
}
