// Memory for profile texts.
//
// A profile file can be hundreds of megabytes, and on the machines gemmel runs
// on the first touch of freshly allocated memory costs more than converting
// it. Large buffers are therefore mapped directly and advised for transparent
// huge pages, which cuts the page faults by a factor of 512; small ones come
// from the ordinary heap.
#ifndef GEMMEL_PROFILE_BUFFER_H_
#define GEMMEL_PROFILE_BUFFER_H_

#include <cstddef>
#include <string>

namespace gemmel {

// Buffers of at least this many bytes are mapped and advised for huge pages.
inline constexpr std::size_t kLargeBufferBytes = std::size_t{4} << 20;

// Returns `bytes` of uninitialised memory; throws std::bad_alloc when the
// system has none. Release it with release_bytes and the same size.
void* allocate_bytes(std::size_t bytes);
void release_bytes(void* memory, std::size_t bytes) noexcept;

template <typename T>
struct BufferAllocator {
  using value_type = T;

  BufferAllocator() noexcept = default;
  template <typename U>
  explicit BufferAllocator(const BufferAllocator<U>& /*other*/) noexcept {}

  T* allocate(std::size_t count) {
    return static_cast<T*>(allocate_bytes(count * sizeof(T)));
  }
  void deallocate(T* memory, std::size_t count) noexcept {
    release_bytes(memory, count * sizeof(T));
  }
  friend bool operator==(const BufferAllocator& /*a*/,
                         const BufferAllocator& /*b*/) noexcept {
    return true;
  }
};

// The bytes of one profile file: no character set, NUL bytes allowed.
using Text =
    std::basic_string<char, std::char_traits<char>, BufferAllocator<char>>;

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_BUFFER_H_
