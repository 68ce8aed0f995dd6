#include "profile/buffer.h"

#include <sys/mman.h>

#include <new>

namespace gemmel {
namespace {

constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

std::size_t mapped_size(std::size_t bytes) {
  return (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
}

}  // namespace

void* allocate_bytes(std::size_t bytes) {
  if (bytes < kLargeBufferBytes) return ::operator new(bytes);
  void* memory = mmap(nullptr, mapped_size(bytes), PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  // Advice only: where huge pages are off the mapping still works.
  madvise(memory, mapped_size(bytes), MADV_HUGEPAGE);
  return memory;
}

void release_bytes(void* memory, std::size_t bytes) noexcept {
  if (bytes < kLargeBufferBytes) {
    ::operator delete(memory);
    return;
  }
  munmap(memory, mapped_size(bytes));
}

}  // namespace gemmel
