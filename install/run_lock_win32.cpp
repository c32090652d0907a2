#include <windows.h>

#include "fs/path.h"
#include "install/run_lock.h"

namespace {
constexpr DWORD kNoWait = 0;  // a look at the mutex, never a wait for it
}  // namespace

RunLock::~RunLock() { release(); }

RunLock::Outcome RunLock::acquire(std::string const&, std::string const& edition, std::string const& channel) {
  release();
  std::wstring const name = FS::toWide("Local\\QuenzaInstaller." + edition + "_" + channel);
  // Not inheritable (no security attributes): a started child never holds it.
  HANDLE const mutex = CreateMutexW(nullptr, FALSE, name.c_str());
  if (!mutex) {
    error_ = static_cast<int>(GetLastError());
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
