#pragma once
// One run per edition and channel for a user at a time. Two launchers of the same edition
// and channel would each delete what the other is writing and start an application from
// a tree the other has emptied, so the second one gives up before it shows a window or
// changes anything on the disk.
//
// Windows: a named mutex in the session's local namespace,
// "Local\QuenzaInstaller.<edition>_<channel>", opened asking only for what waiting on it
// and releasing it take, so that a mutex of a launcher started as administrator (which
// grants the user nothing) answers busy instead of failing. Another kind of object under
// that name cannot be taken back: the lock is then unavailable.
// Elsewhere: flock on the regular file "<applications root>/.<edition>_<channel>.lock",
// made once and never removed (removing it would let two runs lock two different files);
// the clean-up only ever takes directories, and no install, environment directory or
// moved-aside tree has this name. Anything else found at the name (a link, dangling or
// not, a socket, a pipe, an empty directory: what a backup or dotfile tool leaves) is
// removed as itself and the file made, so a run is never left without its lock; what
// cannot be removed (a directory holding something) makes the lock unavailable.
// Either way the system releases the lock when the process ends, however it ends, and no
// child process inherits it.
#include <cstdint>
#include <string>

class RunLock {
 public:
  enum class Outcome {
    Held,         // this object owns the lock until release() or its end
    Busy,         // another process holds it
    Unavailable,  // no lock could be set up (the reason in error()); nothing is held
  };

  RunLock() = default;
  ~RunLock();
  RunLock(RunLock const&) = delete;
  RunLock& operator=(RunLock const&) = delete;

  // Takes the lock of the edition and channel (raw names) without waiting. The
  // applications root is where the lock file lives (made if missing); unused on Windows.
  Outcome acquire(std::string const& appsRoot, std::string const& edition, std::string const& channel);

  // Lets the lock go; nothing when none is held.
  void release();

  // The lock's file path or mutex name, once acquire has been called.
  std::string const& name() const { return name_; }

  // errno or GetLastError() of the last Unavailable outcome, and the system's text for it.
  int error() const { return error_; }
  std::string errorText() const;

 private:
  bool held_ = false;
  intptr_t handle_ = 0;  // a descriptor or a HANDLE, while held
  int error_ = 0;
  std::string name_;
};
