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
#include <span>
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
// so that tests can record them or make one fail. Everything else is called
// directly.
struct Calls {
  int (*openat)(int folder, const char* name, int flags, mode_t mode);
  int (*close)(int fd);
  int (*fsync)(int fd);
  ssize_t (*pwrite)(int fd, const void* data, std::size_t size, off_t offset);
  int (*ftruncate)(int fd, off_t length);
  int (*fallocate)(int fd, int mode, off_t offset, off_t length);
  ssize_t (*copy_file_range)(int from, off_t* from_offset, int to,
                             off_t* to_offset, std::size_t size,
                             unsigned flags);
  int (*flock)(int fd, int operation);
  int (*linkat)(int from_folder, const char* from, int to_folder,
                const char* to, int flags);
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

// What tells one version of a file from another: the file (device, inode)
// and its size and modification time.
struct Identity {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  timespec modified{};

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

// The identity of whatever `path` names now, following links.
std::optional<Identity> identity_of(const std::string& path);

// Makes `name` in `folder` an exact, durable copy of the first
// `original.size` bytes of the file read on `from`: the copy and the folder
// entry are on disk when it returns. `name` must be a plain file of its own:
// a symbolic link, a file with other hard links, anything but a regular
// file, or any of `protected_files` is refused without being touched. A new
// backup gets 0664 limited by `mode` and the umask, and `owner`/`group`
// where the process may set them; an existing one keeps its mode, owner and
// inode. A backup that cannot be completed is removed. Fails with operation
// kSourceShrank when the file is shorter than `original.size`. `backup`
// receives the backup's identity.
struct BackupSource {
  int from = -1;
  Identity original;
  mode_t mode = 0;
  uid_t owner = 0;
  gid_t group = 0;
};
Outcome write_backup(int folder, const std::string& name,
                     const BackupSource& source,
                     std::span<const Identity> protected_files,
                     Identity& backup);

// Opens the existing file `name` in `folder` for writing, in place, without
// creating it and without ever blocking.
Outcome open_for_rewrite(int folder, const std::string& name, Descriptor& fd,
                         struct stat& status);

// Ctrl-C, a hang-up or a shutdown's SIGTERM wait while it lives, so that a
// file is never left half written by them: they take effect afterwards.
class DeferredSignals {
 public:
  DeferredSignals();
  DeferredSignals(const DeferredSignals&) = delete;
  DeferredSignals& operator=(const DeferredSignals&) = delete;
  ~DeferredSignals();

 private:
  sigset_t before_{};
};

// True when anything, a dangling link included, stands at `name` in
// `folder`.
bool exists_in(int folder, const std::string& name);

// How a file is rewritten: where its durable backup is, and the name of the
// mark that stands beside it while the file is half written.
struct Rewrite {
  int folder = -1;
  std::string backup_name;
  std::string marker_name;
  Identity backup;
  off_t old_size = 0;
};

// Rewrites the file open on `fd` with `data`, in place: mode, owner, inode
// and links stay. The room for a longer content is reserved first, so that a
// full disk or a file-size limit fails before any byte changes. Until the
// file is whole again `marker_name` stands beside the backup (a second name
// of it, or an empty file where there are no hard links); nothing is
// written when it cannot be made. Where a write fails, the original is
// copied back from the backup, and the marker stays only if that fails too.
// The descriptor is closed either way.
Outcome rewrite(Descriptor& fd, std::string_view data, const Rewrite& how);

}  // namespace gemmel::posix

#endif  // GEMMEL_PROFILE_POSIX_IO_H_
