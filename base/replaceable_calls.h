#pragma once
// The seam through which a module reaches the system calls it cannot make fail on demand
// (NTFS's refusals under Wine, another user's processes in /proc): the module asks
// ReplaceableCalls<Calls>::current() for the calls in use, and a test puts its own in
// place with a Scope for as long as the Scope lives. Scopes nest; the newest wins, and
// ending one puts back the calls from before it. Not thread-safe: only tests make Scopes,
// from the thread that runs the code under test.
#include <utility>

namespace Base {

template <typename Calls>
class ReplaceableCalls {
 public:
  // The calls of the newest Scope alive, else `system`.
  static Calls const& current(Calls const& system) { return newest_ ? newest_->calls_ : system; }

  class Scope {
   public:
    explicit Scope(Calls calls) : calls_(std::move(calls)), previous_(newest_) { newest_ = this; }
    ~Scope() { newest_ = previous_; }
    Scope(Scope const&) = delete;
    Scope& operator=(Scope const&) = delete;

   private:
    friend class ReplaceableCalls;
    Calls calls_;
    Scope* previous_;
  };

 private:
  static inline Scope* newest_ = nullptr;
};

}  // namespace Base
