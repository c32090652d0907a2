#include "base/heartbeat.h"

#include <utility>

namespace Heartbeat {

namespace {
// The innermost live scope. Process-wide because the file and digest code deep below
// the run has no other way to reach the window; it is only ever set by a Scope, which
// puts back what it found.
Scope* current = nullptr;
}  // namespace

Scope::Scope(std::function<void()> action, std::chrono::steady_clock::duration interval,
             std::function<bool()> abandoned)
    : action_(std::move(action)), abandoned_(std::move(abandoned)), interval_(interval), last_(std::chrono::steady_clock::now()), previous_(current) {
  current = this;
}

Scope::~Scope() { current = previous_; }

void beat() {
  Scope* const scope = current;
  if (!scope || scope->running_ || !scope->action_) return;
  auto const now = std::chrono::steady_clock::now();
  if (now - scope->last_ < scope->interval_) return;
  scope->running_ = true;
  scope->action_();
  scope->running_ = false;
  scope->last_ = std::chrono::steady_clock::now();
}

bool abandoned() { return current && current->abandoned_ && current->abandoned_(); }

}  // namespace Heartbeat
