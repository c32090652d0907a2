#pragma once
// Directory and file operations on UTF-8 paths. None of them logs; each reports success
// as a bool and the caller decides what a failure means. Links (symbolic links,
// junctions) are never followed: they are listed as links, never entered, and removed
// as themselves.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace FS {

enum class EntryType : uint32_t { File = 0, Directory = 1, Link = 2, Other = 3 };

struct Entry {
  std::string path;  // the listed directory joined with name
  std::string name;
  EntryType type = EntryType::Other;
  uint64_t size = 0;  // bytes for a File, 0 for every other kind
};

using Predicate = std::function<bool(Entry const&)>;

// Appends the entries of directory (never "." or "..") that the predicate accepts (an
// empty predicate accepts all); when recursive, descends depth-first into every
// Directory entry whether or not it was accepted. True when everything was enumerated
// to its end; on failure the entries appended so far stay in out.
bool list(std::vector<Entry>& out, std::string const& directory, bool recursive, Predicate const& predicate);

// Creates the directory and its missing parents. True when the path is a directory on
// return; false when it exists as anything else.
bool createDirectories(std::string const& path);

// Removes a file, a link or a whole tree (read-only files included). True when nothing
// is left at the path or nothing was there; false when the path cannot be examined, and
// at the first child that cannot be removed, leaving the rest.
bool removeAll(std::string const& path);

// Creates or truncates the file and writes every byte; the parent must exist. A failed
// write leaves a partial file. No temporary file. Writes in pieces of 1 MiB with a
// Heartbeat::beat() between them, so a large payload never holds the window up.
bool writeFile(std::string const& path, std::vector<uint8_t> const& bytes);

// Creates a symbolic link at linkPath storing target (here a bare file name, so the link
// is relative). Always false on Windows.
bool createSymlink(std::string const& target, std::string const& linkPath);

}  // namespace FS
