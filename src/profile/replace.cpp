#include "profile/replace.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "profile/mork.h"
#include "profile/search.h"

namespace gemmel {
namespace {

constexpr std::int64_t kUnbounded = INT64_MAX;

// Appends to a text through a plain pointer: the hot loop copies millions of
// short pieces, for which std::string::append's bookkeeping costs more than
// the copying. The text is sized ahead and trimmed by finish().
class Writer {
 public:
  Writer(Text& out, std::size_t expected) : out_(out) {
    out_.resize(std::max(expected, out_.capacity()));
    cursor_ = out_.data();
    end_ = cursor_ + out_.size();
  }
  std::size_t size() const {
    return static_cast<std::size_t>(cursor_ - out_.data());
  }
  [[gnu::always_inline]] void put(std::string_view bytes) {
    if (bytes.size() > static_cast<std::size_t>(end_ - cursor_)) {
      grow(bytes.size());
    }
    if (!bytes.empty()) std::memcpy(cursor_, bytes.data(), bytes.size());
    cursor_ += bytes.size();
  }
  void finish() { out_.resize(size()); }

 private:
  [[gnu::noinline]] void grow(std::size_t needed) {
    const std::size_t used = size();
    // A quarter more each time: still linear, and a result that grows
    // stays near its own size.
    out_.resize(std::max(out_.size() + out_.size() / 4, used + needed));
    cursor_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }

  Text& out_;
  char* cursor_;
  char* end_;
};

// Where the loop starts, and the offset a match must begin below.
struct Region {
  std::size_t first = 0;
  std::int64_t limit = kUnbounded;
};

std::optional<Region> find_region(const ReplaceCall& call,
                                  std::string_view text) {
  switch (call.form) {
    case Form::kOffset:
      return Region{static_cast<std::size_t>(std::max(call.start, 0)),
                    kUnbounded};
    case Form::kStartKey: {
      const std::size_t first = find_from(text, call.start_key, 0);
      if (first == kNotFound) return std::nullopt;
      return Region{first, kUnbounded};
    }
    case Form::kBounded: {
      const std::size_t first = find_from(text, call.start_key, 0);
      if (first == kNotFound) return std::nullopt;
      const std::size_t end = find_from(text, call.end_key, first);
      if (end == kNotFound) return std::nullopt;
      return Region{first, static_cast<std::int64_t>(end)};
    }
  }
  return std::nullopt;
}

// The Knuth-Morris-Pratt automaton of a target: reads bytes one at a time
// and tracks how much of the target the bytes read so far end with. Used on
// the replacement once per call, and on the few bytes after an insertion that
// could complete a match begun inside it; linear in what it reads.
class Automaton {
 public:
  // `target` is folded where `any_case`.
  Automaton(std::string_view target, bool any_case)
      : target_(target), any_case_(any_case), border_(target.size(), 0) {
    for (std::size_t i = 1, k = 0; i < target.size(); ++i) {
      k = step(k, target[i]);
      border_[i] = k;
    }
  }
  // The state after reading `c` when the bytes read so far end with the
  // first `matched` bytes of the target (matched < target size).
  std::size_t step(std::size_t matched, char c) const {
    if (any_case_) c = fold(c);
    while (matched > 0 && c != target_[matched]) matched = border_[matched - 1];
    return c == target_[matched] ? matched + 1 : 0;
  }

