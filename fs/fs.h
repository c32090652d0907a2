#pragma once
// Directory and file operations on paths (UTF-8 on Windows; byte strings on POSIX, where
// a name need not be valid UTF-8, only free of NUL). None of them logs; each reports its
// outcome and the caller decides what a failure means. Links (symbolic links, junctions) are never
// followed: they are listed as links, never entered, and removed or moved as themselves.
//
// On Windows every path reaches the system in its extended-length form when it is
// absolute (see FS::detail::extendedLengthPath), so paths past 260 characters work, and
// an operation that fails with a sharing or access error, which a scanner, the indexer
// or Explorer cause by holding a file for a moment, is tried again a few times within a
// third of a second (FS::detail::retryWhileTransient). The POSIX build never retries.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace FS {

// The outcome of an operation: success, or the platform's reason for the failure (errno
// on POSIX, GetLastError() on Windows), never 0 on failure. Tests as a bool.
struct Status {
  int error = 0;

  operator bool() const { return error == 0; }
  // Nothing is at the path, or a component before its last is missing or no directory.
  bool notFound() const;
};

enum class EntryType : uint32_t { File = 0, Directory = 1, Link = 2, Other = 3 };

struct Entry {
  std::string path;  // the listed directory joined with name
  std::string name;  // as the system gave it: never rewritten or re-read as a path
  EntryType type = EntryType::Other;
  uint64_t size = 0;  // bytes for a File, 0 for every other kind
};

using Predicate = std::function<bool(Entry const&)>;

// Appends the entries of directory (never "." or "..") that the predicate accepts (an
// empty predicate accepts all); when recursive, descends depth-first into every
// Directory entry whether or not it was accepted. The directory itself may be reached
// through a link; links inside it are never entered. Succeeds when everything was
// enumerated to its end; on failure the entries appended so far stay in out, and a
// missing directory fails with notFound().
Status list(std::vector<Entry>& out, std::string const& directory, bool recursive, Predicate const& predicate);

// Creates the directory and its missing parents. Succeeds when the path is a directory
// on return, or a link to one (a junction on Windows, a symbolic link on POSIX); fails
// when it exists as anything else, a dangling link included.
Status createDirectories(std::string const& path);

// Removes a file, a link or a whole tree (read-only files and directories included),
// in place. Succeeds when nothing is left at the path or nothing was there; fails when
// the path cannot be examined, or at the first child that cannot be removed, leaving
// the rest.
Status removeAll(std::string const& path);

// Sets type to what stands at the path itself: Link for a symbolic link or a junction
// (whatever it points to, dangling or not), Directory, or File for anything else. On
// failure type is untouched; notFound() tells that nothing is there.
Status examine(std::string const& path, EntryType& type);

// Renames the file, directory or link at path to newName (a bare name) in the same
// directory, in one step: a directory moves with everything in it, a link as itself.
// Never replaces: fails when newName is taken. On failure nothing has changed.
Status renameWithin(std::string const& path, std::string const& newName);

// When this process's working directory lies below root (inside it, not root itself),
// makes root the working directory, so that the process pins nothing below root (on
// Windows a working directory is an open handle, which keeps its tree from being renamed
// or removed). Succeeds when the working directory was elsewhere or was moved; fails,
// leaving it as it was, when it cannot be read or changed.
Status moveWorkingDirectoryUpTo(std::string const& root);

// Creates or truncates the file and writes every byte; the parent must exist. A failed
// write leaves a partial file. No temporary file. Writes in pieces of 1 MiB with a
// Heartbeat::beat() between them, so a large payload never holds the window up. On POSIX
// a link at the path is refused.
bool writeFile(std::string const& path, std::vector<uint8_t> const& bytes);

// Creates a symbolic link at linkPath storing target (here a bare file name, so the link
// is relative). Always false on Windows, where it makes no system call.
bool createSymlink(std::string const& target, std::string const& linkPath);

}  // namespace FS
