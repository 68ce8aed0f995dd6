// How panacea.dat, a Mork file, writes the bytes of its values, and the text
// a search reads in their place.
//
// Read from the start of the text, a backslash and the byte after it are a
// pair: "\\" is an escaped backslash, "\)" an escaped parenthesis, "\$" a
// plain dollar. A backslash that starts a pair and is followed by a line end
// (CR LF, LF or CR; CR LF is one line end) is a line continuation: readers
// drop it and join the lines. A "$" that no backslash escapes, followed by
// two hexadecimal digits, is one byte written in hex ("$C3" for 0xC3): Mork
// writes every byte of 0x80 and above so. A dollar whose two digits are cut
// by a continuation is read as it stands.
//
// The decoded text of a file is what it reads as: the continuations dropped,
// every hex byte one byte. A replacement that reads panacea.dat
// (ReplaceCall::mork, see replace.h) runs the loop on the decoded text,
// starts, keys and limits included, and copies every unreplaced byte to the
// result as the file wrote it: a hex byte keeps its form, and every
// continuation that does not lie strictly inside a replaced occurrence stays
// where it stood; one just before or just after an occurrence stays. An
// occurrence that begins in inserted text and ends in the old bytes holds
// the continuations between its two parts and within its old part. The
// replacement is written on one line, its bytes of 0x80 and above in hex
// with upper-case digits. In a text without continuations and hex bytes the
// result is the plain loop's.
#ifndef GEMMEL_PROFILE_MORK_H_
#define GEMMEL_PROFILE_MORK_H_

#include <algorithm>
#include <cstddef>
#include <string_view>

#include "profile/buffer.h"

namespace gemmel {

// One byte of the decoded text and where the file wrote it.
struct Unit {
  std::size_t begin = 0;  // offset of its first byte in the text
  std::size_t end = 0;    // one past its last: 1 byte, or 3 for a hex byte
  char byte = 0;          // the byte it reads as
};

// Reads the units of a text in order, passing over continuations.
class UnitReader {
 public:
  explicit UnitReader(std::string_view text) : text_(text) {}

  // The next unit, after any continuations before it; false at the end of
  // the text. `offset()` is then the end of the text.
  bool next(Unit& unit);
  // Where the next unit or continuation begins: the end of the last unit
  // read.
  std::size_t offset() const { return at_; }
  // The continuations at offset(), passed over: where the next unit begins.
  std::size_t skip_continuations();
  // Reads on to the decoded offset `index`, which must not be behind, and
  // returns offset(): the end of the unit before it.
  std::size_t end_before(std::size_t index);
  // Reads on to the unit that begins at or after `at`, a unit boundary not
  // behind, and returns its decoded offset.
  std::size_t index_at(std::size_t at);

 private:
  std::size_t continuation_at(std::size_t at) const;

  std::string_view text_;
  std::size_t at_ = 0;
  std::size_t read_ = 0;  // units read
  bool in_pair_ = false;  // the last unit read starts a pair
};

// True when `text` may hold a continuation or a hex byte: only then does its
// decoded text differ from it.
bool has_mork_forms(std::string_view text);

// `text` as it reads.
Text decode(std::string_view text);

// The number of bytes `bytes` takes written the Mork way: each byte of 0x80
// and above as "$" and two upper-case hex digits.
std::size_t encoded_size(std::string_view bytes);

// Appends `bytes` written the Mork way to `out` (anything with
// put(std::string_view)).
template <typename Out>
void put_encoded(Out& out, std::string_view bytes) {
  constexpr std::string_view kDigits = "0123456789ABCDEF";
  std::size_t plain = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte < 0x80) continue;
    out.put(bytes.substr(plain, i - plain));
    const char hex[] = {'$', kDigits[byte >> 4], kDigits[byte & 0xF]};
    out.put(std::string_view(hex, 3));
    plain = i + 1;
  }
  out.put(bytes.substr(plain));
}

// The decoded text of a file, searched by a replacement in place of the
// file's own, and the means to copy its unreplaced bytes to the result as the
// file wrote them.
//
// copy() takes increasing ranges [from, to) of the decoded text, each
// beginning at or after where the last ended, and appends to `out` the bytes
// the file wrote for them: from the continuations before unit `from`, unless
// the last range ended there and wrote them, up to the continuations before
// unit `to`, included. Both texts must outlive the object; `decoded` must be
// decode(original).
class DecodedSource {
 public:
  DecodedSource(std::string_view decoded, std::string_view original)
      : decoded_(decoded), original_(original), reader_(original) {}
  std::string_view text() const { return decoded_; }
  // Bytes written to the result that are not part of the decoded text.
  std::size_t restored() const { return restored_; }
  template <typename Out>
  void copy(Out& out, std::size_t from, std::size_t to) {
    const std::size_t begin = std::max(written_, reader_.end_before(from));
    reader_.end_before(to);
    const std::size_t end =
        to == decoded_.size() ? original_.size() : reader_.skip_continuations();
    out.put(original_.substr(begin, end - begin));
    restored_ += (end - begin) - (to - from);
    written_ = end;
  }

 private:
  std::string_view decoded_;
  std::string_view original_;
  UnitReader reader_;
  std::size_t written_ = 0;  // the end of the bytes copied so far
  std::size_t restored_ = 0;
};

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_MORK_H_
