// libFuzzer target: the linear-time replacement must give the plain loop's
// text, length and count for every call.
//
// Input: one byte for the form (modulo 3) and the reading (bit 2: letters
// in either case; bit 3: the text read as Mork writes it), one for the start
// offset (signed), then the
// target, the replacement, the start key, the end key and the text, separated
// by the byte 0x01 (so that every other byte, NUL included, can appear in
// them). Missing pieces are empty.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_input.h"
#include "plain_replace.h"
#include "profile/replace.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 2) return 0;
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::vector<std::string> pieces =
      gemmel::fuzzing::split(input.substr(2), 5);
  gemmel::ReplaceCall call;
  call.form = static_cast<gemmel::Form>((data[0] & 3) % 3);
  call.any_case = (data[0] & 4) != 0;
  call.mork = (data[0] & 8) != 0;
  call.start = static_cast<std::int8_t>(data[1]);
  call.target = pieces[0];
  call.replacement = pieces[1];
  call.start_key = pieces[2];
  call.end_key = pieces[3];
  const std::string& original = pieces[4];

  std::string expected = original;
  std::int64_t expected_length = static_cast<std::int64_t>(original.size());
  std::int64_t expected_count = 0;
  if (call.mork) {
    gemmel::testing::plain_replace_mork(call, expected, expected_length,
                                        &expected_count);
  } else {
    gemmel::testing::plain_replace(call, expected, expected_length,
                                   [&](std::size_t) { ++expected_count; });
  }

  gemmel::Text text(original.begin(), original.end());
  std::int32_t length = static_cast<std::int32_t>(original.size());
  gemmel::Text scratch;
  if (gemmel::apply_replace(call, text, length, scratch) != expected_count ||
      std::string_view(text) != expected || length != expected_length ||
      static_cast<std::size_t>(length) != text.size()) {
    std::abort();
  }
  return 0;
}
