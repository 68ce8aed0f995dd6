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
#include "profile/separators.h"

namespace gemmel::testing {

// The first `needle` in `text` at or after `from`, ASCII letters of either
// case alike where `any_case`, compared byte by byte.
inline std::size_t plain_find(const std::string& text, std::string_view needle,
                              std::size_t from, bool any_case) {
  const auto lower = [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  };
  for (std::size_t at = from; at + needle.size() <= text.size(); ++at) {
    std::size_t i = 0;
    while (i < needle.size() &&
           (any_case ? lower(text[at + i]) == lower(needle[i])
                     : text[at + i] == needle[i])) {
      ++i;
    }
    if (i == needle.size()) return at;
  }
  return std::string::npos;
}

// Applies `call` to `text` and tracks `length` the way the loop states it,
// telling `replacing` where each occurrence begins before replacing it.
inline void plain_replace(
    const ReplaceCall& call, std::string& text, std::int64_t& length,
    const std::function<void(std::size_t)>& replacing = nullptr) {
  const std::string target(call.target);
  const std::string replacement(call.replacement);
  if (target.empty()) return;
  const auto find = [&](const std::string& in, std::size_t from) {
    return plain_find(in, target, from, call.any_case);
  };
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
  const bool skip_inserted =
      find(replacement, 0) == 0 || (call.form != Form::kBounded &&
                                    find(replacement, 0) != std::string::npos);
  for (;;) {
    pos = find(text, pos);
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

// A text as panacea.dat writes it, cut into the bytes it reads as: each
// with the bytes the file wrote for it, and the line continuations in the
// gaps between them. Read from the start, a backslash pairs with the next
// byte; one that pairs with a line end (CR LF counting as one) is a
// continuation; a "$" outside a pair followed by two hex digits is that byte.
struct MorkText {
  std::string view;                // the bytes it reads as
  std::vector<std::string> units;  // what the file wrote for view[i]
  std::vector<std::string> gaps;   // gaps[i] stands before view[i]

  explicit MorkText(const std::string& text) : gaps(1) {
    const auto hex = [](char c) {
      return std::string_view("0123456789abcdefABCDEF").find(c) !=
             std::string_view::npos;
    };
    bool pairing = false;
    for (std::size_t i = 0; i < text.size();) {
      const char c = text[i];
      const bool line_end =
          i + 1 < text.size() && (text[i + 1] == '\n' || text[i + 1] == '\r');
      if (!pairing && c == '\\' && line_end) {
        const std::size_t size = text.compare(i + 1, 2, "\r\n") == 0 ? 3 : 2;
        gaps.back() += text.substr(i, size);
        i += size;
        continue;
      }
      std::size_t size = 1;
      char byte = c;
      if (!pairing && c == '$' && i + 2 < text.size() && hex(text[i + 1]) &&
          hex(text[i + 2])) {
        size = 3;
        byte = static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      }
      pairing = !pairing && c == '\\';
      view += byte;
      units.push_back(text.substr(i, size));
      gaps.emplace_back();
      i += size;
    }
  }
  std::string written() const {
    std::string result;
    for (std::size_t i = 0; i < view.size(); ++i) result += gaps[i] + units[i];
    return result + gaps.back();
  }
};

// `bytes` as Mork writes them: each byte of 0x80 and above as "$" and two
// upper-case hex digits.
inline std::string plain_encoded(char byte) {
  const auto value = static_cast<unsigned char>(byte);
  if (value < 0x80) return std::string(1, byte);
  const char* digits = "0123456789ABCDEF";
  return std::string{'$', digits[value >> 4], digits[value & 15]};
}

// `call` with its mork rule: the plain loop on the bytes the text reads as;
// a replacement drops the gaps strictly inside the occurrence, moves the one
// after it to after the inserted text, and writes each inserted byte as
// Mork does. `count` gets the number of replacements.
inline void plain_replace_mork(const ReplaceCall& call, std::string& text,
                               std::int64_t& length, std::int64_t* count) {
  MorkText mork(text);
  const auto at = [](auto& vector, std::size_t i) {
    return vector.begin() + static_cast<std::ptrdiff_t>(i);
  };
  const std::size_t target = call.target.size();
  const std::string replacement(call.replacement);
  std::int64_t view_length = static_cast<std::int64_t>(mork.view.size());
  plain_replace(call, mork.view, view_length, [&](std::size_t pos) {
    ++*count;
    const std::string after = mork.gaps[pos + target];
    mork.gaps.erase(at(mork.gaps, pos + 1), at(mork.gaps, pos + target + 1));
    mork.gaps.insert(at(mork.gaps, pos + 1), replacement.size(), std::string());
    mork.gaps[pos + replacement.size()] += after;
    mork.units.erase(at(mork.units, pos), at(mork.units, pos + target));
    std::vector<std::string> inserted;
    for (const char c : replacement) inserted.push_back(plain_encoded(c));
    mork.units.insert(at(mork.units, pos), inserted.begin(), inserted.end());
  });
  text = mork.written();
  length = static_cast<std::int64_t>(text.size());
}

// The separators of the paths that begin with `pass.folder`, converted the
// plain way: find a path, walk its value one unit at a time, go on after it.
inline std::int64_t plain_separators(const SeparatorPass& pass,
                                     std::string& text) {
  MorkText read(pass.mork ? text : std::string());
  if (!pass.mork) {
    // prefs.js: no continuations and no hex bytes, but pairs all the same.
    read.view = text;
    read.units.clear();
    for (const char c : text) read.units.emplace_back(1, c);
    read.gaps.assign(text.size() + 1, std::string());
  }
  std::int64_t count = 0;
  std::size_t from = 0;
  for (;;) {
    const std::size_t found =
        plain_find(read.view, pass.folder, from, pass.any_case);
    if (found == std::string::npos) break;
    // Whether the unit before the path's rest starts a pair: count the
    // pairs from the start.
    bool pairing = false;
    for (std::size_t i = 0; i < found + pass.folder.size(); ++i) {
      pairing = !pairing && read.units[i] == "\\";
    }
    std::size_t i = found + pass.folder.size();
    for (; i < read.units.size(); ++i) {
      const std::string& unit = read.units[i];
      if (pairing) {
        pairing = false;
        continue;
      }
      const bool ends = pass.mork
                            ? unit == ")"
                            : unit == "\"" || unit == "\r" || unit == "\n";
      if (ends) break;
      if (pass.to_windows && unit == "/") {
        read.units[i] = "\\\\";
        ++count;
      } else if (!pass.to_windows && unit == "\\" &&
                 i + 1 < read.units.size() && read.units[i + 1] == "\\" &&
                 read.gaps[i + 1].empty()) {
        read.units[i] = "/";
        read.units[i + 1].clear();
        ++count;
        ++i;
      } else {
        pairing = unit == "\\";
      }
    }
    from = i;
  }
  text = read.written();
  return count;
}

}  // namespace gemmel::testing

#endif  // GEMMEL_TESTS_PLAIN_REPLACE_H_
