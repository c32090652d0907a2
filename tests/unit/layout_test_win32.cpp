#include <windows.h>

#include <gtest/gtest.h>

#include "fs/path.h"
#include "install/layout.h"

// The profile folder the system gives every process in its environment, read here
// independently of the shell's known-folder call.
TEST(AppsRootWin32, IsTheProfileFolderJoinedWithTheAppsDirectory) {
  wchar_t buffer[32768];
  DWORD const length = GetEnvironmentVariableW(L"USERPROFILE", buffer, 32768);
  if (length == 0 || length >= 32768) GTEST_SKIP() << "USERPROFILE is not set";
  std::string const profile = FS::toUtf8(std::wstring(buffer, length));
  EXPECT_EQ(Layout::computeAppsRoot(), profile + "\\.QuenzaQtApps");
}
