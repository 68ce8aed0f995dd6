// The separators of the profile's own paths: the rest of each path that
// begins with the profile folder gets the other system's separators, and
// nothing else in the file changes.
//
// The text is read once from its start. Each occurrence of the folder (found
// as a replacement finds its target: with `any_case` and `mork` as in
// replace.h) begins a path; from the end of that occurrence to the end of its
// value, each separator of the other form becomes the target's: towards
// Windows each "/" becomes "\\", towards Linux each "\\" becomes "/". A
// backslash and the byte after it are read as a pair: "\\" is one separator,
// and any other pair stays as it is. A value ends before the first byte that
// is not part of a pair and is, in prefs.js, a quote, a carriage return or a
// line feed, or, in panacea.dat (`mork`), a closing parenthesis; there a line
// continuation passes unchanged, and a byte written in hex is no separator.
// The end of the text ends a value too. The next occurrence is looked for
// after the end of the value.
#ifndef GEMMEL_PROFILE_SEPARATORS_H_
#define GEMMEL_PROFILE_SEPARATORS_H_

#include <cstdint>
#include <optional>
#include <string_view>

#include "profile/buffer.h"

namespace gemmel {

struct SeparatorPass {
  std::string_view folder;  // the profile folder, in the target's form
  bool to_windows = false;  // "/" becomes "\\"; otherwise "\\" becomes "/"
  bool any_case = false;    // the folder's letters match either case
  bool mork = false;        // the text is panacea.dat's (mork.h)
};

// Applies `pass` to `text`; `scratch` as for apply_replace. Returns the
// number of separators converted, or std::nullopt, leaving `text`
// unchanged, when the result would be longer than kMaxLength.
std::optional<std::int64_t> convert_separators(const SeparatorPass& pass,
                                               Text& text, Text& scratch);

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_SEPARATORS_H_
