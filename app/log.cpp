#include "app/log.h"

#include <cstdio>

namespace {
std::string* capturedOut = nullptr;
std::string* capturedErr = nullptr;

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

namespace Log {

void out(std::string_view text) { writeLine(stdout, capturedOut, text); }

void err(std::string_view text) { writeLine(stderr, capturedErr, text); }

void captureForTesting(std::string* out, std::string* err) {
  capturedOut = out;
  capturedErr = err;
}

}  // namespace Log
