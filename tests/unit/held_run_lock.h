#pragma once
// Another launcher holding the run lock of an edition and channel: a lock_holder child,
// for the lifetime of this object. On Windows the lock is a mutex of the whole session,
// not a file in the test's directory, so a holder that outlives its test makes the same
// lock busy for every later test and test run in that session: the end of this object
// stops the child and waits, bounded, until the lock can be taken again.
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "child_tools.h"
#include "exec/process.h"
#include "install/run_lock.h"

class HeldRunLock {
 public:
  // Starts the child, with its report and stop files in dir, and waits for its report;
  // report() holds it ("held\n" when the child took the lock; empty if it never said).
  HeldRunLock(std::filesystem::path dir, std::string appsRoot, std::string edition, std::string channel)
      : dir_(std::move(dir)), appsRoot_(std::move(appsRoot)), edition_(std::move(edition)), channel_(std::move(channel)) {
    started_ = Process::start(ChildTools::toolPath("lock_holder"),
                              {appsRoot_, edition_, channel_, ChildTools::utf8Of(dir_ / "held-report"),
                               ChildTools::utf8Of(dir_ / "held-stop")});
    if (started_) report_ = ChildTools::waitForFileEnding(dir_ / "held-report", "\n");
  }
  ~HeldRunLock() { stop(); }
  HeldRunLock(HeldRunLock const&) = delete;
  HeldRunLock& operator=(HeldRunLock const&) = delete;

  std::string const& report() const { return report_; }

  // Ends the child as a crash would (the lock is left to the system to take back) and
  // waits up to 30 s until this process can take the lock; gives the last outcome (the
  // lock is not kept). Unavailable when there is no child left to stop.
  RunLock::Outcome stop() {
    if (!started_) return RunLock::Outcome::Unavailable;
    started_ = false;
    ChildTools::writeFile(dir_ / "held-stop", "");
    RunLock lock;
    RunLock::Outcome outcome = RunLock::Outcome::Busy;
    auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (outcome == RunLock::Outcome::Busy && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      outcome = lock.acquire(appsRoot_, edition_, channel_);
    }
    return outcome;
  }

 private:
  std::filesystem::path dir_;
  std::string appsRoot_;
  std::string edition_;
  std::string channel_;
  bool started_ = false;
  std::string report_;
};
