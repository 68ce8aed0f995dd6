#include "profile/replace.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace gemmel {
namespace {

constexpr std::size_t kNotFound = std::string_view::npos;
constexpr std::int64_t kUnbounded = INT64_MAX;

// Offset of the first `needle` in `haystack` that begins at or after `from`.
std::size_t find_from(std::string_view haystack, std::string_view needle,
                      std::size_t from) {
  if (from > haystack.size()) return kNotFound;
  if (needle.empty()) return from;
  const char* const begin = haystack.data();
  const char* const end = begin + haystack.size();
  if (needle.size() <= 2) {
    // The separators: memchr runs many bytes at a time, where memmem's loop
    // for two-byte needles goes byte by byte.
    for (const char* at = begin + from;
         static_cast<std::size_t>(end - at) >= needle.size(); ++at) {
      at = static_cast<const char*>(
          std::memchr(at, needle[0], static_cast<std::size_t>(end - at)));
      if (at == nullptr || static_cast<std::size_t>(end - at) < needle.size()) {
        break;
      }
      if (needle.size() == 1 || at[1] == needle[1]) {
        return static_cast<std::size_t>(at - begin);
      }
    }
    return kNotFound;
  }
  // glibc's memmem is linear in the worst case (two-way).
  const void* found = memmem(begin + from, haystack.size() - from,
                             needle.data(), needle.size());
  if (found == nullptr) return kNotFound;
  return static_cast<std::size_t>(static_cast<const char*>(found) - begin);
}

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
  void put(std::string_view bytes) {
    if (bytes.size() > static_cast<std::size_t>(end_ - cursor_)) {
      grow(bytes.size());
    }
    if (!bytes.empty()) std::memcpy(cursor_, bytes.data(), bytes.size());
    cursor_ += bytes.size();
  }
  void finish() { out_.resize(size()); }

 private:
  void grow(std::size_t needed) {
    const std::size_t used = size();
    out_.resize(std::max(out_.size() * 2, used + needed));
    cursor_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }

  Text& out_;
  char* cursor_;
  char* end_;
};

// Finds one target again and again within a call. The Boyer-Moore tables are
// built once, where memmem would build its own for every match; targets of
// one or two bytes, the separators, go through find_from.
class Finder {
 public:
  explicit Finder(std::string_view needle)
      : needle_(needle), searcher_(needle.begin(), needle.end()) {}

  std::size_t find(std::string_view haystack, std::size_t from) const {
    if (needle_.size() <= 2) return find_from(haystack, needle_, from);
    if (from > haystack.size()) return kNotFound;
    const std::string_view::const_iterator found =
        searcher_(haystack.begin() + static_cast<std::ptrdiff_t>(from),
                  haystack.end())
            .first;
    if (found == haystack.end()) return kNotFound;
    return static_cast<std::size_t>(found - haystack.begin());
  }

 private:
  std::string_view needle_;
  std::boyer_moore_searcher<std::string_view::const_iterator> searcher_;
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

// Inserted text that the search has not yet moved past. It has room in
// front, so putting the next replacement before what is left of it does not
// move the rest: each byte is copied once when it is inserted.
class PendingText {
 public:
  std::string_view view() const {
    return {store_.data() + head_, store_.size() - head_};
  }
  std::size_t size() const { return store_.size() - head_; }
  void clear() { head_ = store_.size(); }
  void drop_front(std::size_t count) { head_ += count; }
  void prepend(std::string_view bytes) {
    if (bytes.empty()) return;
    if (bytes.size() > head_) grow_front(bytes.size());
    head_ -= bytes.size();
    std::memcpy(store_.data() + head_, bytes.data(), bytes.size());
  }

 private:
  void grow_front(std::size_t needed) {
    const std::size_t kept = size();
    const std::size_t room = 2 * std::max(needed, kept);
    Text grown(room + kept, '\0');
    if (kept > 0) std::memcpy(grown.data() + room, store_.data() + head_, kept);
    store_.swap(grown);
    head_ = room;
  }

