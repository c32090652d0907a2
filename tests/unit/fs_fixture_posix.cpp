#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "fs/fs.h"
#include "fs_fixture.h"

namespace {

std::string errorText(std::string const& what) { return what + ": " + std::strerror(errno); }

// Sets or clears the immutable attribute, which keeps even root from unlinking a file or
// renaming a directory. Through the descriptor, so that it is cleared wherever the file
// has been moved meanwhile.
bool setImmutable(int fd, bool on, std::string& why) {
  int flags = 0;
  bool ok = ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (ok) {
    flags = on ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
    ok = ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  if (!ok) why = errorText("the immutable attribute (needs CAP_LINUX_IMMUTABLE and a file system that has it)");
  return ok;
}

}  // namespace

namespace TestFs {

std::string systemTempFolder() {
  char const* const tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

void removeTestTree(std::string const& path) { FS::removeAll(path); }

std::string makeDirLink(std::string const& target, std::string const& linkPath) {
  return symlink(target.c_str(), linkPath.c_str()) == 0 ? "" : errorText("symlink");
}

std::string makeFileLink(std::string const& target, std::string const& linkPath) {
  return makeDirLink(target, linkPath);
}

std::string whyLinksAreNotTakenAsThemselves() { return {}; }

void makeReadOnly(std::string const& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) chmod(path.c_str(), st.st_mode & 07555);
}

Undeletable::Undeletable(std::string const& path) : path_(path) {
  int const fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) {
    unavailable_ = errorText("open " + path);
    return;
  }
  if (!setImmutable(fd, true, unavailable_)) {
    close(fd);
    return;
  }
  handle_ = reinterpret_cast<void*>(static_cast<intptr_t>(fd) + 1);
}

Undeletable::~Undeletable() { release(); }

void Undeletable::release() {
  if (!handle_) return;
  int const fd = static_cast<int>(reinterpret_cast<intptr_t>(handle_) - 1);
  std::string ignored;
  setImmutable(fd, false, ignored);
  close(fd);
  handle_ = nullptr;
}

}  // namespace TestFs
