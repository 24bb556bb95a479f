// Internal errors: failures the program does not handle (a poisoned lock, a
// thread the system refused to create, standard error or the standard output
// of a listing or of the version failing). They travel as exceptions and end
// the thread they occur on: on the main thread the process exits with status
// 101, on a worker only that worker ends.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tavikrec {

class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Writes "tavikrec internal error: {message}" to standard error. Deliberately
// not a diagnostic line, so that a parent never mistakes it for one.
void report_internal_error(std::string_view message) noexcept;

// Reports whatever exception is in flight (call inside a catch block).
void report_current_exception() noexcept;

// Runs a worker thread's body; an exception that escapes it is reported as an
// internal error and ends only this thread.
template <class Body>
void run_worker(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
    report_current_exception();
  }
}

}  // namespace tavikrec
