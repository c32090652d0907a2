#include "fs/fs_win32.h"

#include <algorithm>

#include "base/heartbeat.h"
#include "fs/fs.h"
#include "fs/path.h"
#include "fs/retry.h"

namespace FS::win32 {

SystemCalls const& systemCalls() {
  static SystemCalls const kSystemCalls{};
  return Base::ReplaceableCalls<SystemCalls>::current(kSystemCalls);
}

}  // namespace FS::win32

namespace {

using FS::win32::systemCalls;

// 1 MiB per WriteFile call: about 50 ms on a disk that takes 20 MB/s, so the window's
// messages are read between pieces however large the payload; a syscall per MiB costs
// nothing next to the copy itself.
constexpr DWORD kMaxWritePiece = 0x100000;
// Nobody else may open a payload while it is written.
constexpr DWORD kNoSharing = 0;

FS::Status success() { return {}; }
FS::Status failure(DWORD error) { return FS::Status{static_cast<int>(error != 0 ? error : ERROR_GEN_FAILURE)}; }
FS::Status lastError() { return failure(GetLastError()); }

bool isSeparator(char c) { return c == '\\' || c == '/'; }

bool isDotName(wchar_t const* name) {
  return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

// The longest path the system takes in any form, in UTF-16 code units.
constexpr size_t kMaxSystemPath = 32767;

// The path as the system takes it past 260 characters; empty when it is not valid UTF-8,
// holds a NUL, which would cut it short at the call, or is longer than any path can be
// (no directory above it is then looked for, one level at a time).
std::wstring systemPath(std::string const& path) {
  if (path.find('\0') != std::string::npos || path.size() > 4 * kMaxSystemPath) return {};
  std::wstring wide = FS::toWide(FS::detail::extendedLengthPath(path));
  if (wide.size() > kMaxSystemPath) return {};
  return wide;
}

// One call that answers success as a BOOL (or bool), tried again while its error is one
// of the transient ones; the error is read at once, before anything else can change it.
template <typename Call>
FS::Status withRetries(Call call) {
  return FS::detail::retryWhileTransient([&call] { return call() ? success() : lastError(); });
}

FS::Status directoryAt(std::wstring const& wide) {
  DWORD const attributes = systemCalls().getFileAttributes(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return lastError();
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? success() : failure(ERROR_ALREADY_EXISTS);
}

FS::Entry makeEntry(std::string const& directory, std::string const& name, WIN32_FIND_DATAW const& data) {
  FS::Entry entry;
  entry.path = FS::join(directory, name);
  entry.name = name;
  // A link to a directory carries the directory attribute too: the reparse test decides first.
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    entry.type = FS::EntryType::Link;
  } else if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
    entry.type = FS::EntryType::Directory;
  } else {
    entry.type = FS::EntryType::File;
    entry.size = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }
  return entry;
}

// Makes the one directory p. parentMissing says whether it failed only because its
// parent is not there yet, the one failure a caller may mend by making the parent first.
FS::Status makeDirectory(std::string const& p, bool& parentMissing) {
  parentMissing = false;
  std::wstring const wide = systemPath(p);
  if (wide.empty()) return failure(ERROR_INVALID_NAME);
  DWORD const attributes = systemCalls().getFileAttributes(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? success() : failure(ERROR_ALREADY_EXISTS);
  }
  FS::Status const made = withRetries([&] { return systemCalls().createDirectory(wide.c_str(), nullptr); });
  if (made) return made;
  if (made.error == ERROR_ALREADY_EXISTS) return directoryAt(wide);  // made meanwhile, or a file
  parentMissing = made.error == ERROR_PATH_NOT_FOUND;
  return made;
}

// The length of p's parent, a prefix of p; npos when p has none. The drive root "D:\"
// keeps its separator.
size_t parentLength(std::string const& p) {
  auto const isDriveRoot = [&p](size_t length) { return length == 3 && p[1] == ':' && isSeparator(p[2]); };
  size_t length = p.size();
  while (length >= 2 && isSeparator(p[length - 1]) && !isDriveRoot(length)) --length;
  size_t const pos = p.find_last_of("\\/", length - 1);
  if (pos == std::string::npos || length == 0) return std::string::npos;
  size_t parent = pos;
  if (pos == 0) {
    parent = 1;
  } else if (pos == 2 && p[1] == ':') {
    parent = 3;
  }
  return parent == 0 || parent >= length ? std::string::npos : parent;
}

// The creation works on the caller's path, so that the drive root and the parent rules
// apply to it; each call takes its extended form. Missing parents are made in a loop,
// not by recursion: a path of 32,767 characters may hold 16,000 levels, too many for the
// stack, and every level is a prefix of the path, so only its length is kept.
FS::Status createDirectoriesFrom(std::string const& path) {
  std::vector<size_t> waiting;  // prefixes to make once their parents stand, deepest first
  for (size_t length = path.size();;) {
    std::string const p = path.substr(0, length);
    bool parentMissing = false;
    FS::Status const made = makeDirectory(p, parentMissing);
    if (!parentMissing) {
      if (!made) return made;
      break;
    }
    size_t const parent = parentLength(p);
    if (parent == std::string::npos) return made;
    waiting.push_back(length);
    length = parent;
  }
  while (!waiting.empty()) {
    std::wstring const wide = systemPath(path.substr(0, waiting.back()));
    waiting.pop_back();
    FS::Status const again = withRetries([&] { return systemCalls().createDirectory(wide.c_str(), nullptr); });
    if (!again) {
      FS::Status const there = directoryAt(wide);
      if (!there) return there;
    }
  }
  return success();
}

FS::Status deleteFileNamed(std::wstring const& wide) {
  FS::Status const deleted = withRetries([&] { return systemCalls().deleteFile(wide.c_str()); });
  return deleted || deleted.error == ERROR_FILE_NOT_FOUND ? success() : deleted;
}

// NTFS refuses to remove a directory whose own read-only attribute is set (Explorer sets
// it on customised folders) as it refuses to delete a read-only file, so the attribute
// is cleared right before the removal, as a file's is.
FS::Status removeEmptyDirectory(std::wstring const& wide, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_READONLY) {
    systemCalls().setFileAttributes(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
  return withRetries([&] { return systemCalls().removeDirectory(wide.c_str()); });
}

// Every name in a directory, read in full before any is removed, so that no search handle
// stays open while the tree below is taken apart. A read that fails midway fails.
FS::Status readNames(std::string const& directory, std::vector<std::string>& names) {
  std::wstring const pattern = systemPath(FS::join(directory, "*"));
  WIN32_FIND_DATAW data;
  HANDLE const find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD const error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND ? success() : failure(error);
  }
  for (;;) {
    if (!isDotName(data.cFileName)) {
      std::string name = FS::toUtf8(std::wstring(data.cFileName));
      // An unconvertible name would join to the directory itself.
      if (name.empty()) {
        FindClose(find);
        return failure(ERROR_NO_UNICODE_TRANSLATION);
      }
      names.push_back(std::move(name));
    }
    if (!FindNextFileW(find, &data)) {
      DWORD const error = GetLastError();
      FindClose(find);
      return error == ERROR_NO_MORE_FILES ? success() : failure(error);
    }
  }
}

// A directory being emptied: its attributes as found, its names, the next one to remove,
// and the length of the walk's current path when it is this directory's.
struct DirectoryToEmpty {
  DWORD attributes = 0;
  std::vector<std::string> names;
  size_t next = 0;
  size_t pathLength = 0;
};

// Removes what stands at path unless it is a directory of its own, which is pushed onto
// the walk with its names instead.
FS::Status removeOrOpen(std::string const& path, std::vector<DirectoryToEmpty>& walk) {
  Heartbeat::beat();
  std::wstring const wide = systemPath(path);
  if (wide.empty()) return failure(ERROR_INVALID_NAME);
  DWORD const attributes = systemCalls().getFileAttributes(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // Only "nothing there" counts as removed; a path that cannot be examined may still hold
    // the tree the caller wants gone. A name that is not valid (also the answer for a path
    // that runs through a file on some systems) cannot be there either.
    DWORD const error = GetLastError();
    bool const nothing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME;
    return nothing ? success() : failure(error);
  }

  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // Removed as itself: what it points to is never touched.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      return withRetries([&] { return systemCalls().removeDirectory(wide.c_str()); });
    }
    return deleteFileNamed(wide);
  }

  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    // DeleteFileW refuses read-only files.
    if (attributes & FILE_ATTRIBUTE_READONLY) {
      systemCalls().setFileAttributes(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    }
    return deleteFileNamed(wide);
  }

  DirectoryToEmpty directory;
  directory.attributes = attributes;
  directory.pathLength = path.size();
  FS::Status const read = readNames(path, directory.names);
  if (!read) return read;
  walk.push_back(std::move(directory));
  return success();
}

