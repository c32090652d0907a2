#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/heartbeat.h"
#include "fs/fs.h"
#include "fs/path.h"

// Every path is examined with lstat and every directory opened with O_NOFOLLOW below the
// top: a link is listed as a link, never entered, and unlinked as itself. A path is a
// byte string here: names that are not UTF-8 are listed, joined and removed like any
// other, and a backslash is just a byte of a name.

namespace {

// 1 MiB per write call: about 50 ms on a disk that takes 20 MB/s, so the window's
// messages are read between pieces however large the payload.
constexpr size_t kMaxWritePiece = 0x100000;

FS::Status success() { return {}; }
FS::Status failure(int error) { return FS::Status{error != 0 ? error : EIO}; }
FS::Status lastError() { return failure(errno); }

// A NUL would cut the path short at the system call, so another file would be touched.
bool usablePath(std::string const& path) { return !path.empty() && path.find('\0') == std::string::npos; }

bool isDotName(char const* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

// A trailing slash makes the kernel resolve a final link; without it lstat sees the link.
std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// A directory, or a link that ends at one: both take new entries below the path.
FS::Status directoryAt(std::string const& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return lastError();
  return S_ISDIR(st.st_mode) ? success() : failure(EEXIST);
}

DIR* openDirectory(std::string const& path, bool followLink) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (!followLink) flags |= O_NOFOLLOW;
  int const fd = open(path.empty() ? "." : path.c_str(), flags);
  if (fd < 0) return nullptr;
  DIR* const dir = fdopendir(fd);
  if (!dir) {
    int const error = errno;
    close(fd);
    errno = error;
  }
  return dir;
}

bool fillType(int directoryFd, char const* name, FS::Entry& entry) {
  struct stat st;
  if (fstatat(directoryFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (S_ISLNK(st.st_mode)) {
    entry.type = FS::EntryType::Link;
  } else if (S_ISDIR(st.st_mode)) {
    entry.type = FS::EntryType::Directory;
  } else {
    entry.type = FS::EntryType::File;
    entry.size = static_cast<uint64_t>(st.st_size);
  }
  return true;
}

// The listed directory itself may be reached through a link, as the caller named it;
// subdirectories found on the way are opened only if they are still not links. An entry
// that vanishes while it is listed (another run deleting its own tree beside ours) is
// simply not there; any other failure ends the listing, so that a caller never takes a
// partial listing for the whole.
FS::Status listDirectory(std::vector<FS::Entry>& out, std::string const& directory, bool recursive,
                         FS::Predicate const& predicate, bool followLink) {
  DIR* const dir = openDirectory(directory, followLink);
  if (!dir) return lastError();
  for (;;) {
    Heartbeat::beat();
    errno = 0;
    dirent const* const found = readdir(dir);
    if (!found) {
      int const error = errno;
      closedir(dir);
      return error == 0 ? success() : failure(error);
    }
    if (isDotName(found->d_name)) continue;
    FS::Entry entry;
    entry.name = found->d_name;
    entry.path = FS::join(directory, entry.name);
    if (!fillType(dirfd(dir), found->d_name, entry)) {
      int const error = errno;
      if (error == ENOENT) continue;
      closedir(dir);
      return failure(error);
    }
    bool const descend = recursive && entry.type == FS::EntryType::Directory;
    std::string const childPath = entry.path;
    if (!predicate || predicate(entry)) out.push_back(std::move(entry));
    if (descend) {
      FS::Status const inner = listDirectory(out, childPath, recursive, predicate, false);
      if (!inner && inner.error != ENOENT) {
        closedir(dir);
        return inner;
      }
    }
  }
}

FS::Status createDirectoriesFrom(std::string p) {
  if (p.empty()) return failure(ENOENT);
  struct stat st;
  if (lstat(p.c_str(), &st) == 0) return directoryAt(p);
  if (mkdir(p.c_str(), 0777) == 0) return success();

  int const error = errno;
  if (error == EEXIST) return directoryAt(p);  // made meanwhile, or something else
  if (error != ENOENT) return failure(error);

  // A parent is missing: make it first.
  p = withoutTrailingSlashes(p);
  size_t const pos = p.find_last_of('/');
  if (pos == std::string::npos) return failure(ENOENT);
  std::string const parent = pos == 0 ? std::string("/") : p.substr(0, pos);
  if (parent.empty() || parent == p) return failure(ENOENT);
  FS::Status const parentMade = createDirectoriesFrom(parent);
  if (!parentMade) return parentMade;
  if (mkdir(p.c_str(), 0777) == 0) return success();
  return directoryAt(p);
}

// Names are read in full before any is removed: removing entries while readdir walks the
// same directory may skip some on certain file systems, and no descriptor stays open
// during the descent, however deep the tree. A read that fails midway fails the removal
// rather than leave the names it did not return.
FS::Status readNames(std::string const& path, std::vector<std::string>& names) {
  DIR* const dir = openDirectory(path, false);
  if (!dir) return errno == ENOENT ? success() : lastError();  // vanished meanwhile: the rmdir below tells
  for (;;) {
    errno = 0;
    dirent const* const found = readdir(dir);
    if (!found) {
      int const error = errno;
      closedir(dir);
      return error == 0 ? success() : failure(error);
    }
    if (!isDotName(found->d_name)) names.emplace_back(found->d_name);
  }
}

FS::Status removeTree(std::string const& path) {
  Heartbeat::beat();
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    // Only "nothing there" counts as removed; a path that cannot be examined may still
    // hold the tree the caller wants gone.
    return errno == ENOENT || errno == ENOTDIR ? success() : lastError();
  }
  if (!S_ISDIR(st.st_mode)) {  // files and links alike
    if (unlink(path.c_str()) == 0 || errno == ENOENT) return success();
    return lastError();
  }

  // Unlinking a child needs write and search permission on its directory: a read-only
  // directory is made writable for its owner first (it is about to go anyway).
  if ((st.st_mode & S_IRWXU) != S_IRWXU) chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);

  std::vector<std::string> names;
  FS::Status const read = readNames(path, names);
  if (!read) return read;
  for (std::string const& name : names) {
    FS::Status const removed = removeTree(FS::join(path, name));
    if (!removed) return removed;
  }
  return rmdir(path.c_str()) == 0 ? success() : lastError();
}

// rename(2) would silently replace an empty directory standing at the new name.
int renameNoReplace(std::string const& from, std::string const& to) {
#ifdef SYS_renameat2
  if (syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != ENOSYS && errno != EINVAL) return errno;
#endif
  // A kernel or file system without the flag: look first.
  struct stat st;
  if (lstat(to.c_str(), &st) == 0) return EEXIST;
  if (errno != ENOENT) return errno;
  return rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

}  // namespace

namespace FS {

bool Status::notFound() const { return error == ENOENT || error == ENOTDIR; }

Status list(std::vector<Entry>& out, std::string const& directory, bool recursive, Predicate const& predicate) {
  // An empty directory names the working directory, as the pattern "*" does on Windows.
  if (directory.find('\0') != std::string::npos) return failure(EINVAL);
  return listDirectory(out, directory, recursive, predicate, true);
}

Status createDirectories(std::string const& path) {
  if (!usablePath(path)) return failure(EINVAL);
  return createDirectoriesFrom(path);
}

Status removeAll(std::string const& path) {
  if (!usablePath(path)) return failure(EINVAL);
  return removeTree(withoutTrailingSlashes(path));
}

Status examine(std::string const& path, EntryType& type) {
  if (!usablePath(path)) return failure(EINVAL);
  struct stat st;
  if (lstat(withoutTrailingSlashes(path).c_str(), &st) != 0) return lastError();
  if (S_ISLNK(st.st_mode)) {
    type = EntryType::Link;
  } else if (S_ISDIR(st.st_mode)) {
    type = EntryType::Directory;
  } else {
    type = EntryType::File;
  }
  return success();
}

Status renameWithin(std::string const& path, std::string const& newName) {
  bool const bareName = usablePath(newName) && newName.find('/') == std::string::npos && newName != "." &&
                        newName != "..";
  if (!usablePath(path) || !bareName) return failure(EINVAL);
  std::string const from = withoutTrailingSlashes(path);
  size_t const slash = from.find_last_of('/');
  std::string const to = slash == std::string::npos ? newName : from.substr(0, slash + 1) + newName;
  int const error = renameNoReplace(from, to);
  return error == 0 ? success() : failure(error);
}

Status moveWorkingDirectoryUpTo(std::string const& root) {
  if (!usablePath(root)) return failure(EINVAL);
  // getcwd names the directory by its real path, so root is compared in that form too.
  char* const current = getcwd(nullptr, 0);
  if (!current) return lastError();
  std::string const cwd(current);
  std::free(current);
  char* const resolved = realpath(root.c_str(), nullptr);
  if (!resolved) return errno == ENOENT ? success() : lastError();  // nothing lies below a root that is not there
  std::string const real(resolved);
  std::free(resolved);
  bool const below = cwd.size() > real.size() && cwd.compare(0, real.size(), real) == 0 &&
                     (cwd[real.size()] == '/' || real == "/");
  if (!below) return success();
  return chdir(root.c_str()) == 0 ? success() : lastError();
}

bool writeFile(std::string const& path, std::vector<uint8_t> const& bytes) {
  if (!usablePath(path)) return false;
  // O_NOFOLLOW: a link planted at the target is refused rather than written through.
  int fd;
  do {
    fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return false;

  size_t offset = 0;
  while (offset < bytes.size()) {
    if (offset != 0) Heartbeat::beat();
    size_t const piece = std::min(bytes.size() - offset, kMaxWritePiece);
    ssize_t const written = write(fd, bytes.data() + offset, piece);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      close(fd);
      return false;
    }
    offset += static_cast<size_t>(written);
  }
  return close(fd) == 0;
}

bool createSymlink(std::string const& target, std::string const& linkPath) {
  if (!usablePath(target) || !usablePath(linkPath)) return false;
  return symlink(target.c_str(), linkPath.c_str()) == 0;
}

}  // namespace FS
