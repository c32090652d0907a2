#pragma once
// The launcher's only log: whole lines on standard output (progress) and standard
// error (failures), each written in one piece and flushed at once, so that a reader of
// either pipe sees complete lines in the order they happened.
#include <string>
#include <string_view>

namespace Log {

// Writes text followed by a line end to standard output, then flushes.
void out(std::string_view text);

// Writes text followed by a line end to standard error, then flushes.
void err(std::string_view text);

// Test seam: while set, lines are appended (each with "\n") to these strings instead
// of being written to the streams. Pass nullptr to restore the streams.
void captureForTesting(std::string* out, std::string* err);

}  // namespace Log
