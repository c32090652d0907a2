#pragma once
// Keeps the window alive during long synchronous work. The loop reads window messages
// once per pass, but removing a large tree, writing a big payload or hashing it can
// hold the thread for seconds, and Windows offers to kill a window that has not read
// its messages for five. Such work calls Heartbeat::beat() at its natural break points
// (a file removed, a piece written or hashed); while a Heartbeat::Scope is alive, a beat
// runs the scope's action at most once per interval. Without a scope a beat does
// nothing, so the file and digest code stays usable (and testable) on its own.
#include <chrono>
#include <functional>

namespace Heartbeat {

// Runs the current scope's action when its interval has passed since the last run.
// Cheap enough for every file of a tree: one clock read when a scope is alive.
void beat();

// Whether the current scope says the run has been given up (the user closed the window):
// work that only waits, rather than changing the disk, ends its wait then instead of
// keeping a process without a window alive. False without a scope or without the answer.
bool abandoned();

// Installs an action for its lifetime and restores the one before it when it ends. The
// action is never re-entered: a beat from inside it does nothing.
class Scope {
 public:
  explicit Scope(std::function<void()> action,
                 std::chrono::steady_clock::duration interval = std::chrono::milliseconds(100),
                 std::function<bool()> abandoned = {});
  ~Scope();
  Scope(Scope const&) = delete;
  Scope& operator=(Scope const&) = delete;

 private:
  friend void beat();
  friend bool abandoned();
  std::function<void()> action_;
  std::function<bool()> abandoned_;
  std::chrono::steady_clock::duration interval_;
  std::chrono::steady_clock::time_point last_;
  bool running_ = false;
  Scope* previous_;
};

}  // namespace Heartbeat
