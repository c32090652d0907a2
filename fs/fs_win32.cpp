#include <windows.h>

#include <algorithm>

#include "base/heartbeat.h"
#include "fs/fs.h"
#include "fs/path.h"

namespace {

// 1 MiB per WriteFile call: about 50 ms on a disk that takes 20 MB/s, so the window's
// messages are read between pieces however large the payload; a syscall per MiB costs
// nothing next to the copy itself.
constexpr DWORD kMaxWritePiece = 0x100000;

bool isSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool isDotName(wchar_t const* name) {
  return (name[0] == L'.' && name[1] == L'\0') || (name[0] == L'.' && name[1] == L'.' && name[2] == L'\0');
}

bool isDirectory(std::wstring const& path) {
  DWORD const attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
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

bool createDirectoriesWide(std::wstring p) {
  if (p.empty()) return false;
  DWORD const attributes = GetFileAttributesW(p.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (CreateDirectoryW(p.c_str(), nullptr)) return true;

  DWORD const error = GetLastError();
  if (error == ERROR_ALREADY_EXISTS) return isDirectory(p);  // made meanwhile, or a file
  if (error != ERROR_PATH_NOT_FOUND) return false;

  // A parent is missing: make it first. The drive root "D:\" keeps its separator.
  auto const isDriveRoot = [](std::wstring const& s) { return s.size() == 3 && s[1] == L':' && isSeparator(s[2]); };
  while (p.size() >= 2 && isSeparator(p.back()) && !isDriveRoot(p)) p.pop_back();
  size_t const pos = p.find_last_of(L"\\/");
  if (pos == std::wstring::npos) return false;
  std::wstring parent;
  if (pos == 0) {
    parent = p.substr(0, 1);
  } else if (pos == 2 && p.size() >= 3 && p[1] == L':') {
    parent = p.substr(0, 3);
  } else {
    parent = p.substr(0, pos);
  }
  if (parent.empty() || parent == p) return false;
  if (!createDirectoriesWide(parent)) return false;
  if (CreateDirectoryW(p.c_str(), nullptr)) return true;
  return isDirectory(p);
}

}  // namespace

namespace FS {

bool list(std::vector<Entry>& out, std::string const& directory, bool recursive, Predicate const& predicate) {
  std::wstring const pattern = toWide(join(directory, "*"));
  if (pattern.empty()) return false;
  WIN32_FIND_DATAW data;
  HANDLE const find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) return false;

  for (;;) {
    if (!isDotName(data.cFileName)) {
      std::wstring const wideName(data.cFileName);
      std::string const name = toUtf8(wideName);
      if (name.empty()) {
        FindClose(find);
        return false;
      }
      Entry entry = makeEntry(directory, name, data);
      bool const descend = recursive && entry.type == EntryType::Directory;
      std::string const childPath = entry.path;
      if (!predicate || predicate(entry)) out.push_back(std::move(entry));
      if (descend && !list(out, childPath, recursive, predicate)) {
        FindClose(find);
        return false;
      }
    }
    if (!FindNextFileW(find, &data)) {
      DWORD const error = GetLastError();
      FindClose(find);
      return error == ERROR_NO_MORE_FILES;
    }
  }
}

bool createDirectories(std::string const& path) { return createDirectoriesWide(toWide(path)); }

bool removeAll(std::string const& path) {
  std::wstring const wide = toWide(path);
  if (wide.empty()) return false;
  DWORD const attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    // Only "nothing there" counts as removed; a path that cannot be examined may still hold
    // the tree the caller wants gone. A name that is not valid (also the answer for a path
    // that runs through a file on some systems) cannot be there either.
    DWORD const error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME;
  }

  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    // Removed as itself: what it points to is never touched.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return RemoveDirectoryW(wide.c_str()) != 0;
    return DeleteFileW(wide.c_str()) != 0;
  }

  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    // DeleteFileW refuses read-only files.
    if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(wide.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return DeleteFileW(wide.c_str()) != 0;
  }

  std::wstring const pattern = toWide(join(path, "*"));
  WIN32_FIND_DATAW data;
  HANDLE const find = FindFirstFileW(pattern.c_str(), &data);
  if (find == INVALID_HANDLE_VALUE) {
    if (GetLastError() != ERROR_FILE_NOT_FOUND) return false;
  } else {
    for (;;) {
      if (!isDotName(data.cFileName)) {
        std::string const name = toUtf8(std::wstring(data.cFileName));
        // An unconvertible name would join to the directory itself and recurse forever.
        if (name.empty() || !removeAll(join(path, name))) {
          FindClose(find);
          return false;
        }
      }
      if (!FindNextFileW(find, &data)) break;
    }
    FindClose(find);
  }
  return RemoveDirectoryW(wide.c_str()) != 0;
}

bool writeFile(std::string const& path, std::vector<uint8_t> const& bytes) {
  std::wstring const wide = toWide(path);
  if (wide.empty()) return false;
  HANDLE const file =
      CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;

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
