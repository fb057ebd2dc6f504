// Keys for keyed_hash: a secret of the process, and a count of the keys
// handed out, so that no two tables share one.
#include "keyed_hash.hpp"

#include <atomic>
#include <memory>

#include "hash.hpp"

namespace sorvane {

namespace {

// Where the system placed this library, a stack and the heap: chosen by
// the address-space layout randomisation, unknown to the host, and the same
// for the whole process.
uint64_t process_secret() {
  static const uint64_t secret = [] {
    static const char here = 0;
    volatile int on_stack = 0;
    const auto on_heap = std::make_unique<int>(0);
    uint64_t h = splitmix_finalise(reinterpret_cast<uintptr_t>(&process_secret));
    h = splitmix_finalise(h ^ reinterpret_cast<uintptr_t>(&on_stack));
    h = splitmix_finalise(h ^ reinterpret_cast<uintptr_t>(on_heap.get()));
    return splitmix_finalise(h ^ reinterpret_cast<uintptr_t>(&here));
  }();
  return secret;
}

}  // namespace

HashKey fresh_hash_key() {
  static std::atomic<uint64_t> made{0};
  const uint64_t n = made.fetch_add(1, std::memory_order_relaxed);
  const uint64_t secret = process_secret();
  return {splitmix_finalise(secret ^ (2 * n)), splitmix_finalise(secret + 0x9e3779b97f4a7c15ULL * (2 * n + 1))};
}

}  // namespace sorvane
