// Edge coverage for AFL++ from GCC's -fsanitize-coverage=trace-pc. Debian's
// AFL++ GCC plugin refuses the packaged GCC (its version check fails), and
// its clang modes cannot compile this C++23 code, so the targets are built
// with plain GCC calling this hook at every basic block, and AFL++'s own
// runtime (afl-compiler-rt.o) supplies the shared map, the fork server and
// persistent mode. The edge hash is AFL's classic one: the current
// location xor the previous one shifted.
// Compiled without coverage itself, or the hook would call itself.
#include <cstdint>

extern "C" {
extern unsigned char* __afl_area_ptr;  // defined by afl-compiler-rt.o
void __sanitizer_cov_trace_pc();
}

namespace {

constexpr std::uintptr_t kMapMask = (1u << 16) - 1;  // AFL's default 64 KiB map
thread_local std::uintptr_t previous_location = 0;

}  // namespace

extern "C" void __sanitizer_cov_trace_pc() {
  auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
  std::uintptr_t location = ((pc >> 4) ^ (pc << 8)) & kMapMask;
  __afl_area_ptr[location ^ previous_location]++;
  previous_location = location >> 1;
}