 private:
  std::string_view target_;
  bool any_case_;
  std::vector<std::size_t> border_;
};

// How text inserted as the replacement can be part of the next match, which
// the search looks for from the start of the insertion.
struct Overlap {
  // Where the target first stands wholly inside the replacement.
  std::size_t inside = kNotFound;
  // Otherwise, the length of the longest proper prefix of the target that the
  // replacement ends with: a match may begin there and end in the bytes that
  // follow. 0 when none.
  std::size_t carried = 0;
};

Overlap overlap_of(const Automaton& automaton, std::size_t target_size,
                   std::string_view replacement) {
  std::size_t matched = 0;
  for (std::size_t i = 0; i < replacement.size(); ++i) {
    matched = automaton.step(matched, replacement[i]);
    if (matched == target_size) return {.inside = i + 1 - target_size};
  }
  return {.carried = matched};
}

// The text a call searches when it does not look across continuations: the
// file's own, copied to the result as it is.
class PlainSource {
 public:
  explicit PlainSource(std::string_view text) : text_(text) {}
  std::string_view text() const { return text_; }
  // Bytes written to the result that are not part of the searched text.
  static std::size_t restored() { return 0; }
  [[gnu::always_inline]] void copy(Writer& out, std::size_t from,
                                   std::size_t to) const {
    out.put(text_.substr(from, to - from));
  }