// Depth first, in a loop rather than by recursion: a tree in a profile may be 16,000
// levels deep on Windows (paths of 32,767 characters), far more than the stack holds. One
// path string serves the whole walk, so memory grows with the tree's breadth, never with
// its depth times its path length.
FS::Status removeTree(std::string const& root) {
  std::vector<DirectoryToEmpty> walk;
  std::string path = root;
  FS::Status const first = removeOrOpen(path, walk);
  if (!first) return first;
  while (!walk.empty()) {
    DirectoryToEmpty& directory = walk.back();
    path.resize(directory.pathLength);
    if (directory.next < directory.names.size()) {
      path = FS::join(path, directory.names[directory.next++]);
      // May push onto the walk: the reference above is not used again in this pass.
      FS::Status const removed = removeOrOpen(path, walk);
      if (!removed) return removed;
      continue;
    }
    FS::Status const emptied = removeEmptyDirectory(systemPath(path), directory.attributes);
    if (!emptied) return emptied;
    walk.pop_back();
  }
  return success();
}

FS::Status listDirectory(std::vector<FS::Entry>& out, std::string const& directory, bool recursive,
                         FS::Predicate const& predicate) {
  std::wstring const pattern = systemPath(FS::join(directory, "*"));
  if (pattern.empty()) return failure(ERROR_INVALID_NAME);
  WIN32_FIND_DATAW data;
  HANDLE const find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return lastError();

  for (;;) {
    Heartbeat::beat();
    if (!isDotName(data.cFileName)) {
      std::string const name = FS::toUtf8(std::wstring(data.cFileName));
      if (name.empty()) {
        FindClose(find);
        return failure(ERROR_NO_UNICODE_TRANSLATION);
      }
      FS::Entry entry = makeEntry(directory, name, data);
      bool const descend = recursive && entry.type == FS::EntryType::Directory;
      std::string const childPath = entry.path;
      if (!predicate || predicate(entry)) out.push_back(std::move(entry));
      if (descend) {
        // A subdirectory that vanished meanwhile simply holds nothing.
        FS::Status const inner = listDirectory(out, childPath, recursive, predicate);
        if (!inner && !inner.notFound()) {
          FindClose(find);
          return inner;
        }
      }
    }
    if (!FindNextFileW(find, &data)) {
      DWORD const error = GetLastError();
      FindClose(find);
      return error == ERROR_NO_MORE_FILES ? success() : failure(error);
    }
  }
}

