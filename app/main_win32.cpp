// Entry point of the Windows build: a GUI-subsystem program with no console. The full
// command line is split again by the platform's own rules and turned into UTF-8.
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/app_main.h"

namespace {

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
