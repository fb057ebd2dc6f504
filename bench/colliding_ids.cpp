// Salts that pile the ids decide makes from them into one run of buckets of
// an index probing on the low bits of std::hash (libstdc++'s, which the
// ledger's index used unkeyed): the id of the n-th decision is the salt, a
// colon and n, and the low BITS bits of its std::hash are below WINDOW.
//   colliding_ids COUNT BITS WINDOW > salts.txt
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: colliding_ids COUNT BITS WINDOW\n");
    return 2;
  }
  const unsigned long long count = std::strtoull(argv[1], nullptr, 10);
  const unsigned bits = static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10));
  const unsigned long long window = std::strtoull(argv[3], nullptr, 10);
  const unsigned long long mask = (1ULL << bits) - 1;
  unsigned long long k = 0;
  std::string id;
  for (unsigned long long n = 0; n < count; ++n) {
    const std::string suffix = ":" + std::to_string(n);
    for (;; ++k) {
      id = "h" + std::to_string(k);
      const size_t salt_size = id.size();
      id += suffix;
      if ((std::hash<std::string>{}(id) & mask) < window) {
        std::fwrite(id.data(), 1, salt_size, stdout);
        std::fputc('\n', stdout);
        ++k;
        break;
      }
    }
  }
  return 0;
}
