#include "profile/replace.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

namespace gemmel {
namespace {

constexpr std::size_t kNotFound = std::string_view::npos;
constexpr std::int64_t kUnbounded = INT64_MAX;

// Offset of the first `needle` in `haystack` that begins at or after `from`.
std::size_t find_from(std::string_view haystack, std::string_view needle,
                      std::size_t from) {
  if (from > haystack.size()) return kNotFound;
  if (needle.empty()) return from;
  // glibc's memmem is linear in the worst case (two-way) and uses memchr
  // for one-byte needles.
  const void* found = memmem(haystack.data() + from, haystack.size() - from,
                             needle.data(), needle.size());
  if (found == nullptr) return kNotFound;
  return static_cast<std::size_t>(static_cast<const char*>(found) -
                                  haystack.data());
}

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
                      std::size_t unsearched, std::string_view target,
                      std::string& window) {
  const std::string_view inserted = pending.view();
  if (!inserted.empty()) {
    const std::size_t inside = find_from(inserted, target, 0);
    if (inside != kNotFound) return inside;
    // A match may still begin in the last target.size() - 1 inserted bytes
    // and end in the old text.
    const std::size_t head = std::min(inserted.size(), target.size() - 1);
    const std::size_t tail = std::min(old.size() - unsearched, target.size() - 1);
    if (head > 0 && tail > 0) {
      window.assign(inserted.substr(inserted.size() - head));
      window.append(old.substr(unsearched, tail));
      const std::size_t across = find_from(window, target, 0);
      if (across != kNotFound) return inserted.size() - head + across;
    }
  }
  const std::size_t later = find_from(old, target, unsearched);
  if (later == kNotFound) return kNotFound;
  return inserted.size() + (later - unsearched);
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
  const std::size_t first_match = find_from(old, target, region->first);
  if (first_match == kNotFound ||
      static_cast<std::int64_t>(first_match) >= region->limit) {
    return true;  // Nothing to replace: leave the text and its memory alone.
  }

  // Everything before the current position is final and goes to `out`; the
  // rest of the text is `pending` followed by old[unsearched, end).
  const bool resume_after = resumes_after_insertion(call);
  const std::int64_t growth = static_cast<std::int64_t>(replacement.size()) -
                              static_cast<std::int64_t>(target.size());
  std::int64_t new_length = length;
  Text& out = scratch;
  out.clear();
  out.reserve(std::max(old.size(), out.capacity()));
  out.append(old.substr(0, region->first));
  std::size_t unsearched = region->first;
  PendingText pending;
  std::string window;

  std::size_t at = first_match - unsearched;  // from the current position
  do {
    new_length += growth;
    if (new_length > kMaxLength) return false;
    const std::size_t inserted = pending.size();
    if (at < inserted) {
      out.append(pending.view().substr(0, at));
      const std::size_t consumed = at + target.size();
      if (consumed <= inserted) {
        pending.drop_front(consumed);
      } else {
        unsearched += consumed - inserted;
        pending.clear();
      }
    } else {
      out.append(pending.view());
      pending.clear();
      const std::size_t match = unsearched + (at - inserted);
      out.append(old.substr(unsearched, match - unsearched));
      unsearched = match + target.size();
    }
    if (resume_after) {
      out.append(replacement);
    } else {
      pending.prepend(replacement);
    }
    at = find_next(pending, old, unsearched, target, window);
  } while (at != kNotFound &&
           static_cast<std::int64_t>(out.size() + at) < region->limit);

  out.append(pending.view());
  out.append(old.substr(unsearched));
  text.swap(out);
  length = static_cast<std::int32_t>(new_length);
  return true;
}

}  // namespace gemmel
