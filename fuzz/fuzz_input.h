// Splitting a fuzzer's bytes into the strings a target needs.
#ifndef GEMMEL_FUZZ_FUZZ_INPUT_H_
#define GEMMEL_FUZZ_FUZZ_INPUT_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace gemmel::fuzzing {

// Exactly `count` pieces of `input`, cut at the byte 0x01 (so that every
// other byte, NUL included, can appear in them); the last takes the rest and
// missing ones are empty.
inline std::vector<std::string> split(std::string_view input,
                                      std::size_t count) {
  std::vector<std::string> pieces;
  while (pieces.size() + 1 < count) {
    const std::size_t cut = input.find('\x01');
    if (cut == std::string_view::npos) break;
    pieces.emplace_back(input.substr(0, cut));
    input.remove_prefix(cut + 1);
  }
  pieces.emplace_back(input);
  pieces.resize(count);
  return pieces;
}

}  // namespace gemmel::fuzzing

#endif  // GEMMEL_FUZZ_FUZZ_INPUT_H_
