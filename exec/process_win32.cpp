#include <windows.h>

#include "exec/process.h"
#include "fs/path.h"

namespace Process {

namespace {

// The record sizes the start-up contract is written against (64-bit Windows).
static_assert(sizeof(STARTUPINFOW) == 104);
static_assert(sizeof(SECURITY_ATTRIBUTES) == 24);

constexpr DWORD kDefaultPipeSize = 0;   // the system's own buffer size
constexpr DWORD kNoCreationFlags = 0;   // a tool shares the launcher's console, if any
constexpr DWORD kReadPiece = 4096;      // bytes per read of the child's output
// CreateProcessW is not covered by the long-path opt-in: the longest program path it
// takes is MAX_PATH less its terminating null, and a working directory longer than
// MAX_PATH less a terminating separator and null makes it fail.
constexpr size_t kMaxProgramPath = MAX_PATH - 1;
constexpr size_t kMaxWorkingDirectory = MAX_PATH - 2;

Result notStarted() { return Result{}; }

}  // namespace

// Returns {false, -1, ""} when the program name does not convert, the pipe cannot be
// made or the process cannot be created; otherwise started with the merged output read
// to its end and the exit code bit for bit (-1 when it cannot be read).
Result run(std::string const& program, std::vector<std::string> const& arguments) {
  std::wstring const wideProgram = FS::toWide(program);
  if (wideProgram.empty()) return notStarted();
  std::wstring commandLine = buildCommandLine(wideProgram, arguments);

  SECURITY_ATTRIBUTES security{};
  security.nLength = sizeof(SECURITY_ATTRIBUTES);
  security.lpSecurityDescriptor = nullptr;
  security.bInheritHandle = TRUE;
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &security, kDefaultPipeSize)) return notStarted();
  // Only the write end belongs to the child; an inherited read end would keep the pipe
  // from ever reporting its end.
  if (!SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0)) {
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    return notStarted();
  }

  STARTUPINFOW startup{};
  startup.cb = sizeof(STARTUPINFOW);
  startup.dwFlags = STARTF_USESTDHANDLES;             // 0x100
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);  // -10: a windowed program usually has none
  startup.hStdOutput = writeEnd;
  startup.hStdError = writeEnd;

  PROCESS_INFORMATION info{};
  BOOL const created = CreateProcessW(wideProgram.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                      kNoCreationFlags, nullptr, nullptr, &startup, &info);
  // The installer's copy of the write end must go whatever happened, or reading below
  // would wait for ever on a pipe that this process itself keeps open.
  CloseHandle(writeEnd);
  if (!created) {
    CloseHandle(readEnd);
    return notStarted();
  }

  Result result;
  result.started = true;
  CloseHandle(info.hThread);

  // Read everything before waiting: a child writing more than the pipe holds would
  // otherwise block on a full pipe while the installer waits for it to end.
  char buffer[kReadPiece];
  for (;;) {
    DWORD delivered = 0;
    BOOL const ok = ReadFile(readEnd, buffer, sizeof(buffer), &delivered, nullptr);
    // A failed read means the pipe has ended (or broke): either way reading stops.
    if (!ok) break;
    if (delivered == 0) break;
    result.output.append(buffer, delivered);
  }
  CloseHandle(readEnd);

  WaitForSingleObject(info.hProcess, INFINITE);
  DWORD exitCode = 0;
  if (GetExitCodeProcess(info.hProcess, &exitCode)) result.exitCode = static_cast<int32_t>(exitCode);
  CloseHandle(info.hProcess);
  return result;
}

// True when the process was created; nothing waits for it and it inherits no handle.
bool start(std::string const& program, std::vector<std::string> const& arguments) {
  std::wstring const wideProgram = FS::toWide(program);
  if (wideProgram.empty()) return false;
  std::wstring commandLine = buildCommandLine(wideProgram, arguments);

  STARTUPINFOW startup{};
  startup.cb = sizeof(STARTUPINFOW);
  PROCESS_INFORMATION info{};
  DWORD const flags = DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP;  // 0x208
  if (!CreateProcessW(wideProgram.c_str(), commandLine.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                      &startup, &info)) {
    return false;
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return true;
}

std::string pathTooLongToStart(std::string const& program) {
  if (FS::toWide(program).size() > kMaxProgramPath) return program;
  DWORD const size = GetCurrentDirectoryW(0, nullptr);
  std::wstring cwd(size, L'\0');
  cwd.resize(size == 0 ? 0 : GetCurrentDirectoryW(size, cwd.data()));
  return cwd.size() > kMaxWorkingDirectory ? FS::toUtf8(cwd) : std::string();
}

}  // namespace Process