  Text store_;
  std::size_t head_ = 0;
};

// The text from the current position on is `pending` followed by
// old[unsearched, end). Returns the offset, from the current position, of the
// first `target` in it.
std::size_t find_next(const PendingText& pending, std::string_view old,
                      std::size_t unsearched, const Finder& finder,
                      std::string_view target, std::string& window) {
  const std::string_view inserted = pending.view();
  if (!inserted.empty()) {
    const std::size_t inside = find_from(inserted, target, 0);
    if (inside != kNotFound) return inside;
    // A match may still begin in the last target.size() - 1 inserted bytes
    // and end in the old text.
    const std::size_t head = std::min(inserted.size(), target.size() - 1);
    const std::size_t tail =
        std::min(old.size() - unsearched, target.size() - 1);
    if (head > 0 && tail > 0) {
      window.assign(inserted.substr(inserted.size() - head));
      window.append(old.substr(unsearched, tail));
      const std::size_t across = find_from(window, target, 0);
      if (across != kNotFound) return inserted.size() - head + across;
    }
  }
  const std::size_t later = finder.find(old, unsearched);
  if (later == kNotFound) return kNotFound;
  return inserted.size() + (later - unsearched);
}

// Whether text inserted as `replacement` can be part of a later match of
// `target`: the replacement holds the target, or ends with a proper prefix of
// it. When it cannot, resuming the search after the insertion finds exactly
// what resuming at its start would, with less work. Linear in both lengths
// (Knuth-Morris-Pratt), so that long arguments cost nothing noticeable.
bool insertion_can_match(std::string_view target,
                         std::string_view replacement) {
  std::vector<std::size_t> border(target.size(), 0);
  for (std::size_t i = 1, k = 0; i < target.size(); ++i) {
    while (k > 0 && target[i] != target[k]) k = border[k - 1];
    if (target[i] == target[k]) ++k;
    border[i] = k;
  }
  std::size_t matched = 0;
  for (const char c : replacement) {
    while (matched > 0 && c != target[matched]) matched = border[matched - 1];
    if (c == target[matched]) ++matched;
    if (matched == target.size()) return true;
  }
  return matched > 0;
}

}  // namespace

bool resumes_after_insertion(const ReplaceCall& call) {
  if (call.replacement.starts_with(call.target)) return true;
  return call.form != Form::kBounded &&
         call.replacement.find(call.target) != std::string_view::npos;
}

bool apply_replace(const ReplaceCall& call, Text& text, std::int32_t& length,
                   Text& scratch) {
  const std::string_view target = call.target;
  const std::string_view replacement = call.replacement;
  if (target.empty()) return true;
  const std::string_view old(text.data(), text.size());
  const std::optional<Region> region = find_region(call, old);
  if (!region) return true;
  // In the bounded form no match can begin at or after the fixed limit, so
  // the search need not look at the rest of the file. `shift` is how far the
  // text has moved at the first unsearched byte of the old text.
  const auto searchable = [&](std::int64_t shift, std::size_t unsearched) {
    if (region->limit == kUnbounded) return old;
    const std::int64_t end =
        region->limit - shift + static_cast<std::int64_t>(target.size()) - 1;
    return old.substr(0, static_cast<std::size_t>(std::clamp<std::int64_t>(
                             end, static_cast<std::int64_t>(unsearched),
                             static_cast<std::int64_t>(old.size()))));
  };
  const Finder finder(target);
  const std::size_t first_match =
      finder.find(searchable(0, region->first), region->first);
  if (first_match == kNotFound ||
      static_cast<std::int64_t>(first_match) >= region->limit) {
    return true;  // Nothing to replace: leave the text and its memory alone.
  }

  // Everything before the current position is final and goes to `out`; the
  // rest of the text is `pending` followed by old[unsearched, end).
  const bool resume_after = resumes_after_insertion(call) ||
                            !insertion_can_match(target, replacement);
  const std::int64_t growth = static_cast<std::int64_t>(replacement.size()) -
                              static_cast<std::int64_t>(target.size());
  std::int64_t new_length = length;
  Writer out(scratch, old.size());
  out.put(old.substr(0, region->first));
  std::size_t unsearched = region->first;
  PendingText pending;
  std::string window;

  std::size_t at = first_match - unsearched;  // from the current position
  do {
    new_length += growth;
    if (new_length > kMaxLength) return false;
    const std::size_t inserted = pending.size();
    if (at < inserted) {
      out.put(pending.view().substr(0, at));
      const std::size_t consumed = at + target.size();
      if (consumed <= inserted) {
        pending.drop_front(consumed);
      } else {
        unsearched += consumed - inserted;
        pending.clear();
      }
    } else {
      out.put(pending.view());
      pending.clear();
      const std::size_t match = unsearched + (at - inserted);
      out.put(old.substr(unsearched, match - unsearched));
      unsearched = match + target.size();
    }
    if (resume_after) {
      out.put(replacement);
    } else {
      pending.prepend(replacement);
    }
    const std::int64_t shift =
        static_cast<std::int64_t>(out.size() + pending.size()) -
        static_cast<std::int64_t>(unsearched);
    at = find_next(pending, searchable(shift, unsearched), unsearched, finder,
                   target, window);
  } while (at != kNotFound &&
           static_cast<std::int64_t>(out.size() + at) < region->limit);

  out.put(pending.view());
  out.put(old.substr(unsearched));
  out.finish();
  text.swap(scratch);
  length = static_cast<std::int32_t>(new_length);
  return true;
}

}  // namespace gemmel
