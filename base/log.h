#pragma once
// The launcher's only log: whole lines on standard output (progress) and standard
// error (failures), each written in one piece and flushed at once, so that a reader of
// either pipe sees complete lines in the order they happened. Writing never fails the
// caller: a stream that cannot be written simply loses the line.
#include <string>
#include <string_view>

namespace Log {

// Writes text followed by a line end to standard output, then flushes.
void out(std::string_view text);

// Writes text followed by a line end to standard error, then flushes.
void err(std::string_view text);

// Test seam: while alive, lines are appended (each with "\n") to the two strings instead
// of being written to the streams; when it ends, the capture alive before it (or the
// streams) takes the lines again. The strings must outlive it.
class Capture {
 public:
  Capture(std::string& out, std::string& err);
  ~Capture();
  Capture(Capture const&) = delete;
  Capture& operator=(Capture const&) = delete;

 private:
  friend void out(std::string_view text);
  friend void err(std::string_view text);
  std::string& out_;
  std::string& err_;
  Capture* previous_;
};

}  // namespace Log
