// Literal replacement in a profile text: the one loop behind the three forms
// of File::replace.
//
// The loop finds the first occurrence of the target at or after the current
// position, stops if it does not begin below the limit, replaces it, and
// searches again from the first byte of the text it has just inserted, so that
// the inserted text and the bytes after it can form a new occurrence. The
// forms differ only in where the loop starts and where it stops:
//
//   kOffset    starts at `start` (a negative one counts as 0); no limit but
//              the end of the text.
//   kStartKey  starts at the first occurrence of `start_key`; no limit but
//              the end of the text.
//   kBounded   starts at the first occurrence of `start_key`; the limit is the
//              offset of the first `end_key` at or after that start, fixed
//              before the first replacement. A match counts when it begins
//              below the limit, wherever it ends.
//
// A key that does not occur leaves the text unchanged; an empty key occurs
// where the search for it begins. An empty target has no occurrence.
//
// Some calls would never end under that rule: a replacement that begins with
// its target (found again at the same offset on every pass), and, for the two
// forms whose limit grows with the text, a replacement that contains its target
// anywhere. For exactly those calls the search resumes after the inserted text.
//
// The work is linear in the text and the result, plus the lengths of the
// target and the replacement: the result is the same as the loop's, byte for
// byte, without running it pass by pass.
//
// Two readings of the text widen what a target matches. With `any_case`, the
// ASCII letters of the target match either case, as Windows names do, and
// so wherever the search reads the text, the inserted text included. With
// `mork`, the text is read as panacea.dat writes it: without its line
// continuations, and with each byte written in hex as that byte; the
// unreplaced bytes keep their form and the replacement is written the Mork
// way (mork.h).
#ifndef GEMMEL_PROFILE_REPLACE_H_
#define GEMMEL_PROFILE_REPLACE_H_

#include <cstdint>
#include <optional>
#include <string_view>

#include "profile/buffer.h"

namespace gemmel {

// The largest text gemmel handles: a file must stay below 2 GiB.
inline constexpr std::int64_t kMaxLength = INT32_MAX;

enum class Form { kOffset, kStartKey, kBounded };

struct ReplaceCall {
  Form form = Form::kOffset;
  std::string_view target;
  std::string_view replacement;
  std::int32_t start = 0;      // kOffset only
  std::string_view start_key;  // kStartKey and kBounded
  std::string_view end_key;    // kBounded only
  bool any_case = false;       // the target's letters match either case
  bool mork = false;           // the text is read as Mork writes it (mork.h)
};

// True when `call` searches again after, not at, the text it inserts.
bool resumes_after_insertion(const ReplaceCall& call);

// Applies `call` to `text`; `length`, the tracked length of the text,
// changes by as much as the text does. `scratch` is spare memory that the call
// may swap with `text`; passing the same one to every call on a text saves
// allocating and touching new memory each time.
// Returns the number of replacements made, every pass of the loop counted
// (0 when there is none), or std::nullopt, leaving `text` and `length`
// unchanged, when the result would be longer than kMaxLength.
std::optional<std::int64_t> apply_replace(const ReplaceCall& call, Text& text,
                                          std::int32_t& length, Text& scratch);

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_REPLACE_H_
