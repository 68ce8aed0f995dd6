#include "profile/mork.h"

#include <algorithm>
#include <cstring>

namespace gemmel {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool line_end(char c) { return c == '\n' || c == '\r'; }

}  // namespace

std::size_t UnitReader::continuation_at(std::size_t at) const {
  if (in_pair_ || at + 1 >= text_.size() || text_[at] != '\\' ||
      !line_end(text_[at + 1])) {
    return 0;
  }
  return text_[at + 1] == '\r' && at + 2 < text_.size() && text_[at + 2] == '\n'
             ? 3
             : 2;
}

std::size_t UnitReader::skip_continuations() {
  while (const std::size_t size = continuation_at(at_)) at_ += size;
  return at_;
}

bool UnitReader::next(Unit& unit) {
  skip_continuations();
  if (at_ >= text_.size()) return false;
  const char c = text_[at_];
  unit = Unit{.begin = at_, .end = at_ + 1, .byte = c};
  if (in_pair_) {
    in_pair_ = false;
  } else if (c == '\\') {
    in_pair_ = true;
  } else if (c == '$' && at_ + 2 < text_.size()) {
    const int high = hex_value(text_[at_ + 1]);
    const int low = hex_value(text_[at_ + 2]);
    if (high >= 0 && low >= 0) {
      unit.byte = static_cast<char>(high * 16 + low);
      unit.end = at_ + 3;
    }
  }
  at_ = unit.end;
  ++read_;
  return true;
}

std::size_t UnitReader::end_before(std::size_t index) {
  Unit unit;
  while (read_ < index && next(unit)) {
  }
  return at_;
}

std::size_t UnitReader::index_at(std::size_t at) {
  Unit unit;
  while (skip_continuations() < at && next(unit)) {
  }
  return read_;
}

bool has_mork_forms(std::string_view text) {
  if (std::memchr(text.data(), '$', text.size()) != nullptr) return true;
  // Line ends are far rarer than backslashes in a Windows-form file.
  for (const char end : {'\n', '\r'}) {
    for (const char* at = text.data(); at != nullptr;) {
      const auto left =
          static_cast<std::size_t>(text.data() + text.size() - at);
      at = static_cast<const char*>(std::memchr(at, end, left));
      if (at == nullptr) break;
      if (at != text.data() && at[-1] == '\\') return true;
      ++at;
    }
  }
  return false;
}

Text decode(std::string_view text) {
  Text decoded;
  decoded.reserve(text.size());
  UnitReader reader(text);
  // A run of bytes that read as themselves is copied whole.
  std::size_t run_begin = 0;
  std::size_t run_end = 0;
  Unit unit;
  while (reader.next(unit)) {
    if (unit.begin == run_end && unit.end == unit.begin + 1) {
      run_end = unit.end;
      continue;
    }
    decoded.append(text.substr(run_begin, run_end - run_begin));
    if (unit.end == unit.begin + 1) {
      run_begin = unit.begin;
    } else {
      decoded.push_back(unit.byte);
      run_begin = unit.end;
    }
    run_end = unit.end;
  }
  decoded.append(text.substr(run_begin, run_end - run_begin));
  return decoded;
}

std::size_t encoded_size(std::string_view bytes) {
  const auto high = std::ranges::count_if(
      bytes, [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
  return bytes.size() + 2 * static_cast<std::size_t>(high);
}

}  // namespace gemmel
