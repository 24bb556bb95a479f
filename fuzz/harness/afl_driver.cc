// The program AFL++ runs, in persistent mode with inputs in shared memory:
// one process serves many inputs, each handed to the target this executable
// was built for (TAVIKREC_FUZZ_TARGET, its name in kTargets). Run by hand
// with a file argument it checks that one input, to reproduce a finding.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <span>
#include <vector>

#include "targets.h"

// AFL++'s runtime (afl-compiler-rt.o). afl-fuzz looks for the two marker
// strings in the binary to switch on persistent mode and the deferred
// fork server; __afl_sharedmem_fuzzing asks for inputs in shared memory.
extern "C" {
int __afl_persistent_loop(unsigned int max_count);
void __afl_manual_init();
extern unsigned char* __afl_fuzz_ptr;
extern unsigned int* __afl_fuzz_len;
int __afl_sharedmem_fuzzing = 1;
}
__attribute__((used)) static volatile const char* persistent_marker = "##SIG_AFL_PERSISTENT##";
__attribute__((used)) static volatile const char* deferred_marker = "##SIG_AFL_DEFER_FORKSRV##";

namespace {

constexpr unsigned kInputsPerProcess = 100000;

tavikrec::fuzz::Target find_target() {
  for (const auto& target : tavikrec::fuzz::kTargets) {
    if (target.name == TAVIKREC_FUZZ_TARGET) return target.run;
  }
  return nullptr;
}

std::vector<std::uint8_t> read_file(const char* path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// Outside afl-fuzz there is no shared memory: the input is standard input.
std::vector<std::uint8_t> read_stdin() {
  std::vector<std::uint8_t> input;
  std::uint8_t chunk[65536];
  ssize_t n;
  while ((n = ::read(0, chunk, sizeof chunk)) > 0) input.insert(input.end(), chunk, chunk + n);
  return input;
}

}  // namespace

int main(int argc, char** argv) {
  tavikrec::fuzz::Target target = find_target();
  if (target == nullptr) {
    std::fprintf(stderr, "no fuzz target named %s\n", TAVIKREC_FUZZ_TARGET);
    return 2;
  }
  if (argc > 1) {
    target(read_file(argv[1]));
    return 0;
  }
  __afl_manual_init();
  while (__afl_persistent_loop(kInputsPerProcess)) {
    if (__afl_fuzz_ptr != nullptr) {
      target(std::span<const std::uint8_t>(__afl_fuzz_ptr, *__afl_fuzz_len));
    } else {
      target(read_stdin());
    }
  }
  return 0;
}
