// Clean-up on the way out of a function, so that each function keeps one exit path:
// - UndoOnFailure runs its undo when the scope is left by an exception (not on a normal return,
//   and not after Dismiss). A failure of the undo itself is dropped: the exception in flight is
//   the one to report.
// - FirstFailure runs every step of a clean-up even when one fails and raises the first failure
//   at the end.
#pragma once

#include <exception>
#include <utility>

namespace engine {

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

}  // namespace engine
