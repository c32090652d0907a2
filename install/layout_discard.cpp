#include "install/layout_discard.h"

#include <string>

#include "fs/path.h"

namespace {

constexpr int kMaxLeftoverNumber = 10000;

bool isDigits(std::string const& text, size_t from) {
  if (from >= text.size()) return false;
  for (size_t i = from; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

}  // namespace

namespace Discard {

std::string leftoverPrefix(std::string const& edition, std::string const& channel) {
  return "." + edition + "_" + channel + ".discarded-";
}

bool isLeftover(FS::Entry const& entry, std::string const& prefix) {
  return entry.type == FS::EntryType::Directory && entry.name.compare(0, prefix.size(), prefix) == 0 &&
         isDigits(entry.name, prefix.size());
}

FS::Status directory(std::string const& path, std::string const& prefix) {
  std::string const parent = FS::parentPath(path);
  std::string name;
  for (int number = 1; number <= kMaxLeftoverNumber; ++number) {
    name = prefix + std::to_string(number);
    FS::EntryType taken;
    FS::Status const look = FS::examine(FS::join(parent, name), taken);
    // Free, or the parent cannot be examined: the rename itself then tells.
    if (!look) break;
  }
  // Never replaces: when every number is taken the directory stays whole where it is.
  FS::Status const moved = FS::renameWithin(path, name);
  if (!moved) return moved;
  // Whatever stays of it is a leftover for a later run.
  (void)FS::removeAll(FS::join(parent, name));
  return moved;
}

void sweep(std::vector<std::string> const& directories, std::string const& prefix) {
  for (std::string const& directory : directories) {
    std::vector<FS::Entry> leftovers;
    (void)FS::list(leftovers, directory, false, [&prefix](FS::Entry const& entry) { return isLeftover(entry, prefix); });
    for (FS::Entry const& leftover : leftovers) (void)FS::removeAll(leftover.path);
  }
}

}  // namespace Discard
