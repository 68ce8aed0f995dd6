// The few POSIX file operations gemmel needs, each failure returned as a
// value that names the operation and keeps errno. Nothing here prints.
#ifndef GEMMEL_PROFILE_POSIX_IO_H_
#define GEMMEL_PROFILE_POSIX_IO_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "profile/buffer.h"

namespace gemmel::posix {

struct Error {
  std::string_view operation;  // "open", "read", "write", "fsync", ...
  // errno as it was right after the failing call; 0 when no call failed but
  // a check refused the file (not a regular file, a link, ...).
  int code = 0;
};

// Empty on success.
using Outcome = std::optional<Error>;

// The operation of the failure of a copy whose source ended early: the
// file was changed while it was being copied.
inline constexpr std::string_view kSourceShrank = "changed";

// The calls that change files or make them durable, routed through one table
// so that tests can record them, make one fail, or keep track of what a
// power cut would leave. Everything else is called directly.
struct Calls {
  int (*openat)(int folder, const char* name, int flags, mode_t mode);
  int (*close)(int fd);
  int (*fsync)(int fd);
  int (*fdatasync)(int fd);
  ssize_t (*pwrite)(int fd, const void* data, std::size_t size, off_t offset);
  int (*ftruncate)(int fd, off_t length);
  int (*fallocate)(int fd, int mode, off_t offset, off_t length);
  ssize_t (*copy_file_range)(int from, off_t* from_offset, int to,
                             off_t* to_offset, std::size_t size,
                             unsigned flags);
  int (*flock)(int fd, int operation);
  int (*linkat)(int from_folder, const char* from, int to_folder,
                const char* to, int flags);
  int (*unlinkat)(int folder, const char* name, int flags);
};
// The table in use; the real calls unless a test has replaced some.
Calls& calls();

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
  void reset(int fd = -1);
  // Closes now and reports the result; never retried, as POSIX advises.
  Outcome close();

 private:
  int fd_ = -1;
};

// What tells one version of a file from another: the file (device, inode),
// its size, and the times of its last change of content and of status.
// Setting the modification time back changes the status time.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};
  timespec changed{};

  static Identity of(const struct stat& status);
  bool same_file(const Identity& other) const {
    return device == other.device && inode == other.inode;
  }
  bool same_version(const Identity& other) const;
};

// Opens the folder that holds `path`, so that the names in it are reached
// through that folder even if its path is made to lead elsewhere meanwhile.
Outcome open_folder(const std::string& path, Descriptor& folder);
// The last component of `path`: the name of the file in its folder.
std::string name_in_folder(const std::string& path);

// The status of `name` in `folder`, following a final link when `follow`;
// empty when there is nothing there, or it cannot be looked up.
std::optional<struct stat> status_in(int folder, const std::string& name,
                                     bool follow);

// Opens `name` in `folder` for reading without ever blocking (a FIFO in its
// place does not hang) and succeeds only for a regular file, whose status
// goes to `status`.
Outcome open_regular_for_reading(int folder, const std::string& name,
                                 Descriptor& fd, struct stat& status);

// Takes an exclusive advisory lock on `fd` without waiting. Fails with
// EWOULDBLOCK while another process holds one; succeeds without a lock where
// the file system has none (ENOLCK, EOPNOTSUPP).
Outcome lock(int fd);

// Reads from the current offset to the end of the file into `text`, which is
// replaced. Fails with EFBIG once more than `max_bytes` would be read;
// `expected_bytes` is only a hint for the first allocation.
Outcome read_to_end(int fd, Text& text, std::size_t max_bytes,
                    std::size_t expected_bytes);

// True when the file on `fd` holds exactly `text`, read through the page
// cache in pieces; any read failure counts as a difference.
bool holds(int fd, std::string_view text);

// True when `name` in `folder` is a regular file (not a link to one) that
// holds exactly `text`. Nothing else at the name is opened.
bool file_holds(int folder, const std::string& name, std::string_view text);

// Makes a new or removed directory entry in `folder` durable. Some file
// systems cannot sync a directory (EINVAL), and a folder held only for its
// names (O_PATH, where it may not be read) cannot be synced by its user
// (EBADF): both leave the entry to the system's own flushing.
Outcome sync_folder(int folder);
// Makes the content and the size of the file on `fd` durable.
Outcome sync_data(int fd);

// What a new backup is made from and what it may never be.
struct BackupSource {
  Identity original;  // the file; its size is what is copied
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
  Identity sibling;  // the other profile file; a zero identity where none
};

// Opens the backup `name` in `folder` for writing as a plain file of its
// own. Whatever stands at the name is looked at before it is opened: a
// symbolic link, a file with other hard links, anything but a regular file,
// the file itself or its sibling is refused without being opened (a
// directory with EISDIR). A new backup is created with 0664 limited by
// `mode` and the umask, and given `owner`/`group` where the process may;
// `created` says which. `backup` receives its identity.
Outcome open_backup(int folder, const std::string& name,
                    const BackupSource& source, Descriptor& fd, bool& created,
                    Identity& backup);

// Copies `size` bytes from offset 0 of `from` to offset 0 of `to`, by the
// kernel where it can. Fails with kSourceShrank when `from` ends early.
Outcome copy_bytes(int from, int to, off_t size);

// Writes all of `data` at `offset`, in pieces, retrying short writes.
Outcome write_at(int fd, std::string_view data, off_t offset);

// Cuts or extends the file on `fd` to `size`.
Outcome truncate(int fd, off_t size);

// Room for `size` bytes of content in the file on `fd`, now `old_size`
// long, before any of its bytes change, so that a full disk or a file-size
// limit fails first. A file system that cannot reserve space is written as
// it is; the size limit is checked all the same.
Outcome reserve(int fd, off_t old_size, off_t size);

// Opens the existing file `name` in `folder` for writing, in place, without
// creating it and without ever blocking.
Outcome open_for_rewrite(int folder, const std::string& name, Descriptor& fd,
                         struct stat& status);

// Makes `mark` in `folder` a second name of `backup`, or, where the file
// system has no hard links, an empty file. Whatever stands at `mark`
// already is left alone, and the call fails.
Outcome make_mark(int folder, const std::string& backup,
                  const std::string& mark);

// Removes the name `name` from `folder`.
Outcome remove(int folder, const std::string& name);

// True when anything, a dangling link included, stands at `name` in
// `folder`.
bool exists_in(int folder, const std::string& name);

// Ctrl-C, a hang-up, a shutdown's SIGTERM and SIGQUIT wait while it lives,
// so that a file is never left half written by them: they take effect
// afterwards.
class DeferredSignals {
 public:
  DeferredSignals();
  DeferredSignals(const DeferredSignals&) = delete;
  DeferredSignals& operator=(const DeferredSignals&) = delete;
  ~DeferredSignals();

 private:
  sigset_t before_{};
};

}  // namespace gemmel::posix

#endif  // GEMMEL_PROFILE_POSIX_IO_H_
