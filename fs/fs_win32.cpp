#include "fs/fs_win32.h"

#include <algorithm>

#include "base/heartbeat.h"
#include "fs/fs.h"
#include "fs/path.h"
#include "fs/retry.h"

namespace FS::win32 {

namespace {
SystemCalls const kSystemCalls{};
ScopedSystemCalls* replaced = nullptr;
}  // namespace

SystemCalls const& systemCalls() { return replaced ? replaced->calls_ : kSystemCalls; }

ScopedSystemCalls::ScopedSystemCalls(SystemCalls const& calls) : calls_(calls), previous_(replaced) {
  replaced = this;
}

ScopedSystemCalls::~ScopedSystemCalls() { replaced = previous_; }

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

// The path as the system takes it past 260 characters; empty when it is not valid UTF-8
// or holds a NUL, which would cut it short at the call.
std::wstring systemPath(std::string const& path) {
  if (path.find('\0') != std::string::npos) return {};
  return FS::toWide(FS::detail::extendedLengthPath(path));
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

// The creation works on the caller's path, so that the drive root and the parent rules
// apply to it; each call takes its extended form.
FS::Status createDirectoriesFrom(std::string p) {
  std::wstring const wide = systemPath(p);
  if (wide.empty()) return failure(ERROR_INVALID_NAME);
  DWORD const attributes = systemCalls().getFileAttributes(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? success() : failure(ERROR_ALREADY_EXISTS);
  }
  FS::Status const made = withRetries([&] { return systemCalls().createDirectory(wide.c_str(), nullptr); });
  if (made) return made;
  if (made.error == ERROR_ALREADY_EXISTS) return directoryAt(wide);  // made meanwhile, or a file
  if (made.error != ERROR_PATH_NOT_FOUND) return made;

  // A parent is missing: make it first. The drive root "D:\" keeps its separator.
  auto const isDriveRoot = [](std::string const& s) { return s.size() == 3 && s[1] == ':' && isSeparator(s[2]); };
  while (p.size() >= 2 && isSeparator(p.back()) && !isDriveRoot(p)) p.pop_back();
  size_t const pos = p.find_last_of("\\/");
  if (pos == std::string::npos) return made;
  std::string parent;
  if (pos == 0) {
    parent = p.substr(0, 1);
  } else if (pos == 2 && p.size() >= 3 && p[1] == ':') {
    parent = p.substr(0, 3);
  } else {
    parent = p.substr(0, pos);
  }
  if (parent.empty() || parent == p) return made;
  FS::Status const parentMade = createDirectoriesFrom(parent);
  if (!parentMade) return parentMade;
  FS::Status const again = withRetries([&] { return systemCalls().createDirectory(wide.c_str(), nullptr); });
  return again ? again : directoryAt(wide);
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

FS::Status removeTree(std::string const& path) {
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

  std::wstring const pattern = systemPath(FS::join(path, "*"));
  WIN32_FIND_DATAW data;
  HANDLE const find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD const error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND) return failure(error);
  } else {
    for (;;) {
      if (!isDotName(data.cFileName)) {
        std::string const name = FS::toUtf8(std::wstring(data.cFileName));
        // An unconvertible name would join to the directory itself and recurse forever.
        if (name.empty()) {
          FindClose(find);
          return failure(ERROR_NO_UNICODE_TRANSLATION);
        }
        FS::Status const removed = removeTree(FS::join(path, name));
        if (!removed) {
          FindClose(find);
          return removed;
        }
      }
      if (!FindNextFileW(find, &data)) break;
    }
    FindClose(find);
  }
  return removeEmptyDirectory(wide, attributes);
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
