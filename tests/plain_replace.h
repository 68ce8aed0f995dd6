// The replacement loop written the plain way: erase and insert in place,
// searching again from the start of the inserted text. Quadratic, obviously
// right, and the reference the fast algorithm is checked against.
#ifndef GEMMEL_TESTS_PLAIN_REPLACE_H_
#define GEMMEL_TESTS_PLAIN_REPLACE_H_

#include <cstdint>
#include <string>

#include "profile/replace.h"

namespace gemmel::testing {

// Applies `call` to `text` and tracks `length` the way the loop states it.
inline void plain_replace(const ReplaceCall& call, std::string& text,
                          std::int64_t& length) {
  const std::string target(call.target);
  const std::string replacement(call.replacement);
  if (target.empty()) return;
  std::size_t pos = 0;
  std::int64_t fixed_limit = -1;  // -1: the limit is the current length
  switch (call.form) {
    case Form::kOffset:
      pos = call.start < 0 ? 0 : static_cast<std::size_t>(call.start);
      break;
    case Form::kStartKey:
      pos = text.find(call.start_key);
      if (pos == std::string::npos) return;
      break;
    case Form::kBounded: {
      pos = text.find(call.start_key);
      if (pos == std::string::npos) return;
      const std::size_t end = text.find(call.end_key, pos);
      if (end == std::string::npos) return;
      fixed_limit = static_cast<std::int64_t>(end);
      break;
    }
  }
  const bool skip_inserted = replacement.starts_with(target) ||
                             (call.form != Form::kBounded &&
                              replacement.find(target) != std::string::npos);
  for (;;) {
    pos = text.find(target, pos);
    if (pos == std::string::npos) return;
    const std::int64_t limit = fixed_limit >= 0 ? fixed_limit : length;
    if (static_cast<std::int64_t>(pos) >= limit) return;
    text.erase(pos, target.size());
    text.insert(pos, replacement);
    length += static_cast<std::int64_t>(replacement.size()) -
              static_cast<std::int64_t>(target.size());
    if (skip_inserted) pos += replacement.size();
  }
}

}  // namespace gemmel::testing

#endif  // GEMMEL_TESTS_PLAIN_REPLACE_H_
