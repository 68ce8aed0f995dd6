// Mork's line continuations, as panacea.dat breaks long values with them.
//
// A line continuation is a backslash followed by a line end (CR LF, LF or
// CR; CR LF is one line end), where that backslash ends a run of an odd
// number of backslashes (in an escaped backslash, two of them, the line end
// is a line end). Readers drop the pair and join the lines.
//
// A replacement across continuations (ReplaceCall::across_continuations, see
// replace.h) takes the continuations present when it begins, runs the loop
// on the text as it reads without them (starts, keys and limits included),
// and puts back every continuation that does not lie strictly inside a
// replaced occurrence, where it stood; one just before or just after an
// occurrence stays. An occurrence that begins in inserted text and ends in
// the old bytes holds the continuations between its two parts and within its
// old part. The replacement is written on one line. In a text without
// continuations the result is the plain loop's.
#ifndef GEMMEL_PROFILE_CONTINUATION_H_
#define GEMMEL_PROFILE_CONTINUATION_H_

#include <cstddef>
#include <cstring>
#include <optional>
#include <string_view>

#include "profile/buffer.h"

namespace gemmel {

struct Continuation {
  std::size_t at;  // offset of its backslash in the text
  // cppcheck-suppress unusedStructMember ; read through std::optional
  std::size_t joined_at;  // offset of the byte after it once joined
  std::size_t size;       // 2, or 3 with CR LF
};

// Finds the continuations of a text in order, each once. The text must
// outlive the object.
class Continuations {
 public:
  explicit Continuations(std::string_view text) : text_(text) {}

  // The next continuation, or std::nullopt when there is none left.
  std::optional<Continuation> next();

 private:
  std::string_view text_;
  std::size_t from_ = 0;
  std::size_t removed_ = 0;  // the bytes of the continuations found so far
};

// Inline: the replacement asks for the next continuation at every range it
// copies.
inline std::optional<Continuation> Continuations::next() {
  const char* const begin = text_.data();
  const std::size_t size = text_.size();
  while (from_ < size) {
    const void* found = std::memchr(begin + from_, '\\', size - from_);
    if (found == nullptr) break;
    // A run of backslashes is read whole, so the search never resumes
    // inside one and its parity is its full length.
    const std::size_t run_begin =
        static_cast<std::size_t>(static_cast<const char*>(found) - begin);
    std::size_t run_end = run_begin + 1;
    while (run_end < size && begin[run_end] == '\\') ++run_end;
    from_ = run_end;
    if ((run_end - run_begin) % 2 == 0 || run_end == size ||
        (begin[run_end] != '\n' && begin[run_end] != '\r')) {
      continue;
    }
    const bool crlf = begin[run_end] == '\r' && run_end + 1 < size &&
                      begin[run_end + 1] == '\n';
    const Continuation found_one{.at = run_end - 1,
                                 .joined_at = run_end - 1 - removed_,
                                 .size = crlf ? 3U : 2U};
    removed_ += found_one.size;
    from_ = found_one.at + found_one.size;
    return found_one;
  }
  from_ = size;
  return std::nullopt;
}

// `text` as it reads without its continuations.
Text join(std::string_view text);

// The joined text of a file, searched by a replacement in place of the
// file's own, and the means to copy its unreplaced bytes to the result with
// the continuations put back.
//
// copy() takes increasing ranges [from, to) of the joined text, each
// beginning where an occurrence's old part ends, and appends them to `out`
// (anything with put(std::string_view)): a continuation at `from` or `to`
// stands just after or just before an occurrence, or at an end of the text,
// and goes back where it was; one below `from` that was not put back lay
// strictly inside the occurrences between two ranges. Both texts must
// outlive the object; `joined` must be join(original).
class JoinedSource {
 public:
  JoinedSource(std::string_view joined, std::string_view original)
      : joined_(joined), original_(original), found_(original) {
    pending_ = found_.next();
  }
  std::string_view text() const { return joined_; }
  // Bytes written to the result that are not part of the joined text: the
  // continuations put back so far.
  std::size_t restored() const { return restored_; }
  template <typename Out>
  void copy(Out& out, std::size_t from, std::size_t to) {
    while (pending_ && pending_->joined_at < from) pending_ = found_.next();
    while (pending_ && pending_->joined_at <= to) {
      out.put(joined_.substr(from, pending_->joined_at - from));
      out.put(original_.substr(pending_->at, pending_->size));
      restored_ += pending_->size;
      from = pending_->joined_at;
      pending_ = found_.next();
    }
    out.put(joined_.substr(from, to - from));
  }

 private:
  std::string_view joined_;
  std::string_view original_;
  Continuations found_;
  std::optional<Continuation> pending_;  // the next one not yet handled
  std::size_t restored_ = 0;
};

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_CONTINUATION_H_
