// Entry point of the Windows build: a GUI-subsystem program with no console. The full
// command line is split again by the platform's own rules and turned into UTF-8.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/app_main.h"

namespace {

// The launcher is downloaded and started from folders where other files can be dropped
// without the user's knowledge (Downloads), and Windows looks for a DLL that is not one
// of its known DLLs in the executable's own folder first, then in the current directory.
// From here on every DLL loaded by name, by our code or by the system's own DLLs (when
// the window is made, when the stack protector's start-up asks the system for random
// bytes), comes from the system directory only. The executable imports known DLLs only
// (checked on every build), which the system never looks for elsewhere.
void NTAPI restrictDllSearch(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_PROCESS_ATTACH) return;
  // Both exist on every Windows 10 and 11; neither can fail with these arguments.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
  SetDllDirectoryW(L"");
}

std::string argumentToUtf8(wchar_t const* text) {
  int const length = lstrlenW(text);
  if (length == 0) return {};
  int const count = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (count <= 0) return {};
  std::string utf8(static_cast<size_t>(count), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, length, utf8.data(), count, nullptr, nullptr);
  return utf8;
}

}  // namespace

// A TLS callback runs when the process starts, once the system's DLLs are in place and
// before the C runtime's start-up and every static initialiser, which is earlier than
// wWinMain could restrict the search.
extern "C" __attribute__((section(".CRT$XLB"), used)) PIMAGE_TLS_CALLBACK const quenzaRestrictDllSearch =
    restrictDllSearch;

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* const argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!argv) {
    args.emplace_back("noname");
  } else {
    args.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) args.push_back(argumentToUtf8(argv[i]));
    LocalFree(argv);
  }
  return appMain(args);
}
