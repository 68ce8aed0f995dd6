// The replacement loop written the plain way: erase and insert in place,
// searching again from the start of the inserted text. Quadratic, obviously
// right, and the reference the fast algorithm is checked against.
#ifndef GEMMEL_TESTS_PLAIN_REPLACE_H_
#define GEMMEL_TESTS_PLAIN_REPLACE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "profile/replace.h"

namespace gemmel::testing {

// Applies `call` to `text` and tracks `length` the way the loop states it,
// telling `replacing` where each occurrence begins before replacing it.
inline void plain_replace(
    const ReplaceCall& call, std::string& text, std::int64_t& length,
    const std::function<void(std::size_t)>& replacing = nullptr) {
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
    if (replacing) replacing(pos);
    text.erase(pos, target.size());
    text.insert(pos, replacement);
    length += static_cast<std::int64_t>(replacement.size()) -
              static_cast<std::int64_t>(target.size());
    if (skip_inserted) pos += replacement.size();
  }
}

// The size of the line continuation at `at`: a backslash with an odd number
// of backslashes up to and including it, then CR LF (3), LF or CR (2). 0 when
// there is none.
inline std::size_t continuation_at(const std::string& text, std::size_t at) {
  if (at + 1 >= text.size() || text[at] != '\\') return 0;
  std::size_t run = 0;
  while (run <= at && text[at - run] == '\\') ++run;
  if (run % 2 == 0) return 0;
  if (text.compare(at + 1, 2, "\r\n") == 0) return 3;
  return text[at + 1] == '\n' || text[at + 1] == '\r' ? 2 : 0;
}

// `call` with its across_continuations rule: the plain loop on the joined
// text, each continuation kept in the gap between two bytes where it stands;
// a replacement drops the gaps strictly inside the occurrence and moves the
// one after it to after the inserted text.
// `count` gets the number of replacements.
inline void plain_replace_across(const ReplaceCall& call, std::string& text,
                                 std::int64_t& length, std::int64_t* count) {
  std::string joined;
  std::vector<std::string> gaps(1);  // gaps[i] stands before joined[i]
  for (std::size_t i = 0; i < text.size();) {
    if (const std::size_t size = continuation_at(text, i); size > 0) {
      gaps.back() += text.substr(i, size);
      i += size;
    } else {
      joined += text[i++];
      gaps.emplace_back();
    }
  }
  const auto gap = [&](std::size_t i) {
    return gaps.begin() + static_cast<std::ptrdiff_t>(i);
  };
  const std::size_t target = call.target.size();
  const std::size_t replacement = call.replacement.size();
  std::int64_t joined_length =
      length - static_cast<std::int64_t>(text.size() - joined.size());
  plain_replace(call, joined, joined_length, [&](std::size_t pos) {
    ++*count;
    const std::string after = gaps[pos + target];
    gaps.erase(gap(pos + 1), gap(pos + target + 1));
    gaps.insert(gap(pos + 1), replacement, std::string());
    gaps[pos + replacement] = gaps[pos + replacement] + after;
  });
  std::string result;
  for (std::size_t i = 0; i < joined.size(); ++i) result += gaps[i] + joined[i];
  result += gaps.back();
  length += static_cast<std::int64_t>(result.size()) -
            static_cast<std::int64_t>(text.size());
  text = result;
}

}  // namespace gemmel::testing

#endif  // GEMMEL_TESTS_PLAIN_REPLACE_H_
