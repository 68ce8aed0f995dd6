#include "profile/search.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace gemmel {
namespace {

std::string folded(std::string_view text) {
  std::string result(text);
  std::ranges::transform(result, result.begin(), fold);
  return result;
}

// The first folded piece is this long; each piece that holds no match is
// followed by one twice as long, up to the buffer.
constexpr std::size_t kFirstPiece = 256;
constexpr std::size_t kLargestPiece = std::size_t{64} << 10;

}  // namespace

bool same_text(std::string_view a, std::string_view b, bool any_case) {
  if (a.size() != b.size()) return false;
  if (!any_case) return a == b;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

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

Finder::Finder(std::string_view needle, bool any_case)
    : needle_(any_case ? folded(needle) : std::string(needle)),
      any_case_(any_case),
      anchor_(needle_.find_first_not_of("abcdefghijklmnopqrstuvwxyz")),
      searcher_(needle_.cbegin(), uses_tables(needle_) && !any_case
                                      ? needle_.cend()
                                      : needle_.cbegin()) {
  // A colon is rarer in a profile than a separator.
  const std::size_t colon = needle_.find(':');
  if (colon != std::string::npos) anchor_ = colon;
}

std::size_t Finder::find(std::string_view haystack, std::size_t from) const {
  if (from > haystack.size()) return kNotFound;
  if (any_case_) {
    if (needle_.empty()) return from;
    if (anchor_ != kNotFound) {
      const std::size_t found = find_by_anchor(haystack, from);
      if (found != kNotFound || from == kNotFound) return found;
    }
    return find_folded(haystack, from);
  }
  if (!uses_tables(needle_)) return find_from(haystack, needle_, from);
  const std::string_view::const_iterator found =
      searcher_(haystack.begin() + static_cast<std::ptrdiff_t>(from),
                haystack.end())
          .first;
  if (found == haystack.end()) return kNotFound;
  return static_cast<std::size_t>(found - haystack.begin());
}

std::size_t Finder::find_by_anchor(std::string_view haystack,
                                   std::size_t& from) const {
  const char anchor = needle_[anchor_];
  const char* const begin = haystack.data();
  std::size_t compared = 0;
  for (std::size_t at = from + anchor_; at < haystack.size(); ++at) {
    const void* hit = std::memchr(begin + at, anchor, haystack.size() - at);
    if (hit == nullptr) break;
    at = static_cast<std::size_t>(static_cast<const char*>(hit) - begin);
    const std::size_t start = at - anchor_;
    if (start + needle_.size() > haystack.size()) break;
    std::size_t i = 0;
    while (i < needle_.size() && fold(haystack[start + i]) == needle_[i]) ++i;
    if (i == needle_.size()) return start;
    // Many near misses: folding the rest costs less.
    compared += i + 1;
    if (compared > at - from + needle_.size()) {
      from = start + 1;
      return kNotFound;
    }
  }
  from = kNotFound;
  return kNotFound;
}

std::size_t Finder::find_folded(std::string_view haystack,
                                std::size_t from) const {
  // Each piece overlaps the last by the needle's length less one, so that
  // no occurrence is cut in two.
  static std::array<char, kLargestPiece> buffer;
  const std::size_t overlap = needle_.size() - 1;
  const std::size_t largest = std::max(kLargestPiece, needle_.size() * 2);
  std::size_t piece = std::max(kFirstPiece, needle_.size() * 2);
  for (std::size_t at = from; at + needle_.size() <= haystack.size();) {
    const std::size_t size = std::min(piece, haystack.size() - at);
    std::string long_piece;  // for needles longer than half the buffer
    std::string_view searched;
    if (size <= buffer.size()) {
      for (std::size_t i = 0; i < size; ++i) buffer[i] = fold(haystack[at + i]);
      searched = std::string_view(buffer.data(), size);
    } else {
      long_piece = folded(haystack.substr(at, size));
      searched = long_piece;
    }
    const std::size_t found = find_from(searched, needle_, 0);
    if (found != kNotFound) return at + found;
    if (at + size == haystack.size()) break;
    at += size - overlap;
    piece = std::min(piece * 2, largest);
  }
  return kNotFound;
}

}  // namespace gemmel
