// Clean-up on the way out of a scope, so that each function keeps one exit path:
// - ScopeExit runs its action whenever the scope is left. Left normally, a failure of the action
//   is raised to the caller; left by an exception, it is dropped: the exception in flight is the
//   one to report.
// - UndoOnFailure runs its undo only when the scope is left by an exception (not on a normal
//   return, and not after Dismiss). A failure of the undo itself is dropped, as above.
// - FirstFailure runs every step of a clean-up even when one fails and raises the first failure
//   at the end.
// Not thread-safe: a guard belongs to the scope, and the thread, that made it.
#pragma once

#include <exception>
#include <utility>

namespace platform {

template <class Exit>
class ScopeExit {
 public:
  explicit ScopeExit(Exit exit) : exit_(std::move(exit)), pending_(std::uncaught_exceptions()) {}
  ~ScopeExit() noexcept(false) {
    if (std::uncaught_exceptions() == pending_) {
      exit_();
      return;
    }
    try {
      exit_();
    } catch (...) {
    }
  }
  ScopeExit(const ScopeExit&) = delete;
  ScopeExit& operator=(const ScopeExit&) = delete;

 private:
  Exit exit_;
  int pending_;
};

template <class Undo>
class UndoOnFailure {
 public:
  explicit UndoOnFailure(Undo undo) : undo_(std::move(undo)), pending_(std::uncaught_exceptions()) {}
  ~UndoOnFailure() {
    if (armed_ && std::uncaught_exceptions() > pending_) {
      try {
        undo_();
      } catch (...) {
      }
    }
  }
  UndoOnFailure(const UndoOnFailure&) = delete;
  UndoOnFailure& operator=(const UndoOnFailure&) = delete;

  void Dismiss() { armed_ = false; }

 private:
  Undo undo_;
  int pending_;
  bool armed_ = true;
};

class FirstFailure {
 public:
  template <class Step>
  void run(Step&& step) {
    try {
      step();
    } catch (...) {
      if (!first_) first_ = std::current_exception();
    }
  }
  bool failed() const { return first_ != nullptr; }
  void raise() {
    if (first_) std::rethrow_exception(first_);
  }

 private:
  std::exception_ptr first_;
};

}  // namespace platform
