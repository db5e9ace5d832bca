// The Windows program is built without exceptions. The standard library's
// few throwing paths (allocation failure, impossible string lengths) end the
// process instead, which keeps the runtime's exception and demangling code,
// and the thread library it needs, out of the executable.
#include <cstdlib>
#include <new>

namespace std {
[[noreturn]] void __throw_bad_alloc() { std::abort(); }
[[noreturn]] void __throw_bad_array_new_length() { std::abort(); }
[[noreturn]] void __throw_bad_function_call() { std::abort(); }
[[noreturn]] void __throw_length_error(const char*) { std::abort(); }
[[noreturn]] void __throw_logic_error(const char*) { std::abort(); }
[[noreturn]] void __throw_out_of_range(const char*) { std::abort(); }
[[noreturn]] void __throw_out_of_range_fmt(const char*, ...) { std::abort(); }
}  // namespace std

// Allocation failure ends the process, as the throwing path above would.
void* operator new(std::size_t size) {
  void* p = std::malloc(size ? size : 1);
  if (!p) std::abort();
  return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

// zlib reaches its CRC-32 only through the gzip wrapper, which packages never
// use, yet linking it brings 8 KB of tables. This bitwise CRC-32 (the same
// values, far slower) stands in for it in the updater.
extern "C" unsigned long crc32(unsigned long crc, const unsigned char* buf, unsigned int len) {
  if (!buf) return 0;
  crc = ~crc & 0xFFFFFFFFul;
  while (len-- > 0) {
    crc ^= *buf++;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320ul & (0ul - (crc & 1)));
  }
  return ~crc & 0xFFFFFFFFul;
}
