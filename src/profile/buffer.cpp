#include "profile/buffer.h"

#include <sys/mman.h>

#include <array>
#include <new>
#include <utility>

namespace gemmel {
namespace {

constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

std::size_t mapped_size(std::size_t bytes) {
  return (bytes + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
}

// Large mappings released and kept for reuse. The text of a profile file
// and the result of a replacement take turns in two buffers, and the next
// file reuses the same two, so their pages are faulted in and cleared only
// once per run. Single-threaded, like the program.
struct Mapping {
  void* memory = nullptr;
  std::size_t size = 0;  // bytes mapped, a multiple of kHugePageBytes
};
std::array<Mapping, 2> kept;

}  // namespace

void* allocate_bytes(std::size_t bytes) {
  if (bytes < kLargeBufferBytes) return ::operator new(bytes);
  const std::size_t size = mapped_size(bytes);
  Mapping* best = nullptr;
  for (Mapping& mapping : kept) {
    if (mapping.memory != nullptr && mapping.size >= size &&
        (best == nullptr || mapping.size < best->size)) {
      // cppcheck-suppress useStlAlgorithm
      best = &mapping;
    }
  }
  if (best != nullptr) {
    // Give back what this request does not need, so that releasing it with
    // its own size unmaps all of it.
    char* memory = static_cast<char*>(best->memory);
    if (best->size > size) munmap(memory + size, best->size - size);
    *best = Mapping{};
    return memory;
  }
  void* memory = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) throw std::bad_alloc();
  // Advice only: where huge pages are off the mapping still works.
  madvise(memory, size, MADV_HUGEPAGE);
  return memory;
}

void release_bytes(void* memory, std::size_t bytes) noexcept {
  if (bytes < kLargeBufferBytes) {
    ::operator delete(memory);
    return;
  }
  Mapping released{memory, mapped_size(bytes)};
  Mapping* smallest = kept.data();
  for (Mapping& mapping : kept) {
    if (mapping.memory == nullptr) {
      mapping = released;
      return;
    }
    if (mapping.size < smallest->size) smallest = &mapping;
  }
  // Both places taken: keep the larger mappings.
  if (smallest->size < released.size) std::swap(*smallest, released);
  munmap(released.memory, released.size);
}

}  // namespace gemmel
