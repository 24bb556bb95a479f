// A value guarded by a lock that breaks for good when a holder leaves it by
// an exception (an internal error on that thread): the guarded state may be
// half-updated, so every later attempt to take the lock is itself an internal
// error with a fixed message ("framer poisoned", "frame sink poisoned").
#pragma once

#include <exception>
#include <mutex>
#include <string>
#include <utility>

#include "base/internal_error.h"

namespace tavikrec {

template <class T>
class Poisonable {
 public:
  template <class... Args>
  explicit Poisonable(std::string poisoned_message, Args&&... args)
      : poisoned_message_(std::move(poisoned_message)), value_(std::forward<Args>(args)...) {}

  Poisonable(const Poisonable&) = delete;
  Poisonable& operator=(const Poisonable&) = delete;

  // Holds the lock for its lifetime. Destroyed during stack unwinding, it
  // poisons the lock before releasing it.
  class Guard {
   public:
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;
    ~Guard() {
      if (std::uncaught_exceptions() > exceptions_at_entry_) owner_.poisoned_ = true;
      owner_.mutex_.unlock();
    }
    T& operator*() const { return owner_.value_; }
    T* operator->() const { return &owner_.value_; }

   private:
    friend class Poisonable;
    explicit Guard(Poisonable& owner) : owner_(owner), exceptions_at_entry_(std::uncaught_exceptions()) {}
    Poisonable& owner_;
    int exceptions_at_entry_;
  };

  // Takes the lock. Throws InternalError with the poisoned message when a
  // former holder failed while holding it.
  [[nodiscard]] Guard lock() {
    mutex_.lock();
    if (poisoned_) {
      mutex_.unlock();
      throw InternalError(poisoned_message_);
    }
    return Guard(*this);
  }

 private:
  const std::string poisoned_message_;
  std::mutex mutex_;
  bool poisoned_ = false;  // REQUIRES: mutex_ held
  T value_;
};

}  // namespace tavikrec
