// The few POSIX file operations gemmel needs, each failure returned as a
// value that names the operation and keeps errno. Nothing here prints.
#ifndef GEMMEL_PROFILE_POSIX_IO_H_
#define GEMMEL_PROFILE_POSIX_IO_H_

#include <sys/stat.h>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "profile/buffer.h"

namespace gemmel::posix {

struct Error {
  std::string_view operation;  // "open", "read", "write", "fsync", ...
  int code = 0;                // errno as it was right after the failing call
};

// Empty on success.
using Outcome = std::optional<Error>;

// Owns one file descriptor. The destructor closes it without looking at the
// result, which is right only for descriptors that were read from; a
// descriptor written to must be closed with close() and the result checked.
class Descriptor {
 public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor();

  int get() const { return fd_; }
  // Takes ownership of `fd`, closing the one held before.
  void reset(int fd);
  // Gives up ownership without closing.
  int release();
  // Closes now and reports the result; never retried, as POSIX advises.
  Outcome close();

 private:
  int fd_ = -1;
};

// Opens `path` for reading without ever blocking (a FIFO in its place does
// not hang) and succeeds only for a regular file, whose status goes to
// `status`.
Outcome open_regular_for_reading(const std::string& path, Descriptor& fd,
                                 struct stat& status);

// Reads from the current offset to the end of the file into `text`, which is
// replaced. Fails with EFBIG once more than `max_bytes` would be read;
// `expected_bytes` is only a hint for the first allocation.
Outcome read_to_end(int fd, Text& text, std::size_t max_bytes,
                    std::size_t expected_bytes);

// Writes all of [data, data + size), retrying on EINTR and short counts.
Outcome write_all(int fd, const char* data, std::size_t size);

// Begins the backup: makes `backup_path` hold exactly `data` and starts
// writing it to disk without waiting, leaving it open in `fd` for
// finish_backup. A new backup is created with 0664 limited by `original`'s
// permission bits (then by the umask); an existing one keeps its mode, owner
// and inode. Anything but a regular file at `backup_path`, or the original
// file itself (a link to it), is refused before it is touched; a backup that
// was emptied but could not be filled is removed.
Outcome begin_backup(const std::string& backup_path, std::string_view data,
                     const struct stat& original, Descriptor& fd);

// Waits until the backup begun on `fd` is on disk, with its directory entry,
// and closes it. A backup that cannot be made durable is removed.
Outcome finish_backup(const std::string& backup_path, Descriptor& fd);

// Rewrites the file at `path` in place with `data` (created with 0664 under
// the umask if it has gone). Mode, owner and inode stay as they are, and a
// symbolic link at `path` stays a link.
Outcome rewrite(const std::string& path, std::string_view data);

}  // namespace gemmel::posix

#endif  // GEMMEL_PROFILE_POSIX_IO_H_
