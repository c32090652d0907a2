#include "install/layout_discard.h"

#include <set>
#include <string>

#include "exec/in_use.h"
#include "fs/path.h"

namespace {

// Names planted between the listing and the rename are stepped over this many times.
constexpr int kRenameAttempts = 16;

bool startsWith(std::string const& text, std::string const& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The number a leftover name carries as written by freeName (digits without a leading
// zero, short enough to read); 0 for any other name.
unsigned long long numberOf(std::string const& name, std::string const& prefix) {
  std::string const digits = name.substr(prefix.size());
  if (digits.empty() || digits.size() > 18 || digits[0] == '0') return 0;
  unsigned long long number = 0;
  for (char const c : digits) {
    if (c < '0' || c > '9') return 0;
    number = number * 10 + static_cast<unsigned long long>(c - '0');
  }
  return number;
}

}  // namespace

namespace Discard {

std::string leftoverPrefix(std::string const& edition, std::string const& channel) {
  return "." + edition + "_" + channel + ".discarded-";
}

bool isLeftover(FS::Entry const& entry, std::string const& prefix) { return startsWith(entry.name, prefix); }

std::string freeName(std::vector<std::string> const& taken, std::string const& prefix) {
  std::set<unsigned long long> numbers;
  for (std::string const& name : taken) {
    if (startsWith(name, prefix)) numbers.insert(numberOf(name, prefix));
  }
  // n names take at most n numbers, so one of 1 ... n + 1 is free.
  unsigned long long number = 1;
  while (numbers.count(number) != 0) ++number;
  return prefix + std::to_string(number);
}

FS::Status directory(std::string const& path, std::string const& prefix) {
  std::string const parent = FS::parentPath(path);
  std::vector<FS::Entry> entries;
  // A parent that cannot be listed leaves the names unknown: the rename itself then tells.
  (void)FS::list(entries, parent, false, [&prefix](FS::Entry const& entry) { return isLeftover(entry, prefix); });
  std::vector<std::string> taken;
  for (FS::Entry const& entry : entries) taken.push_back(entry.name);

  std::string name = freeName(taken, prefix);
  FS::Status moved = FS::renameWithin(path, name);
  for (int attempt = 1; !moved && attempt < kRenameAttempts; ++attempt) {
    FS::EntryType type;
    // Gone since it was listed (another program removed it): nothing left to remove.
    if (FS::examine(path, type).notFound()) return {};
    // Never replaces: a name taken meanwhile is stepped over; any other refusal stands.
    if (!FS::examine(FS::join(parent, name), type)) return moved;
    taken.push_back(name);
    name = freeName(taken, prefix);
    moved = FS::renameWithin(path, name);
  }
  if (!moved) return moved;
  // Whatever stays of it is a leftover for a later run.
  (void)FS::removeAll(FS::join(parent, name));
  return moved;
}

void sweep(std::vector<std::string> const& directories, std::string const& prefix) {
  std::vector<FS::Entry> leftovers;
  for (std::string const& directory : directories) {
    (void)FS::list(leftovers, directory, false, [&prefix](FS::Entry const& entry) { return isLeftover(entry, prefix); });
  }
  // A tree moved aside by a launcher that did not ask may still be what an application
  // runs from: it waits for a run after that application has ended. Only directories are
  // asked about, once each, however many names were planted.
  std::vector<std::string> trees;
  for (FS::Entry const& leftover : leftovers) {
    if (leftover.type == FS::EntryType::Directory) trees.push_back(leftover.path);
  }
  std::vector<std::vector<InUse::User>> users;
  (void)InUse::usersOf(trees, users);
  size_t tree = 0;  // the directories come in the order of the leftovers
  for (FS::Entry const& leftover : leftovers) {
    if (leftover.type == FS::EntryType::Directory && !users[tree++].empty()) continue;
    (void)FS::removeAll(leftover.path);
  }
}

}  // namespace Discard
