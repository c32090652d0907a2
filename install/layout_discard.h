#pragma once
// Removing a directory of an earlier install without ever leaving it half-deleted in
// place. It is first renamed, in one step, within its parent to a name of its own
// (".<edition>_<channel>.discarded-<n>"), and the renamed tree is deleted afterwards; a
// rename that succeeded frees the install's name at once. A renamed tree whose deletion
// fails (a file that cannot be deleted) stays behind as a leftover, which later runs of
// the same edition and channel delete, best effort, without ever failing for it.
//
// The names start with "." so that no clean-up of any edition, channel or host (exact
// legacy and edition names, "http__"/"https__" prefixes) ever takes one for an install,
// and they carry the edition and channel, so that a run only ever deletes leftovers that
// no other live launcher can be working on: the run lock it holds covers exactly those.
// The prefix is reserved: whatever carries it is a leftover, whatever its kind, so that
// nothing planted under such names (files, links) can take the numbers away for good.
#include <string>
#include <vector>

#include "fs/fs.h"

namespace Discard {

// The start of the leftover names of an edition and channel (raw names).
std::string leftoverPrefix(std::string const& edition, std::string const& channel);

// Whether the entry is a leftover of the prefix: its name starts with the prefix, be it a
// directory, a file or a link.
bool isLeftover(FS::Entry const& entry, std::string const& prefix);

// The first leftover name, the prefix followed by the lowest number from 1 on, that none
// of the taken names is; there is always one.
std::string freeName(std::vector<std::string> const& taken, std::string const& prefix);

// Renames the directory aside under a free leftover name and deletes the renamed tree.
// Fails, with nothing of the directory deleted, when it cannot be renamed (the system's
// reason in the status); succeeds once it is renamed, whether or not the deletion
// completed, and when the directory is no longer there at all.
FS::Status directory(std::string const& path, std::string const& prefix);

// Deletes the leftovers of the prefix found in each of the directories, each as itself
// (a link is never followed), best effort: nothing is reported and nothing stops the run.
void sweep(std::vector<std::string> const& directories, std::string const& prefix);

}  // namespace Discard
