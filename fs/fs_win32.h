#pragma once
// The system calls behind the Windows file operations, replaceable by tests. Wine lets
// through what NTFS refuses (removing a directory whose own read-only attribute is set,
// renaming a directory that holds an open file) and fails nothing for a moment the way a
// scanner's handle does, so tests play those answers through calls of their own. Only
// the Windows build and its tests include this header.
#include <windows.h>

#include "base/replaceable_calls.h"

namespace FS::win32 {

struct SystemCalls {
  decltype(&::GetFileAttributesW) getFileAttributes = ::GetFileAttributesW;
  decltype(&::SetFileAttributesW) setFileAttributes = ::SetFileAttributesW;
  decltype(&::CreateDirectoryW) createDirectory = ::CreateDirectoryW;
  decltype(&::RemoveDirectoryW) removeDirectory = ::RemoveDirectoryW;
  decltype(&::DeleteFileW) deleteFile = ::DeleteFileW;
  decltype(&::MoveFileExW) moveFile = ::MoveFileExW;
  decltype(&::CreateFileW) createFile = ::CreateFileW;
};

// The calls in use: the system's own unless a ScopedSystemCalls is alive.
SystemCalls const& systemCalls();

// Puts calls in place for its lifetime and the ones before it back when it ends.
using ScopedSystemCalls = Base::ReplaceableCalls<SystemCalls>::Scope;

}  // namespace FS::win32
