#include "exec/in_use_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <unordered_map>
#include <utility>

#include "exec/in_use.h"

namespace {

int listNames(std::string const& directory, std::vector<std::string>& names) {
  DIR* const dir = opendir(directory.c_str());
  if (!dir) return errno;
  for (;;) {
    errno = 0;
    dirent const* const found = readdir(dir);
    if (!found) break;
    if (std::strcmp(found->d_name, ".") != 0 && std::strcmp(found->d_name, "..") != 0) names.emplace_back(found->d_name);
  }
  int const error = errno;
  closedir(dir);
  return error;
}

int readLink(std::string const& path, std::string& target) {
  std::string buffer(PATH_MAX, '\0');
  for (;;) {
    ssize_t const length = readlink(path.c_str(), buffer.data(), buffer.size());
    if (length < 0) return errno;
    // A target that filled the buffer may have been cut: read it again with more room.
    if (static_cast<size_t>(length) < buffer.size()) {
      target.assign(buffer, 0, static_cast<size_t>(length));
      return 0;
    }
    buffer.resize(buffer.size() * 2);
  }
}

int readFile(std::string const& path, std::string& content) {
  int const fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  content.clear();
  char buffer[65536];
  for (;;) {
    ssize_t const got = read(fd, buffer, sizeof(buffer));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      int const error = got < 0 ? errno : 0;
      close(fd);
      return error;
    }
    content.append(buffer, static_cast<size_t>(got));
  }
}

int ownerOf(std::string const& path, uint32_t& owner) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno;
  owner = st.st_uid;
  return 0;
}

bool isNumber(std::string const& name) {
  return !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
}

// The path of every file mapping of a maps text: the sixth field, after five fields and
// their blanks, when it is a path (the kernel writes "[heap]" and the like for others).
void appendMappedPaths(std::string const& maps, std::vector<std::string>& paths) {
  size_t line = 0;
  while (line < maps.size()) {
    size_t const end = std::min(maps.find('\n', line), maps.size());
    size_t at = line;
    for (int field = 0; field < 5 && at < end; ++field) {
      at = std::min(maps.find(' ', at), end);
      at = std::min(maps.find_first_not_of(' ', at), end);
    }
    // Consecutive mappings of one file are the rule: each path is kept once in a row.
    if (at < end && maps[at] == '/' && (paths.empty() || maps.compare(at, end - at, paths.back()) != 0)) {
      paths.emplace_back(maps, at, end - at);
    }
    line = end + 1;
  }
}

// The trees, by the path the kernel names them with, for the trees that lie at the path
// or at any of its parents. The kernel names what a process uses by its real path ("/x
// (deleted)" for one removed meanwhile, still inside its tree). Looked up one parent at
// a time, so that thousands of trees cost no more than a few.
class TreeIndex {
 public:
  explicit TreeIndex(std::vector<std::string> const& realTrees) {
    for (size_t i = 0; i < realTrees.size(); ++i) {
      if (!realTrees[i].empty()) trees_.emplace(realTrees[i], i);
    }
  }

  bool empty() const { return trees_.empty(); }

  void containing(std::string const& path, std::vector<size_t>& found) const {
    for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
      auto const [first, last] = trees_.equal_range(end == std::string::npos ? path : path.substr(0, end));
      for (auto it = first; it != last; ++it) found.push_back(it->second);
      if (end == std::string::npos) return;
    }
  }

 private:
  std::unordered_multimap<std::string, size_t> trees_;
};

// The tree as the kernel names it, with every link of its parents resolved; empty for a
// link (never followed, never in use) or a tree that is not there.
std::string realTree(std::string const& tree) {
  struct stat st;
  if (lstat(tree.c_str(), &st) != 0 || S_ISLNK(st.st_mode)) return {};
  char* const resolved = realpath(tree.c_str(), nullptr);
  if (!resolved) return {};
  std::string real(resolved);
  std::free(resolved);
  return real;
}

}  // namespace

namespace InUse::posix {

SystemCalls const& systemCalls() {
  static SystemCalls calls{listNames, readLink, readFile, ownerOf};
  // Read at each call: a forked child is another process of its own.
  calls.self = static_cast<uint32_t>(getpid());
  calls.user = static_cast<uint32_t>(geteuid());
  return Base::ReplaceableCalls<SystemCalls>::current(calls);
}

}  // namespace InUse::posix

namespace InUse {

FS::Status usersOf(std::vector<std::string> const& trees, std::vector<std::vector<User>>& users) {
  users.assign(trees.size(), {});
  std::vector<std::string> real;
  for (std::string const& tree : trees) real.push_back(realTree(tree));
  TreeIndex const index(real);
  if (index.empty()) return {};

  posix::SystemCalls const& calls = posix::systemCalls();
  std::vector<std::string> processes;
  if (int const error = calls.listNames("/proc", processes)) return FS::Status{error};
  for (std::string const& name : processes) {
    if (!isNumber(name) || name.size() > 9) continue;
    uint32_t const pid = static_cast<uint32_t>(std::stoul(name));
    std::string const dir = "/proc/" + name;
    uint32_t owner = 0;
    if (pid == calls.self || calls.ownerOf(dir, owner) != 0 || owner != calls.user) continue;

    // Whatever cannot be read (the process ended, or it is not ours to look into)
    // tells nothing.
    std::vector<std::string> paths;
    std::string program;
    std::string text;
    if (calls.readLink(dir + "/exe", program) == 0) paths.push_back(program);
    if (calls.readLink(dir + "/cwd", text) == 0) paths.push_back(text);
    if (calls.readFile(dir + "/maps", text) == 0) appendMappedPaths(text, paths);
    std::vector<std::string> descriptors;
    (void)calls.listNames(dir + "/fd", descriptors);
    for (std::string const& fd : descriptors) {
      if (calls.readLink(dir + "/fd/" + fd, text) == 0) paths.push_back(text);
    }

    std::vector<size_t> used;
    for (std::string const& path : paths) index.containing(path, used);
    std::sort(used.begin(), used.end());
    used.erase(std::unique(used.begin(), used.end()), used.end());
    for (size_t const i : used) users[i].push_back({pid, program});
  }
  return {};
}

}  // namespace InUse
