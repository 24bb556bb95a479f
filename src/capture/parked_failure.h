// libpulse calls back through C, which an exception must not cross: a
// callback runs its body through a ParkedFailure, and whoever drives the main
// loop rethrows what was parked once the iteration is over.
#pragma once

#include <exception>
#include <utility>

namespace tavikrec {

class ParkedFailure {
 public:
  // Runs `body`; keeps the first exception it throws.
  template <class Body>
  void run(Body&& body) noexcept {
    try {
      std::forward<Body>(body)();
    } catch (...) {
      if (!failure_) failure_ = std::current_exception();
    }
  }

  void rethrow() {
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
  }

 private:
  std::exception_ptr failure_;
};

}  // namespace tavikrec
