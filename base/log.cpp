#include "base/log.h"

#include <cstdio>

namespace Log {

namespace {

// The innermost live capture; only ever set by a Capture, which puts back what it found.
Capture* current = nullptr;

void writeLine(FILE* stream, std::string* capture, std::string_view text) {
  if (capture) {
    capture->append(text);
    capture->push_back('\n');
    return;
  }
  std::string line;
  line.reserve(text.size() + 1);
  line.append(text);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fflush(stream);
}

}  // namespace

void out(std::string_view text) { writeLine(stdout, current ? &current->out_ : nullptr, text); }

void err(std::string_view text) { writeLine(stderr, current ? &current->err_ : nullptr, text); }

Capture::Capture(std::string& out, std::string& err) : out_(out), err_(err), previous_(current) { current = this; }

Capture::~Capture() { current = previous_; }

}  // namespace Log
