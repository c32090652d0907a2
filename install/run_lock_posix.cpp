#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "fs/fs.h"
#include "fs/path.h"
#include "install/run_lock.h"

namespace {

// A planter that keeps putting things back is not outrun for ever.
constexpr int kTakeBackAttempts = 3;
// How long the applications root may stay held by another launcher taking its own name
// back (a few system calls' worth); never a wait without end before the window.
constexpr int kRootWaitSteps = 100;
constexpr auto kRootWaitStep = std::chrono::milliseconds(10);

int flockWithoutWait(int fd, int operation) {
  int result;
  do {
    result = flock(fd, operation | LOCK_NB);
  } while (result != 0 && errno == EINTR);
  return result;
}

// Read and write where the file allows it: where flock is carried out as a record lock
// (NFS) an exclusive lock needs a descriptor open for writing. O_CLOEXEC: the application
// started at the end must not carry the lock on. O_NOFOLLOW: a link planted at the name is
// neither followed nor made into a file elsewhere. O_NONBLOCK: a named pipe at the name
// would otherwise keep the open waiting for a writer forever, before any window.
int openLockFile(std::string const& path) {
  int const flags = O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
  int fd = open(path.c_str(), O_RDWR | flags, 0644);
  if (fd < 0 && (errno == EACCES || errno == EROFS)) fd = open(path.c_str(), O_RDONLY | flags, 0644);
  return fd;
}

// Removes what stands at the lock's name when it is no regular file, as itself. Under an
// exclusive lock on the applications root, taken by every launcher that removes anything
// here: without it, a launcher that saw a link could remove the file another one had just
// made in its place and locked, and both would run. A regular file is never removed.
// 0, or the errno of the failure.
int takeBack(std::string const& appsRoot, std::string const& path) {
  int const root = open(appsRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (root < 0) return errno;
  int error = 0;
  int step = 0;
  while (flockWithoutWait(root, LOCK_EX) != 0) {
    if (errno != EWOULDBLOCK || ++step == kRootWaitSteps) {
      error = errno;
      break;
    }
    std::this_thread::sleep_for(kRootWaitStep);
  }
  struct stat st;
  if (error == 0 && lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    if ((S_ISDIR(st.st_mode) ? rmdir(path.c_str()) : unlink(path.c_str())) != 0 && errno != ENOENT) error = errno;
  }
  close(root);  // lets the root's lock go
  return error;
}

}  // namespace

RunLock::~RunLock() { release(); }

RunLock::Outcome RunLock::acquire(std::string const& appsRoot, std::string const& edition,
                                  std::string const& channel) {
  release();
  name_ = FS::join(appsRoot, "." + edition + "_" + channel + ".lock");
  FS::Status const root = FS::createDirectories(appsRoot);
  if (!root) {
    error_ = root.error;
    return Outcome::Unavailable;
  }
  for (int attempt = 0; attempt < kTakeBackAttempts; ++attempt) {
    int const fd = openLockFile(name_);
    // A link gives ELOOP, a socket ENXIO, a directory EISDIR; a pipe or a device opens.
    if (fd < 0 && errno != ELOOP && errno != ENXIO && errno != EISDIR) {
      error_ = errno;
      return Outcome::Unavailable;
    }
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      if (flockWithoutWait(fd, LOCK_EX) == 0) {
        held_ = true;
        handle_ = fd;
        return Outcome::Held;
      }
      int const error = errno;
      close(fd);
      if (error == EWOULDBLOCK) return Outcome::Busy;
      error_ = error;
      return Outcome::Unavailable;
    }
    if (fd >= 0) close(fd);
    error_ = takeBack(appsRoot, name_);
    if (error_ != 0) return Outcome::Unavailable;
  }
  // Still no regular file after as many removals: something keeps planting.
  error_ = EEXIST;
  return Outcome::Unavailable;
}

void RunLock::release() {
  if (!held_) return;
  close(static_cast<int>(handle_));  // closing the last descriptor drops the lock
  held_ = false;
}

std::string RunLock::errorText() const { return std::strerror(error_); }
