#pragma once
// Child processes: run a tool to completion capturing its merged output, or start the
// installed application detached. Program and arguments are UTF-8.
#include <cstdint>
#include <string>
#include <vector>

namespace Process {

struct Result {
  bool started = false;
  // -1 when not started or not readable; Windows codes bit for bit; on Linux a child
  // killed by a signal reads as 128 + the signal number, never as 0.
  int32_t exitCode = -1;
  std::string output;     // standard output and standard error, interleaved, raw bytes
};

// Runs the program with the arguments and returns once it has ended and its output was
// read to its end. A program that cannot be started gives {false, -1, ""}. On Windows the
// program is a path used exactly as given; on Linux a name without a slash is looked up
// along PATH.
Result run(std::string const& program, std::vector<std::string> const& arguments);

// Starts the program without waiting; it outlives the launcher and inherits none of its
// handles or descriptors. True when it started (on Linux: when it was executed).
bool start(std::string const& program, std::vector<std::string> const& arguments);

// The first of the program's path and the working directory a program started now would
// get (this process's own) that is too long for the system to start a program with; empty
// when both fit. Windows starts no program whose path is longer than MAX_PATH - 1 or
// whose working directory is longer than MAX_PATH - 2 characters, whatever the long-path
// setting; Linux none whose path is PATH_MAX bytes or longer.
std::string pathTooLongToStart(std::string const& program);

// The Windows command line for the program and arguments: each quoted by quoteArgument,
// joined by single blanks; arguments are converted as FS::toWide does (invalid -> "").
std::wstring buildCommandLine(std::wstring const& program, std::vector<std::string> const& arguments);

// One argument in the form the Windows command-line splitting reads back unchanged.
std::wstring quoteArgument(std::wstring const& argument);

}  // namespace Process
