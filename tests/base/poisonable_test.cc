#include "base/poisonable.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace tavikrec {
namespace {

TEST(Poisonable, GuardsValueAndReleasesLock) {
  Poisonable<int> counter("counter poisoned", 1);
  { *counter.lock() += 1; }
  EXPECT_EQ(*counter.lock(), 2);
}

TEST(Poisonable, HolderFailingPoisonsForEveryoneAfter) {
  Poisonable<int> value("framer poisoned", 0);
  std::thread worker([&] {
    try {
      auto guard = value.lock();
      throw std::runtime_error("holder failed");
    } catch (const std::runtime_error&) {
    }
  });
  worker.join();
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      (void)value.lock();
      FAIL() << "lock taken after its holder failed";
    } catch (const InternalError& e) {
      EXPECT_STREQ(e.what(), "framer poisoned");
    }
  }
}

TEST(Poisonable, ExceptionCaughtInsideTheHoldDoesNotPoison) {
  Poisonable<int> value("poisoned", 0);
  {
    auto guard = value.lock();
    try {
      throw std::runtime_error("handled");
    } catch (const std::runtime_error&) {
    }
  }
  // A guard taken while another exception unwinds (in a destructor) and
  // released normally does not poison either.
  struct TakesLockWhileUnwinding {
    Poisonable<int>& p;
    ~TakesLockWhileUnwinding() { *p.lock() = 7; }
  };
  try {
    TakesLockWhileUnwinding t{value};
    throw std::runtime_error("unwinding");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(*value.lock(), 7);
}

}  // namespace
}  // namespace tavikrec
