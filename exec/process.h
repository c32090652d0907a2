#pragma once
// Child processes: run a tool to completion capturing its merged output, or start the
// installed application detached. Program and arguments are UTF-8.
#include <cstdint>
#include <string>
#include <vector>

namespace Process {

struct Result {
  bool started = false;
  int32_t exitCode = -1;  // -1 when not started or not readable; Windows codes bit for bit
  std::string output;     // standard output and standard error, interleaved, raw bytes
};

// Runs the program with the arguments and returns once it has ended and its output was
// read to its end. A program that cannot be started gives {false, -1, ""}.
Result run(std::string const& program, std::vector<std::string> const& arguments);

// Starts the program without waiting; it outlives the launcher. True when it started.
bool start(std::string const& program, std::vector<std::string> const& arguments);

// The Windows command line for the program and arguments: each quoted by quoteArgument,
// joined by single blanks; arguments are converted as FS::toWide does (invalid -> "").
std::wstring buildCommandLine(std::wstring const& program, std::vector<std::string> const& arguments);

// One argument in the form the Windows command-line splitting reads back unchanged.
std::wstring quoteArgument(std::wstring const& argument);

}  // namespace Process