 private:
  std::string_view text_;
};

// What a call made: `count` replacements (0: the text is left alone).
struct Made {
  std::int64_t count = 0;
};

// The loop on `source`'s text, with the result written to `scratch`;
// `original_size` is the size of the text as the file holds it, and the
// text is tracked as `excess` bytes longer. std::nullopt when the result,
// so tracked, would be longer than kMaxLength.
template <typename Source>
std::optional<Made> replace_in(const ReplaceCall& call, Source& source,
                               std::size_t original_size, std::int64_t excess,
                               Text& scratch) {
  const Finder finder(call.target, call.any_case);
  const std::string_view replacement = call.replacement;
  const std::string_view old = source.text();
  const std::size_t target_size = call.target.size();
  const std::optional<Region> region = find_region(call, old);
  if (!region) return Made{};
  // In the bounded form no match can begin at or after the fixed limit, so
  // the search need not look at the rest of the file. `shift` is how far the
  // text has moved at the first unsearched byte of the old text.
  const auto searchable = [&](std::int64_t shift, std::size_t unsearched) {
    if (region->limit == kUnbounded) return old;
    const std::int64_t end =
        region->limit - shift + static_cast<std::int64_t>(target_size) - 1;
    return old.substr(0, static_cast<std::size_t>(std::clamp<std::int64_t>(
                             end, static_cast<std::int64_t>(unsearched),
                             static_cast<std::int64_t>(old.size()))));
  };
  const std::size_t first_match =
      finder.find(searchable(0, region->first), region->first);
  if (first_match == kNotFound ||
      static_cast<std::int64_t>(first_match) >= region->limit) {
    return Made{};  // Nothing to replace: leave the text and its memory.
  }

  // Everything before the current position is final and goes to `out`;
  // the rest of the text is the replacement just inserted, where the search
  // looks at it again, followed by old[unsearched, end). The result is at
  // least as long as the searched text grows: the bytes put back for it
  // (continuations, bytes in hex) only add to that.
  const std::size_t written_size =
      call.mork ? encoded_size(replacement) : replacement.size();
  const std::int64_t growth = static_cast<std::int64_t>(written_size) -
                              static_cast<std::int64_t>(target_size);
  Made made;
  std::int64_t bound = static_cast<std::int64_t>(old.size()) + excess;
  const auto grow_by = [&](std::int64_t count) {
    made.count += count;
    bound += count * growth;
    return bound <= kMaxLength;
  };
  if (!grow_by(1)) return std::nullopt;
  Writer out(scratch, original_size);
  // The bytes written for insertions beyond their own.
  std::size_t encoded_extra = 0;
  const auto insert = [&](std::string_view piece) {
    if (!call.mork) return out.put(piece);
    const std::size_t before = out.size();
    put_encoded(out, piece);
    encoded_extra += out.size() - before - piece.size();
  };
  // Where the loop stands in the text it searches.
  const auto written = [&] {
    return static_cast<std::int64_t>(out.size() - source.restored() -
                                     encoded_extra);
  };
  source.copy(out, 0, first_match);
  std::size_t unsearched = first_match + target_size;

  std::string folded_target(call.target);
  if (call.any_case)
    std::ranges::transform(folded_target, folded_target.begin(), fold);
  std::optional<Automaton> automaton;
  Overlap overlap;
  if (!resumes_after_insertion(call)) {
    automaton.emplace(folded_target, call.any_case);
    overlap = overlap_of(*automaton, target_size, replacement);
  }

  if (overlap.inside != kNotFound) {
    // Only the bounded form gets here. Every insertion holds the next match
    // at the same offset, `step`, from its start (nothing before it can
    // match, the first target in the replacement is there), so the passes
    // follow one another `step` bytes apart up to the fixed limit, each
    // leaving the rest of the insertion before it behind the new one. They
    // are counted, not run, and their result is written at once.
    const std::size_t step = overlap.inside;
    const std::int64_t passes =
        (region->limit - 1 - static_cast<std::int64_t>(first_match)) /
        static_cast<std::int64_t>(step);
    if (!grow_by(passes)) return std::nullopt;
    const std::string_view before = replacement.substr(0, step);
    const std::string_view after = replacement.substr(step + target_size);
    for (std::int64_t i = 0; i < passes; ++i) insert(before);
    insert(replacement);
    for (std::int64_t i = 0; i < passes; ++i) insert(after);
  } else {
    for (;;) {
      // A match may begin in the insertion and end in the old text: read on
      // from the automaton's state at the insertion's end for as long as the
      // target it has begun starts inside the insertion.
      std::size_t matched = overlap.carried;
      std::size_t read = 0;
      while (matched > read && matched < target_size &&
             unsearched + read < old.size()) {
        matched = automaton->step(matched, old[unsearched + read]);
        ++read;
      }
      const bool across = matched == target_size;
      std::size_t next = 0;  // where the next match begins, from out's end
      if (across) {
        next = replacement.size() + read - target_size;
      } else {
        insert(replacement);
        const std::int64_t shift =
            written() - static_cast<std::int64_t>(unsearched);
        const std::size_t later =
            finder.find(searchable(shift, unsearched), unsearched);
        if (later == kNotFound) break;
        next = later - unsearched;
        read = next + target_size;
      }
      if (written() + static_cast<std::int64_t>(next) >= region->limit) {
        if (across) insert(replacement);
        break;
      }
      if (!grow_by(1)) return std::nullopt;
      // What stands before the match is final; the match itself goes, and
      // it ends `read` bytes into the old text.
      if (across) {
        insert(replacement.substr(0, next));
      } else {
        source.copy(out, unsearched, unsearched + next);
      }
      unsearched += read;
    }
  }

  source.copy(out, unsearched, old.size());
  if (static_cast<std::int64_t>(out.size()) + excess > kMaxLength) {
    return std::nullopt;
  }
  out.finish();
  return made;
}

}  // namespace

bool resumes_after_insertion(const ReplaceCall& call) {
  const Finder finder(call.target, call.any_case);
  if (call.replacement.size() >= call.target.size() &&
      finder.find(call.replacement.substr(0, call.target.size()), 0) == 0) {
    return true;
  }
  return call.form != Form::kBounded &&
         finder.find(call.replacement, 0) != kNotFound;
}

std::optional<std::int64_t> apply_replace(const ReplaceCall& call, Text& text,
                                          std::int32_t& length, Text& scratch) {
  if (call.target.empty()) return 0;
  const std::string_view original(text.data(), text.size());
  const std::int64_t excess = length - static_cast<std::int64_t>(text.size());
  std::optional<Made> made;
  if (call.mork && has_mork_forms(original)) {
    const Text decoded = decode(original);
    DecodedSource source(decoded, original);
    made = replace_in(call, source, original.size(), excess, scratch);
  } else {
    PlainSource source(original);
    made = replace_in(call, source, original.size(), excess, scratch);
  }
  if (!made) return std::nullopt;
  if (made->count > 0) text.swap(scratch);
  length = static_cast<std::int32_t>(static_cast<std::int64_t>(text.size()) +
                                     excess);
  return made->count;
}

}  // namespace gemmel