// A directory path in the form two spellings of it compare in: long names instead of
// their 8.3 aliases, without the extended-length prefix or a trailing separator.
std::wstring comparableForm(std::wstring path) {
  DWORD const size = GetLongPathNameW(path.c_str(), nullptr, 0);
  if (size != 0) {
    std::wstring full(size, L'\0');
    DWORD const length = GetLongPathNameW(path.c_str(), full.data(), size);
    if (length != 0 && length < size) path = full.substr(0, length);
  }
  if (path.rfind(L"\\\\?\\", 0) == 0 && path.size() > 6 && path[5] == L':') path.erase(0, 4);
  while (path.size() > 3 && (path.back() == L'\\' || path.back() == L'/')) path.pop_back();
  return path;
}

}  // namespace

namespace FS {

bool Status::notFound() const {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
         error == ERROR_DIRECTORY;
}

Status list(std::vector<Entry>& out, std::string const& directory, bool recursive, Predicate const& predicate) {
  return listDirectory(out, directory, recursive, predicate);
}

Status createDirectories(std::string const& path) { return createDirectoriesFrom(path); }

Status removeAll(std::string const& path) { return removeTree(path); }

Status examine(std::string const& path, EntryType& type) {
  std::wstring const wide = systemPath(path);
  if (wide.empty()) return failure(ERROR_INVALID_NAME);
  DWORD const attributes = systemCalls().getFileAttributes(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return lastError();
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    type = EntryType::Link;
  } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    type = EntryType::Directory;
  } else {
    type = EntryType::File;
  }
  return success();
}

