// The sample application that the demo release ships and the launcher installs: it stands
// in for the real desktop application. It records how it was started in a text file
// beside itself, then exits with 0:
//   program=<its own full path>
//   arg=<argument>                 (one line per argument after the program, in order)
//   cwd=<working directory>
//   hostname=<content of quenza_hostname.cfg beside it, or "(missing)">
//   library=<version of lib/libquenza-core.so.1 beside it, or why not>   (Linux only)
//   end
// Texts are UTF-8 as the system delivered them. The record replaces any earlier one.
//
// With QUENZA_SAMPLE_APP_HOLD=<seconds> in its environment it then stays running that
// long, holding no file open, as a running application does between two reads of its
// files: what a second launcher must leave alone.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace {

constexpr char kRecordName[] = "sample-app-record.txt";
constexpr char kHostnameFile[] = "quenza_hostname.cfg";

#ifdef _WIN32
std::string utf8(std::wstring const& wide) {
  if (wide.empty()) return {};
  int const n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr,
                                    nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring wide(std::string const& text) {
  if (text.empty()) return {};
  int const n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

// The command line split by the system's own rules: argv of a narrow main would be in
// the ANSI code page.
std::vector<std::string> arguments() {
  int count = 0;
  wchar_t** list = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> out;
  if (!list) return out;
  for (int i = 0; i < count; ++i) out.push_back(utf8(list[i]));
  LocalFree(list);
  return out;
}

std::string ownPath() {
  std::vector<wchar_t> buffer(32768);
  DWORD const n = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  return utf8(std::wstring(buffer.data(), n));
}

std::string workingDirectory() {
  std::vector<wchar_t> buffer(32768);
  DWORD const n = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
  return utf8(std::wstring(buffer.data(), n));
}

FILE* openFile(std::string const& path, wchar_t const* mode) { return _wfopen(wide(path).c_str(), mode); }

std::string libraryLine(std::string const&) { return {}; }
#else
std::vector<std::string> arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

std::string ownPath() {
  char buffer[PATH_MAX];
  ssize_t const n = readlink("/proc/self/exe", buffer, sizeof(buffer));
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

std::string workingDirectory() {
  char buffer[PATH_MAX];
  return getcwd(buffer, sizeof(buffer)) ? buffer : "";
}

FILE* openFile(std::string const& path, char const* mode) { return std::fopen(path.c_str(), mode); }

// Loads the library through its major-version name, the link the launcher recreates from
// the versioned file of the release, so the record shows whether that link works.
std::string libraryLine(std::string const& directory) {
  std::string const path = directory + "/lib/libquenza-core.so.1";
  void* const library = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!library) return "library=(not loaded: " + std::string(dlerror()) + ")\n";
  using VersionFunction = char const* (*)();
  auto const version = reinterpret_cast<VersionFunction>(dlsym(library, "quenza_core_version"));
  std::string const line = "library=libquenza-core.so.1 " + std::string(version ? version() : "(no version)") + "\n";
  dlclose(library);
  return line;
}
#endif

#ifdef _WIN32
#define MODE(x) L##x
#else
#define MODE(x) x
#endif

std::string directoryOf(std::string const& path) {
  size_t const slash = path.find_last_of("/\\");
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string hostnameLine(std::string const& directory) {
  FILE* const file = openFile(directory + "/" + kHostnameFile, MODE("rb"));
  if (!file) return "hostname=(missing)\n";
  std::string content;
  char buffer[256];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file)) > 0) content.append(buffer, got);
  std::fclose(file);
  return "hostname=" + content + "\n";
}

}  // namespace

int main(int argc, char** argv) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  std::vector<std::string> const args = arguments();
#else
  std::vector<std::string> const args = arguments(argc, argv);
#endif
  std::string const self = ownPath();
  std::string const directory = directoryOf(self);

  std::string record = "program=" + self + "\n";
  for (size_t i = 1; i < args.size(); ++i) record += "arg=" + args[i] + "\n";
  record += "cwd=" + workingDirectory() + "\n";
  record += hostnameLine(directory);
  record += libraryLine(directory);
  record += "end\n";

  // Written under a temporary name and renamed, so a reader never sees half a record.
  std::string const target = directory + "/" + kRecordName;
  std::string const partial = target + ".partial";
  FILE* const file = openFile(partial, MODE("wb"));
  if (!file) return 2;
  bool const written = std::fwrite(record.data(), 1, record.size(), file) == record.size();
  if (std::fclose(file) != 0 || !written) return 2;
#ifdef _WIN32
  bool const recorded = MoveFileExW(wide(partial).c_str(), wide(target).c_str(), MOVEFILE_REPLACE_EXISTING);
#else
  bool const recorded = std::rename(partial.c_str(), target.c_str()) == 0;
#endif
  char const* const hold = std::getenv("QUENZA_SAMPLE_APP_HOLD");
  if (hold) std::this_thread::sleep_for(std::chrono::seconds(std::atoi(hold)));
  return recorded ? 0 : 2;
}
