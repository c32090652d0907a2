#include "exec/in_use_win32.h"

#include <cwchar>
#include <vector>

#include "exec/in_use.h"
#include "fs/path.h"

namespace {

// The longest path the system takes in any form, in UTF-16 code units.
constexpr DWORD kMaxSystemPath = 32767;
// Processes may start between two calls for the list: it is asked for again with the
// room the last answer needed, this many times at most.
constexpr int kListAttempts = 4;

template <typename Fn>
Fn lookUp(HMODULE module, char const* name) {
  FARPROC const proc = GetProcAddress(module, name);
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(proc));
}

bool programPath(DWORD pid, std::wstring& path) {
  HANDLE const process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return false;
  std::vector<wchar_t> buffer(kMaxSystemPath + 1);
  DWORD size = static_cast<DWORD>(buffer.size());
  BOOL const read = QueryFullProcessImageNameW(process, 0, buffer.data(), &size);
  CloseHandle(process);
  if (!read) return false;
  path.assign(buffer.data(), size);
  return true;
}

InUse::win32::SystemCalls loadSystemCalls() {
  InUse::win32::SystemCalls calls;
  calls.programOf = programPath;
  calls.currentProcessId = ::GetCurrentProcessId;
  // From the system directory only: a DLL of that name beside the launcher (in a
  // downloads folder, say) is never loaded.
  HMODULE const module = LoadLibraryExW(L"rstrtmgr.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!module) return calls;
  InUse::win32::SystemCalls found = calls;
  found.startSession = lookUp<decltype(calls.startSession)>(module, "RmStartSession");
  found.registerResources = lookUp<decltype(calls.registerResources)>(module, "RmRegisterResources");
  found.getList = lookUp<decltype(calls.getList)>(module, "RmGetList");
  found.endSession = lookUp<decltype(calls.endSession)>(module, "RmEndSession");
  bool const complete = found.startSession && found.registerResources && found.getList && found.endSession;
  return complete ? found : calls;
}

// The files of the tree, as the Restart Manager is asked about them: a path it can take
// as it is, or in its extended-length form past MAX_PATH. A link is never followed.
std::vector<std::wstring> filesOf(std::string const& tree) {
  FS::EntryType type = FS::EntryType::Other;
  if (!FS::examine(tree, type) || type == FS::EntryType::Link) return {};
  std::vector<FS::Entry> entries;
  if (type == FS::EntryType::Directory) {
    // A partial listing still names files worth asking about.
    (void)FS::list(entries, tree, true, [](FS::Entry const& entry) { return entry.type == FS::EntryType::File; });
  } else {
    entries.push_back({tree, FS::baseName(tree), type});
  }
  std::vector<std::wstring> files;
  for (FS::Entry const& entry : entries) {
    std::wstring wide = FS::toWide(entry.path);
    if (wide.size() >= MAX_PATH) wide = FS::toWide(FS::detail::extendedLengthPath(entry.path));
    if (!wide.empty()) files.push_back(std::move(wide));
  }
  return files;
}

DWORD listProcesses(InUse::win32::SystemCalls const& calls, DWORD session, std::vector<RM_PROCESS_INFO>& found) {
  found.clear();
  for (int attempt = 0; attempt < kListAttempts; ++attempt) {
    UINT needed = 0;
    UINT count = static_cast<UINT>(found.size());
    DWORD reasons = RmRebootReasonNone;
    DWORD const result = calls.getList(session, &needed, &count, found.empty() ? nullptr : found.data(), &reasons);
    if (result != ERROR_MORE_DATA) {
      found.resize(result == ERROR_SUCCESS ? count : 0);
      return result;
    }
    found.resize(needed);
  }
  found.clear();
  return ERROR_MORE_DATA;
}

// One session per tree, so that every process found is known to use that tree; the
// files are registered in one call, since each call writes the session to the registry.
DWORD ask(InUse::win32::SystemCalls const& calls, std::vector<std::wstring> const& files,
          std::vector<RM_PROCESS_INFO>& found) {
  DWORD session = 0;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = {};
  DWORD result = calls.startSession(&session, 0, key);
  if (result != ERROR_SUCCESS) return result;
  std::vector<LPCWSTR> names;
  for (std::wstring const& file : files) names.push_back(file.c_str());
  result = calls.registerResources(session, static_cast<UINT>(names.size()), names.data(), 0, nullptr, 0, nullptr);
  if (result == ERROR_SUCCESS) result = listProcesses(calls, session, found);
  calls.endSession(session);
  return result;
}

// Services, Explorer and the system's critical processes never run the application; they
// hold its files only for moments of scanning, indexing or previewing.
bool counts(RM_PROCESS_INFO const& info, DWORD self) {
  RM_APP_TYPE const type = info.ApplicationType;
  return info.Process.dwProcessId != self && type != RmService && type != RmExplorer && type != RmCritical;
}

}  // namespace

namespace InUse::win32 {

SystemCalls const& systemCalls() {
  static SystemCalls const kSystemCalls = loadSystemCalls();
  return Base::ReplaceableCalls<SystemCalls>::current(kSystemCalls);
}

}  // namespace InUse::win32

namespace InUse {

FS::Status usersOf(std::vector<std::string> const& trees, std::vector<std::vector<User>>& users) {
  users.assign(trees.size(), {});
  win32::SystemCalls const& calls = win32::systemCalls();
  if (!calls.startSession) return FS::Status{ERROR_MOD_NOT_FOUND};
  DWORD const self = calls.currentProcessId();
  FS::Status outcome;
  for (size_t i = 0; i < trees.size(); ++i) {
    std::vector<std::wstring> const files = filesOf(trees[i]);
    if (files.empty()) continue;
    std::vector<RM_PROCESS_INFO> found;
    DWORD const asked = ask(calls, files, found);
    if (asked != ERROR_SUCCESS) {
      if (outcome) outcome = FS::Status{static_cast<int>(asked)};
      continue;
    }
    for (RM_PROCESS_INFO const& info : found) {
      if (!counts(info, self)) continue;
      std::wstring program;
      // The name the system shows for it when its path cannot be read.
      if (!calls.programOf(info.Process.dwProcessId, program)) {
        program.assign(info.strAppName, wcsnlen(info.strAppName, CCH_RM_MAX_APP_NAME + 1));
      }
      users[i].push_back({info.Process.dwProcessId, FS::toUtf8(program)});
    }
  }
  return outcome;
}

}  // namespace InUse
