#include "profile/separators.h"

#include <algorithm>
#include <string>

#include "profile/mork.h"
#include "profile/replace.h"
#include "profile/search.h"

namespace gemmel {
namespace {

constexpr std::string_view kSlash = "/";
constexpr std::string_view kEscapedSeparator = "\\\\";

// True when the byte at `at` is the second of a pair: an odd run of
// backslashes stands right before it. A continuation's line end cuts a run,
// and a byte in hex is no backslash, so the count needs no look further back.
bool paired_at(std::string_view text, std::size_t at) {
  std::size_t run = 0;
  while (run < at && text[at - 1 - run] == '\\') ++run;
  return run % 2 == 1;
}

bool ends_value(char c, bool mork) {
  return mork ? c == ')' : c == '"' || c == '\r' || c == '\n';
}

}  // namespace

std::optional<std::int64_t> convert_separators(const SeparatorPass& pass,
                                               Text& text, Text& scratch) {
  if (pass.folder.empty()) return 0;
  const std::string_view original(text.data(), text.size());
  Text decoded;
  const bool decoding = pass.mork && has_mork_forms(original);
  if (decoding) decoded = decode(original);
  const std::string_view view = decoding ? std::string_view(decoded) : original;
  const Finder finder(pass.folder, pass.any_case);
  // Where the decoded text's offsets are in the file's text, followed
  // forwards with the search; without decoding they are the same.
  UnitReader offsets(original);
  const std::string_view from = pass.to_windows ? kSlash : kEscapedSeparator;
  const std::string_view to = pass.to_windows ? kEscapedSeparator : kSlash;

  std::int64_t count = 0;
  std::size_t copied = 0;  // the text before this offset is in `scratch`
  std::size_t written = 0;
  scratch.resize(std::max(scratch.capacity(), original.size()));
  const auto put = [&](std::string_view bytes) {
    if (written + bytes.size() > scratch.size()) {
      scratch.resize(std::max(scratch.size() + scratch.size() / 4,
                              written + bytes.size()));
    }
    std::copy(bytes.begin(), bytes.end(),
              scratch.begin() + static_cast<std::ptrdiff_t>(written));
    written += bytes.size();
  };
  for (std::size_t search = 0;;) {
    const std::size_t found = finder.find(view, search);
    if (found == kNotFound) break;
    const std::size_t end = found + pass.folder.size();
    std::size_t at = decoding ? offsets.end_before(end) : end;
    bool in_pair = paired_at(original, at);
    while (at < original.size()) {
      const char c = original[at];
      if (in_pair) {
        in_pair = false;
        ++at;
        continue;
      }
      if (c == '\\') {
        const bool continuation =
            pass.mork && at + 1 < original.size() &&
            (original[at + 1] == '\n' || original[at + 1] == '\r');
        if (continuation) {
          at += original.compare(at + 1, 2, "\r\n") == 0 ? 3U : 2U;
          continue;
        }
      }
      if (ends_value(c, pass.mork)) break;
      const bool separator =
          c == from[0] && (from.size() == 1 || (at + 1 < original.size() &&
                                                original[at + 1] == from[1]));
      if (separator) {
        put(original.substr(copied, at - copied));
        put(to);
        at += from.size();
        copied = at;
        ++count;
        if (written > static_cast<std::size_t>(kMaxLength)) {
          return std::nullopt;
        }
        continue;
      }
      in_pair = c == '\\';
      ++at;
    }
    search = decoding ? offsets.index_at(at) : at;
  }
  if (count == 0) return 0;
  put(original.substr(copied));
  if (written > static_cast<std::size_t>(kMaxLength)) return std::nullopt;
  scratch.resize(written);
  text.swap(scratch);
  return count;
}

}  // namespace gemmel
