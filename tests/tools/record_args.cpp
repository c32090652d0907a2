// Test child that reports how it was started, as lines:
//   program=<own file name without directory and without ".exe">
//   arg=<byte length>:<bytes>      (one per argument after the program, in order)
//   cwd=<working directory>
//   ppid=<parent process id>       (not on Windows)
//   end
// The report goes to standard output and is appended to the file named by
// QUENZA_RECORD_FILE when that is set. QUENZA_RECORD_AFTER names a file the child waits
// for (up to 30 s) before it reports, so that a test decides when the child goes on
// instead of guessing how long starting it takes. The exit code is 1 when
// QUENZA_RECORD_FAIL equals the program name, else 0.
// Arguments and paths are reported in UTF-8 as the operating system delivered them.
#include <chrono>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#include <shellapi.h>
#else
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
std::string utf8(std::wstring const& wide) {
  if (wide.empty()) return {};
  int const n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring wide(std::string const& text) {
  if (text.empty()) return {};
  int const n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
  return out;
}

std::string variable(wchar_t const* name) {
  wchar_t buffer[32768];
  DWORD const n = GetEnvironmentVariableW(name, buffer, 32768);
  if (n == 0 || n >= 32768) return {};
  return utf8(std::wstring(buffer, n));
}

std::vector<std::string> arguments() {
  int count = 0;
  wchar_t** list = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> out;
  for (int i = 0; i < count; ++i) out.push_back(utf8(list[i]));
  LocalFree(list);
  return out;
}

std::string workingDirectory() {
  wchar_t buffer[32768];
  DWORD const n = GetCurrentDirectoryW(32768, buffer);
  return utf8(std::wstring(buffer, n));
}

void appendToFile(std::string const& path, std::string const& text) {
  FILE* file = _wfopen(wide(path).c_str(), L"ab");
  if (!file) return;
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
}
#else
std::string variable(char const* name) {
  char const* value = std::getenv(name);
  return value ? value : "";
}

std::string workingDirectory() {
  char buffer[4096];
  return getcwd(buffer, sizeof(buffer)) ? buffer : "";
}

void appendToFile(std::string const& path, std::string const& text) {
  FILE* file = std::fopen(path.c_str(), "ab");
  if (!file) return;
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
}
#endif

std::string programName(std::string path) {
  size_t const slash = path.find_last_of("/\\");
  if (slash != std::string::npos) path.erase(0, slash + 1);
  if (path.size() > 4) {
    std::string suffix = path.substr(path.size() - 4);
    for (char& c : suffix) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (suffix == ".exe") path.resize(path.size() - 4);
  }
  return path;
}

}  // namespace

#ifdef _WIN32
#define NAME(x) L##x
#else
#define NAME(x) x
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  (void)argc;
  (void)argv;
  std::vector<std::string> const args = arguments();
  _setmode(_fileno(stdout), _O_BINARY);
#else
  std::vector<std::string> const args(argv, argv + argc);
#endif
  std::string const after = variable(NAME("QUENZA_RECORD_AFTER"));
  std::error_code error;
  for (int waited = 0; !after.empty() && !std::filesystem::exists(std::filesystem::u8path(after), error) && waited < 30000;
       waited += 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  std::string const name = programName(args.empty() ? std::string() : args[0]);
  std::string report = "program=" + name + "\n";
  for (size_t i = 1; i < args.size(); ++i) {
    report += "arg=" + std::to_string(args[i].size()) + ":" + args[i] + "\n";
  }
  report += "cwd=" + workingDirectory() + "\n";
#ifndef _WIN32
  report += "ppid=" + std::to_string(getppid()) + "\n";
#endif
  report += "end\n";

  std::fwrite(report.data(), 1, report.size(), stdout);
  std::fflush(stdout);
  std::string const file = variable(NAME("QUENZA_RECORD_FILE"));
  if (!file.empty()) appendToFile(file, report);
  return name == variable(NAME("QUENZA_RECORD_FAIL")) ? 1 : 0;
}
