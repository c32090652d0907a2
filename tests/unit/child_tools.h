#pragma once
// Support for tests that start the helper programs of tests/tools: where they are, the
// environment and working directory the children inherit, and what they report.
// Throw-away directories come from fs_fixture.h.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace ChildTools {

// ".exe" on Windows, "" elsewhere.
std::string exeSuffix();

// Path of a helper program built beside the unit-test binary.
std::string toolPath(std::string const& name);

// Sets (or, with clear, removes) a variable of this process's environment, which
// children inherit.
void setVariable(std::string const& name, std::string const& value);
void clearVariable(std::string const& name);
std::string variable(std::string const& name);

// Sets a variable for its lifetime; the value before it comes back when it ends (a
// variable that was unset or empty is unset again).
class ScopedVariable {
 public:
  ScopedVariable(std::string name, std::string const& value) : name_(std::move(name)), saved_(variable(name_)) {
    setVariable(name_, value);
  }
  ~ScopedVariable() {
    if (saved_.empty()) {
      clearVariable(name_);
    } else {
      setVariable(name_, saved_);
    }
  }
  ScopedVariable(ScopedVariable const&) = delete;
  ScopedVariable& operator=(ScopedVariable const&) = delete;

 private:
  std::string name_;
  std::string saved_;
};

std::string workingDirectory();
bool changeDirectory(std::string const& path);

// UTF-8 text to a path and back, whatever the narrow code page is.
inline std::filesystem::path fsPath(std::string const& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string utf8Of(std::filesystem::path const& path) {
  std::u8string const text = path.u8string();
  return std::string(text.begin(), text.end());
}

inline std::string readFile(std::filesystem::path const& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeFile(std::filesystem::path const& path, std::string const& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

// Waits until the file ends with text (a report written by a detached child); gives
// what it holds then, or after the time limit.
inline std::string waitForFileEnding(std::filesystem::path const& path, std::string const& text,
                                     std::chrono::milliseconds limit = std::chrono::seconds(30)) {
  auto const deadline = std::chrono::steady_clock::now() + limit;
  for (;;) {
    std::string const content = readFile(path);
    bool const complete = content.size() >= text.size() && content.compare(content.size() - text.size(), text.size(), text) == 0;
    if (complete || std::chrono::steady_clock::now() >= deadline) return content;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// The report record_args writes, as arguments after the program, parsed from its
// "arg=<length>:<bytes>" lines.
struct Report {
  std::string program;
  std::vector<std::string> arguments;
  std::string cwd;
  std::string ppid;
  bool complete = false;
};

inline std::vector<Report> parseReports(std::string const& text) {
  std::vector<Report> reports;
  size_t at = 0;
  auto line = [&](std::string const& key, std::string& value) {
    if (text.compare(at, key.size(), key) != 0) return false;
    size_t const end = text.find('\n', at);
    if (end == std::string::npos) return false;
    value = text.substr(at + key.size(), end - at - key.size());
    at = end + 1;
    return true;
  };
  std::string value;
  while (line("program=", value)) {
    Report report;
    report.program = value;
    while (text.compare(at, 4, "arg=") == 0) {
      size_t const colon = text.find(':', at);
      size_t const length = std::stoul(text.substr(at + 4, colon - at - 4));
      report.arguments.push_back(text.substr(colon + 1, length));
      at = colon + 1 + length + 1;
    }
    if (line("cwd=", value)) report.cwd = value;
    if (line("ppid=", value)) report.ppid = value;
    report.complete = line("end", value);
    reports.push_back(report);
  }
  return reports;
}

}  // namespace ChildTools
