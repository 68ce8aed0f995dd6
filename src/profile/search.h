// Finding a string in a profile text: byte for byte, or with the ASCII
// letters of either case alike, as Windows compares its folder names.
#ifndef GEMMEL_PROFILE_SEARCH_H_
#define GEMMEL_PROFILE_SEARCH_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace gemmel {

inline constexpr std::size_t kNotFound = std::string_view::npos;

// `c` with an upper-case ASCII letter made lower-case.
constexpr char fold(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
}

// True when `a` and `b` are the same bytes, letters of either case alike
// where `any_case`.
bool same_text(std::string_view a, std::string_view b, bool any_case);

// Offset of the first `needle` in `haystack` that begins at or after
// `from`, byte for byte; `from` itself for an empty needle.
std::size_t find_from(std::string_view haystack, std::string_view needle,
                      std::size_t from);

// Finds one needle again and again, in time linear in what it reads.
// Byte for byte: Boyer-Moore tables built once for needles of a folder's
// length. With `any_case`: memchr for a byte of the needle that is no letter
// (every Windows folder holds a colon or a backslash), each hit compared
// letter by letter; where those comparisons cost more than the bytes passed
// over, the rest is folded a piece at a time and searched with memmem.
class Finder {
 public:
  Finder(std::string_view needle, bool any_case);
  Finder(const Finder&) = delete;
  Finder& operator=(const Finder&) = delete;

  // The first occurrence in `haystack` that begins at or after `from`.
  std::size_t find(std::string_view haystack, std::size_t from) const;
  bool any_case() const { return any_case_; }

 private:
  static bool uses_tables(std::string_view needle) {
    return needle.size() > 2 && needle.size() <= 256;
  }
  std::size_t find_by_anchor(std::string_view haystack,
                             std::size_t& from) const;
  std::size_t find_folded(std::string_view haystack, std::size_t from) const;

  std::string needle_;  // folded where any_case_
  bool any_case_;
  std::size_t anchor_;  // with any_case_: a byte of the needle that is no
                        // letter, or kNotFound
  std::boyer_moore_searcher<std::string::const_iterator> searcher_;
};

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_SEARCH_H_
