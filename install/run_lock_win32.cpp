#include <windows.h>

#include "fs/path.h"
#include "install/run_lock.h"

namespace {
constexpr DWORD kNoWait = 0;  // a look at the mutex, never a wait for it
// Waiting on the mutex and releasing it: all a launcher does with it. Full access, which
// CreateMutexW asks for, is denied on a mutex made by a launcher started as administrator.
constexpr DWORD kMutexAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;
constexpr DWORD kNotInitiallyOwned = 0;  // no CREATE_MUTEX_INITIAL_OWNER: ownership comes from the wait
}  // namespace

RunLock::~RunLock() { release(); }

RunLock::Outcome RunLock::acquire(std::string const&, std::string const& edition, std::string const& channel) {
  release();
  name_ = "Local\\QuenzaInstaller." + edition + "_" + channel;
  std::wstring const name = FS::toWide(name_);
  // Not inheritable (no security attributes): a started child never holds it.
  HANDLE const mutex = CreateMutexExW(nullptr, name.c_str(), kNotInitiallyOwned, kMutexAccess);
  if (!mutex) {
    DWORD const error = GetLastError();
    // A mutex this user may not use is another launcher's of this edition and channel,
    // started with other rights, at work. Another kind of object under the name gives
    // ERROR_INVALID_HANDLE: it cannot be taken back, so the run cannot be locked.
    if (error == ERROR_ACCESS_DENIED) return Outcome::Busy;
    error_ = static_cast<int>(error);
    return Outcome::Unavailable;
  }
  // Ownership, not existence, decides: the object outlives its owner while another
  // launcher has it open for a look, and an owner that died leaves it abandoned, which
  // passes it on to the next one that waits.
  DWORD const waited = WaitForSingleObject(mutex, kNoWait);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    held_ = true;
    handle_ = reinterpret_cast<intptr_t>(mutex);
    return Outcome::Held;
  }
  DWORD const error = waited == WAIT_FAILED ? GetLastError() : 0;
  CloseHandle(mutex);
  if (waited == WAIT_TIMEOUT) return Outcome::Busy;
  error_ = static_cast<int>(error);
  return Outcome::Unavailable;
}

void RunLock::release() {
  if (!held_) return;
  HANDLE const mutex = reinterpret_cast<HANDLE>(handle_);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  held_ = false;
}

std::string RunLock::errorText() const {
  wchar_t* text = nullptr;
  DWORD const length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      static_cast<DWORD>(error_), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring message(text ? text : L"", length);
  LocalFree(text);
  // The system's messages end in a full stop and a line end; the log line goes on after it.
  while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.')) {
    message.pop_back();
  }
  return FS::toUtf8(message);
}
