#include <windows.h>

#include "child_tools.h"
#include "fs/path.h"

namespace ChildTools {

std::string exeSuffix() { return ".exe"; }

std::string toolPath(std::string const& name) {
  wchar_t self[32768];
  DWORD const length = GetModuleFileNameW(nullptr, self, 32768);
  std::string const exe = FS::toUtf8(std::wstring(self, length));
  return exe.substr(0, exe.find_last_of("\\/") + 1) + name + ".exe";
}

void setVariable(std::string const& name, std::string const& value) {
  SetEnvironmentVariableW(FS::toWide(name).c_str(), FS::toWide(value).c_str());
}
void clearVariable(std::string const& name) { SetEnvironmentVariableW(FS::toWide(name).c_str(), nullptr); }
std::string variable(std::string const& name) {
  wchar_t buffer[32768];
  DWORD const length = GetEnvironmentVariableW(FS::toWide(name).c_str(), buffer, 32768);
  if (length == 0 || length >= 32768) return "";
  return FS::toUtf8(std::wstring(buffer, length));
}

std::string workingDirectory() {
  wchar_t buffer[32768];
  DWORD const length = GetCurrentDirectoryW(32768, buffer);
  return FS::toUtf8(std::wstring(buffer, length));
}

bool changeDirectory(std::string const& path) { return SetCurrentDirectoryW(FS::toWide(path).c_str()) != 0; }

}  // namespace ChildTools
