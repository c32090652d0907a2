#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "fs/fs.h"
#include "fs/path.h"
#include "install/run_lock.h"

RunLock::~RunLock() { release(); }

RunLock::Outcome RunLock::acquire(std::string const& appsRoot, std::string const& edition,
                                  std::string const& channel) {
  release();
  FS::Status const root = FS::createDirectories(appsRoot);
  if (!root) {
    error_ = root.error;
    return Outcome::Unavailable;
  }
  std::string const path = FS::join(appsRoot, "." + edition + "_" + channel + ".lock");
  // O_CLOEXEC: the application started at the end must not carry the lock on. O_NOFOLLOW:
  // a link planted at the name is neither followed nor made into a file elsewhere.
  // O_NONBLOCK: a named pipe at the name would otherwise keep the open waiting for a
  // writer forever, before any window; flock works on it like on a file.
  int const fd = open(path.c_str(), O_RDONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0644);
  if (fd < 0) {
    error_ = errno;
    return Outcome::Unavailable;
  }
  int result;
  do {
    result = flock(fd, LOCK_EX | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    int const error = errno;
    close(fd);
    if (error == EWOULDBLOCK) return Outcome::Busy;
    error_ = error;
    return Outcome::Unavailable;
  }
  held_ = true;
  handle_ = fd;
  return Outcome::Held;
}

void RunLock::release() {
  if (!held_) return;
  close(static_cast<int>(handle_));  // closing the last descriptor drops the lock
  held_ = false;
}