Status renameWithin(std::string const& path, std::string const& newName) {
  bool const bareName = !newName.empty() && newName.find_first_of("\\/") == std::string::npos && newName != "." &&
                        newName != "..";
  if (!bareName) return failure(ERROR_INVALID_NAME);
  std::string from = path;
  while (from.size() > 1 && isSeparator(from.back())) from.pop_back();
  size_t const pos = from.find_last_of("\\/");
  std::string const to = pos == std::string::npos ? newName : from.substr(0, pos + 1) + newName;
  std::wstring const wideFrom = systemPath(from);
  std::wstring const wideTo = systemPath(to);
  if (wideFrom.empty() || wideTo.empty()) return failure(ERROR_INVALID_NAME);
  // No MOVEFILE_REPLACE_EXISTING: a name that is taken fails the move. No
  // MOVEFILE_COPY_ALLOWED: a move within one directory is never a copy.
  DWORD const kPlainMove = 0;
  return withRetries([&] { return systemCalls().moveFile(wideFrom.c_str(), wideTo.c_str(), kPlainMove); });
}

Status moveWorkingDirectoryUpTo(std::string const& root) {
  std::wstring const wideRoot = toWide(root);
  if (wideRoot.empty()) return failure(ERROR_INVALID_NAME);
  DWORD const size = GetCurrentDirectoryW(0, nullptr);
  if (size == 0) return lastError();
  std::wstring cwd(size, L'\0');
  cwd.resize(GetCurrentDirectoryW(size, cwd.data()));
  std::wstring const current = comparableForm(cwd);
  std::wstring const top = comparableForm(wideRoot);
  // Names differ in letter case only as the file system lets them, which the ordinal
  // comparison ignoring case follows.
  bool const below = current.size() > top.size() && isSeparator(static_cast<char>(current[top.size()])) &&
                     CompareStringOrdinal(current.c_str(), static_cast<int>(top.size()), top.c_str(),
                                          static_cast<int>(top.size()), TRUE) == CSTR_EQUAL;
  if (!below) return success();
  return SetCurrentDirectoryW(wideRoot.c_str()) ? success() : lastError();
}

bool writeFile(std::string const& path, std::vector<uint8_t> const& bytes) {
  std::wstring const wide = systemPath(path);
  if (wide.empty()) return false;
  HANDLE file = INVALID_HANDLE_VALUE;
  FS::Status const opened = withRetries([&] {
    file = systemCalls().createFile(wide.c_str(), GENERIC_WRITE, kNoSharing, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    return file != INVALID_HANDLE_VALUE;
  });
  if (!opened) return false;

  size_t offset = 0;
  while (offset < bytes.size()) {
    if (offset != 0) Heartbeat::beat();
    DWORD const piece = static_cast<DWORD>(std::min<size_t>(bytes.size() - offset, kMaxWritePiece));
    DWORD written = 0;
    if (!WriteFile(file, bytes.data() + offset, piece, &written, nullptr) || written == 0) {
      CloseHandle(file);
      return false;
    }
    offset += written;
  }
  return CloseHandle(file) != 0;
}

bool createSymlink(std::string const&, std::string const&) { return false; }

}  // namespace FS
