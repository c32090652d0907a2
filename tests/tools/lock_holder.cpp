// Test child: lock_holder <applications root> <edition> <channel> <report file> <stop file>
// Takes the run lock of the edition and channel, writes "held", "busy" or "unavailable"
// and a line end to the report file, and once the stop file exists ends at once without
// letting the lock go, as a crash would (no destructor runs). It ends the same way when
// the stop file's directory is gone: a test that removed its directory without stopping
// it must not leave the lock held (on Windows a session-wide mutex) for a minute.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "install/run_lock.h"

int main(int argc, char** argv) {
  if (argc != 6) return 2;
  RunLock lock;
  RunLock::Outcome const outcome = lock.acquire(argv[1], argv[2], argv[3]);
  char const* const word = outcome == RunLock::Outcome::Held   ? "held"
                           : outcome == RunLock::Outcome::Busy ? "busy"
                                                               : "unavailable";
  {
    std::ofstream report(std::filesystem::u8path(argv[4]), std::ios::binary | std::ios::trunc);
    report << word << '\n';
  }
  std::filesystem::path const stop = std::filesystem::u8path(argv[5]);
  auto const stopped = [&stop] {
    std::error_code error;
    return std::filesystem::exists(stop, error) || !std::filesystem::is_directory(stop.parent_path(), error);
  };
  for (int waited = 0; waited < 60000 && !stopped(); waited += 20) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::_Exit(0);
}
