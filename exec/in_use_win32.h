#pragma once
// The system calls behind the Windows answer of InUse::usersOf, replaceable by tests:
// Wine's Restart Manager answers every question with "no process", so tests play the
// answers of a real one through calls of their own. Only the Windows build and its tests
// include this header.
#include <windows.h>

#include <restartmanager.h>

#include <string>

#include "base/replaceable_calls.h"

namespace InUse::win32 {

struct SystemCalls {
  // The Restart Manager's calls; all null when rstrtmgr.dll cannot be loaded from the
  // system directory.
  decltype(&::RmStartSession) startSession = nullptr;
  decltype(&::RmRegisterResources) registerResources = nullptr;
  decltype(&::RmGetList) getList = nullptr;
  decltype(&::RmEndSession) endSession = nullptr;
  // The full path of a process's executable; false when it cannot be read.
  bool (*programOf)(DWORD pid, std::wstring& path) = nullptr;
  decltype(&::GetCurrentProcessId) currentProcessId = nullptr;
};

// The calls in use: the system's own unless a ScopedSystemCalls is alive.
SystemCalls const& systemCalls();

// Puts calls in place for its lifetime and the ones before it back when it ends.
using ScopedSystemCalls = Base::ReplaceableCalls<SystemCalls>::Scope;

}  // namespace InUse::win32
