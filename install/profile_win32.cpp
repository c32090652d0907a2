#include <windows.h>
#include <shlobj.h>

#include "fs/path.h"
#include "install/profile.h"

namespace {
// FOLDERID_Profile, spelled out so the build needs no GUID library.
constexpr GUID kProfileFolder = {0x5E6C858F, 0x0E22, 0x4760, {0x9A, 0xFE, 0xEA, 0x33, 0x17, 0xB6, 0x71, 0x73}};
}  // namespace

std::string userProfileFolder() {
  PWSTR folder = nullptr;
  std::string result;
  if (SUCCEEDED(SHGetKnownFolderPath(kProfileFolder, KF_FLAG_DEFAULT, nullptr, &folder)) && folder) {
    result = FS::toUtf8(folder);
  }
  // The shell may hand out a buffer even when it fails; freeing null is harmless.
  CoTaskMemFree(folder);
  return result;
}
