#include <windows.h>
#include <winioctl.h>

#include <cstring>
#include <vector>

#include "fs/fs.h"
#include "fs/path.h"
#include "fs_fixture.h"

namespace {

// Wine's own entry point that names the host file behind a Windows path; present only
// when the tests run under Wine.
using UnixNameFunction = char*(__cdecl*)(wchar_t const*);

UnixNameFunction unixNameFunction() {
  HMODULE const kernel = GetModuleHandleW(L"kernel32.dll");
  return kernel ? reinterpret_cast<UnixNameFunction>(GetProcAddress(kernel, "wine_get_unix_file_name")) : nullptr;
}

bool underWine() { return unixNameFunction() != nullptr; }

std::string unixName(std::string const& path) {
  char* const name = unixNameFunction()(FS::toWide(path).c_str());
  if (!name) return {};
  std::string result(name);
  HeapFree(GetProcessHeap(), 0, name);
  return result;
}

// Starts a host program under Wine (it runs native executables) and waits until the
// condition holds: the handle Wine returns may end before the host program has run, so
// only the program's effect tells that it is done.
template <typename Condition>
bool runHostProgram(std::wstring const& program, std::wstring commandLine, Condition done) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  for (int waited = 0; waited < 10000; waited += 10) {
    if (done()) return true;
    Sleep(10);
  }
  return false;
}

// Wine splits the command line by the Windows rules before starting the host program.
std::wstring quoted(std::string const& unixPath) { return L"\"" + FS::toWide(unixPath) + L"\""; }

bool isReparsePoint(std::string const& path) {
  DWORD const attributes = GetFileAttributesW(FS::toWide(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The mount-point reparse data of a junction, laid out as the file system expects it.
bool makeJunction(std::string const& target, std::string const& linkPath) {
  std::wstring const link = FS::toWide(linkPath);
  if (!CreateDirectoryW(link.c_str(), nullptr)) return false;
  std::wstring const substitute = L"\\??\\" + FS::toWide(target);
  size_t const nameBytes = substitute.size() * sizeof(wchar_t);
  std::vector<BYTE> buffer(8 + 8 + nameBytes + 2 * sizeof(wchar_t), 0);
  auto put16 = [&](size_t offset, size_t value) {
    WORD const v = static_cast<WORD>(value);
    std::memcpy(buffer.data() + offset, &v, sizeof(v));
  };
  DWORD const tag = IO_REPARSE_TAG_MOUNT_POINT;
  std::memcpy(buffer.data(), &tag, sizeof(tag));
  put16(4, buffer.size() - 8);       // data length
  put16(8, 0);                       // substitute name offset
  put16(10, nameBytes);              // substitute name length
  put16(12, nameBytes + 2);          // print name offset (empty print name)
  put16(14, 0);                      // print name length
  std::memcpy(buffer.data() + 16, substitute.data(), nameBytes);

  HANDLE const handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  bool ok = handle != INVALID_HANDLE_VALUE;
  if (ok) {
    DWORD returned = 0;
    ok = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr,
                         0, &returned, nullptr) != 0;
    CloseHandle(handle);
  }
  if (!ok) RemoveDirectoryW(link.c_str());
  return ok;
}

}  // namespace

namespace TestFs {

std::string systemTempFolder() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD const length = GetTempPathW(MAX_PATH + 1, buffer);
  return FS::toUtf8(std::wstring(buffer, length));
}

// Under Wine the host's rm clears whatever the tests planted, host links included, which
// Wine's own calls cannot remove as themselves.
void removeTestTree(std::string const& path) {
  if (underWine()) {
    std::string const name = unixName(path);
    std::wstring const wide = FS::toWide(path);
    auto const gone = [&] { return GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES; };
    if (!name.empty() && runHostProgram(L"Z:\\bin\\rm", L"rm -rf " + quoted(name), gone)) return;
  }
  FS::removeAll(path);
}

std::string makeDirLink(std::string const& target, std::string const& linkPath) {
  if (makeJunction(target, linkPath)) return {};
  // Wine cannot make junctions or symbolic links itself, but shows a host symbolic link
  // to a directory as a directory reparse point.
  if (underWine()) {
    std::string const from = unixName(target);
    std::string const to = unixName(linkPath);
    auto const made = [&] { return isReparsePoint(linkPath); };
    if (!from.empty() && !to.empty() && runHostProgram(L"Z:\\bin\\ln", L"ln -s " + quoted(from) + L" " + quoted(to), made)) {
      return {};
    }
  }
  return "this system makes no junction (FSCTL_SET_REPARSE_POINT failed)";
}

std::string makeFileLink(std::string const& target, std::string const& linkPath) {
  if (underWine()) return "Wine makes no symbolic link to a file, and shows a host one as a plain file";
  DWORD const unprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
  if (CreateSymbolicLinkW(FS::toWide(linkPath).c_str(), FS::toWide(target).c_str(), unprivileged) &&
      isReparsePoint(linkPath)) {
    return {};
  }
  return "this account may not make symbolic links (developer mode off)";
}

std::string whyLinksAreNotTakenAsThemselves() {
  if (underWine()) return "Wine follows a host symbolic link when asked to remove or rename it";
  return {};
}

void makeReadOnly(std::string const& path) {
  std::wstring const wide = FS::toWide(path);
  DWORD const attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) SetFileAttributesW(wide.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
}

// An open handle that shares nothing keeps every other opener out, deletion and renaming
// included; backup semantics let the same call open a directory.
Undeletable::Undeletable(std::string const& path) : path_(path) {
  HANDLE const handle = CreateFileW(FS::toWide(path).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    unavailable_ = "cannot open " + path + " without sharing";
  } else {
    handle_ = handle;
  }
}

Undeletable::~Undeletable() { release(); }

void Undeletable::release() {
  if (!handle_) return;
  CloseHandle(static_cast<HANDLE>(handle_));
  handle_ = nullptr;
}

}  // namespace TestFs
