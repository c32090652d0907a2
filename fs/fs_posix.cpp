#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "base/heartbeat.h"
#include "fs/fs.h"
#include "fs/path.h"

// Every path is examined with lstat and every directory opened with O_NOFOLLOW below the
// top: a link is listed as a link, never entered, and unlinked as itself. Paths handed
// in must be valid UTF-8, like the other build's conversion requires.

namespace {

// 1 MiB per write call: about 50 ms on a disk that takes 20 MB/s, so the window's
// messages are read between pieces however large the payload.
constexpr size_t kMaxWritePiece = 0x100000;

bool validPath(std::string const& path) { return !FS::toWide(path).empty(); }

bool isDotName(char const* name) { return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0; }

// A trailing slash makes the kernel resolve a final link; without it lstat sees the link.
std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

bool isDirectoryNoFollow(std::string const& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

DIR* openDirectory(std::string const& path, bool followLink) {
  int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
  if (!followLink) flags |= O_NOFOLLOW;
  int const fd = open(path.empty() ? "." : path.c_str(), flags);
  if (fd < 0) return nullptr;
  DIR* const dir = fdopendir(fd);
  if (!dir) close(fd);
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
// subdirectories found on the way are opened only if they are still not links.
bool listDirectory(std::vector<FS::Entry>& out, std::string const& directory, bool recursive,
                   FS::Predicate const& predicate, bool followLink) {
  DIR* const dir = openDirectory(directory, followLink);
  if (!dir) return false;
  for (;;) {
    errno = 0;
    dirent const* const found = readdir(dir);
    if (!found) {
      bool const ended = errno == 0;
      closedir(dir);
      return ended;
    }
    if (isDotName(found->d_name)) continue;
    std::string const name(found->d_name);
    // A name the rest of the launcher cannot carry as UTF-8 ends the listing.
    if (!validPath(name)) {
      closedir(dir);
      return false;
    }
    FS::Entry entry;
    entry.path = FS::join(directory, name);
    entry.name = name;
    if (!fillType(dirfd(dir), found->d_name, entry)) {
      closedir(dir);
      return false;
    }
    bool const descend = recursive && entry.type == FS::EntryType::Directory;
    std::string const childPath = entry.path;
    if (!predicate || predicate(entry)) out.push_back(std::move(entry));
    if (descend && !listDirectory(out, childPath, recursive, predicate, false)) {
      closedir(dir);
      return false;
    }
  }
}

bool createDirectoriesFrom(std::string p) {
  if (p.empty()) return false;
  struct stat st;
  if (lstat(p.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  if (mkdir(p.c_str(), 0777) == 0) return true;

  int const error = errno;
  if (error == EEXIST) return isDirectoryNoFollow(p);  // made meanwhile, or something else
  if (error != ENOENT) return false;

  // A parent is missing: make it first.
  p = withoutTrailingSlashes(p);
  size_t const pos = p.find_last_of('/');
  if (pos == std::string::npos) return false;
  std::string const parent = pos == 0 ? std::string("/") : p.substr(0, pos);
  if (parent.empty() || parent == p) return false;
  if (!createDirectoriesFrom(parent)) return false;
  if (mkdir(p.c_str(), 0777) == 0) return true;
  return isDirectoryNoFollow(p);
}

// Names are read in full before any is removed: removing entries while readdir walks the
// same directory may skip some on certain file systems, and no descriptor stays open
// during the descent, however deep the tree.
bool readNames(std::string const& path, std::vector<std::string>& names) {
  DIR* const dir = openDirectory(path, false);
  if (!dir) return errno == ENOENT;  // vanished meanwhile: the rmdir below tells
  for (;;) {
    dirent const* const found = readdir(dir);
    if (!found) break;  // the end or an error: the rmdir below reports what is left
    if (!isDotName(found->d_name)) names.emplace_back(found->d_name);
  }
  closedir(dir);
  return true;
}

bool removeTree(std::string const& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) {
    // Only "nothing there" counts as removed; a path that cannot be examined may still
    // hold the tree the caller wants gone.
    return errno == ENOENT || errno == ENOTDIR;
  }
  if (!S_ISDIR(st.st_mode)) return unlink(path.c_str()) == 0;  // files and links alike

  // Unlinking a child needs write and search permission on its directory: a read-only
  // directory is made writable for its owner first (it is about to go anyway).
  if ((st.st_mode & S_IRWXU) != S_IRWXU) chmod(path.c_str(), (st.st_mode & 07777) | S_IRWXU);

  std::vector<std::string> names;
  if (!readNames(path, names)) return false;
  for (std::string const& name : names) {
    if (!removeTree(FS::join(path, name))) return false;
  }
  return rmdir(path.c_str()) == 0;
}

}  // namespace

namespace FS {

bool list(std::vector<Entry>& out, std::string const& directory, bool recursive, Predicate const& predicate) {
  if (!validPath(join(directory, "*"))) return false;
  return listDirectory(out, directory, recursive, predicate, true);
}

bool createDirectories(std::string const& path) {
  if (!validPath(path)) return false;
  return createDirectoriesFrom(path);
}

bool removeAll(std::string const& path) {
  if (!validPath(path)) return false;
  return removeTree(withoutTrailingSlashes(path));
}

bool writeFile(std::string const& path, std::vector<uint8_t> const& bytes) {
  if (!validPath(path)) return false;
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
  if (!validPath(target) || !validPath(linkPath)) return false;
  return symlink(target.c_str(), linkPath.c_str()) == 0;
}

}  // namespace FS
