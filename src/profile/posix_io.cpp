#include "profile/posix_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>

namespace gemmel::posix {
namespace {

constexpr mode_t kNewFileMode = 0664;
// Writes and copies go in pieces of this size: on the machines measured a
// large buffer is written several times faster in 1 MiB pieces than at once.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

Calls real_calls{
    .openat = [](int folder, const char* name, int flags,
                 mode_t mode) { return ::openat(folder, name, flags, mode); },
    .close = ::close,
    .fsync = ::fsync,
    .pwrite = ::pwrite,
    .ftruncate = ::ftruncate,
    .fallocate =
        [](int fd, int mode, off_t offset, off_t length) {
          return ::fallocate(fd, mode, offset, length);
        },
    .copy_file_range =
        [](int from, off_t* from_offset, int to, off_t* to_offset,
           std::size_t size, unsigned flags) {
          return ::copy_file_range(from, from_offset, to, to_offset, size,
                                   flags);
        },
    .flock = ::flock,
    .linkat = ::linkat,
};

Error failure(std::string_view operation) { return Error{operation, errno}; }

// A file refused by a check rather than by a failing call.
Error refusal(std::string_view operation) { return Error{operation, 0}; }

// The bounce buffer of the copies that the kernel will not do itself.
// Static: the program is single-threaded, and a copy must not need memory
// that may have run out.
std::array<char, kPieceBytes>& piece() {
  static std::array<char, kPieceBytes> buffer;
  return buffer;
}

// Makes a new directory entry durable. Some file systems cannot sync a
// directory (EINVAL), and a folder held only for its names (O_PATH, where
// it may not be read) cannot be synced by us (EBADF): both leave the entry
// to the system's own flushing.
Outcome sync_folder(int folder) {
  if (calls().fsync(folder) != 0 && errno != EINVAL && errno != EBADF) {
    return failure("fsync");
  }
  return std::nullopt;
}

Outcome pwrite_all(int fd, const char* data, std::size_t size, off_t offset) {
  while (size > 0) {
    const std::size_t chunk = std::min(size, kPieceBytes);
    const ssize_t put = calls().pwrite(fd, data, chunk, offset);
    if (put < 0) {
      if (errno == EINTR) continue;
      return failure("write");
    }
    if (put == 0) return Error{"write", EIO};
    data += put;
    size -= static_cast<std::size_t>(put);
    offset += put;
  }
  return std::nullopt;
}

// Copies `size` bytes from offset 0 of `from` to offset 0 of `to`, letting
// the kernel do it where it can (no copy through user space; some file
// systems share the blocks). Fails with kSourceShrank when `from` ends
// early.
Outcome copy_bytes(int from, int to, off_t size) {
  off_t in = 0;
  off_t out = 0;
  bool kernel = true;
  while (out < size) {
    const auto want =
        static_cast<std::size_t>(std::min<off_t>(size - out, off_t{1} << 30));
    ssize_t copied = 0;
    if (kernel) {
      copied = calls().copy_file_range(from, &in, to, &out, want, 0);
      if (copied < 0) {
        // Not between these two files, or not on this file system: copy
        // through user space from where the kernel stopped.
        if (errno == EXDEV || errno == EINVAL || errno == ENOSYS ||
            errno == EOPNOTSUPP || errno == EBADF) {
          kernel = false;
          continue;
        }
        if (errno == EINTR) continue;
        return failure("copy_file_range");
      }
    } else {
      copied = ::pread(from, piece().data(), std::min(want, kPieceBytes), in);
      if (copied < 0) {
        if (errno == EINTR) continue;
        return failure("read");
      }
      if (copied > 0) {
        if (auto error = pwrite_all(to, piece().data(),
                                    static_cast<std::size_t>(copied), out)) {
          return error;
        }
        in += copied;
        out += copied;
      }
    }
    if (copied == 0) return refusal(kSourceShrank);
  }
  return std::nullopt;
}

// Opens the backup for writing as a plain file of its own: created new, or
// an existing regular file with no other name. A symbolic link at the path
// is never followed, and a FIFO never blocks.
Outcome open_backup(int folder, const std::string& name,
                    const BackupSource& source, Descriptor& fd, bool& created) {
  const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  // The path may come and go between the two opens; a few tries settle it.
  for (int attempt = 0; attempt < 4; ++attempt) {
    fd.reset(calls().openat(folder, name.c_str(), flags | O_CREAT | O_EXCL,
                            kNewFileMode & source.mode));
    if (fd.get() >= 0) {
      created = true;
      // A root run in a user's folder leaves a backup that user owns; where
      // the process may not give it away the backup stays its own.
      [[maybe_unused]] const int given =
          ::fchown(fd.get(), source.owner, source.group);
      return std::nullopt;
    }
    if (errno != EEXIST) return failure("open");
    fd.reset(calls().openat(folder, name.c_str(), flags, 0));
    if (fd.get() >= 0) return std::nullopt;
    if (errno == ELOOP || errno == ENXIO) return refusal("open");
    if (errno != ENOENT) return failure("open");
  }
  return Error{"open", EEXIST};
}

}  // namespace

Calls& calls() { return real_calls; }

Descriptor::~Descriptor() {
  if (fd_ >= 0) calls().close(fd_);
}

void Descriptor::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) calls().close(fd_);
  fd_ = fd;
}

Outcome Descriptor::close() {
  const int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && calls().close(fd) != 0) return failure("close");
  return std::nullopt;
}

Identity Identity::of(const struct stat& status) {
  return Identity{status.st_dev, status.st_ino, status.st_size, status.st_mtim};
}

bool Identity::same_version(const Identity& other) const {
  return same_file(other) && size == other.size &&
         modified.tv_sec == other.modified.tv_sec &&
         modified.tv_nsec == other.modified.tv_nsec;
}

Outcome open_folder(const std::string& path, Descriptor& folder) {
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? "."
                           : slash == 0               ? "/"
                                                      : path.substr(0, slash);
  // Readable where it may be, so that it can be synced; otherwise held only
  // for its names.
  folder.reset(calls().openat(AT_FDCWD, name.c_str(),
                              O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC,
                              0));
  if (folder.get() < 0 && errno == EACCES) {
    folder.reset(calls().openat(AT_FDCWD, name.c_str(),
                                O_PATH | O_DIRECTORY | O_CLOEXEC, 0));
  }
  if (folder.get() < 0) return failure("open");
  return std::nullopt;
}

std::string name_in_folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Outcome open_regular_for_reading(int folder, const std::string& name,
                                 Descriptor& fd, struct stat& status) {
  fd.reset(calls().openat(folder, name.c_str(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
  if (fd.get() < 0) return failure("open");
  if (::fstat(fd.get(), &status) != 0) return failure("fstat");
  if (!S_ISREG(status.st_mode)) return refusal("open");
  return std::nullopt;
}

Outcome lock(int fd) {
  while (calls().flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS) break;
    return failure("flock");
  }
  return std::nullopt;
}

Outcome read_to_end(int fd, Text& text, std::size_t max_bytes,
                    std::size_t expected_bytes) {
  text.clear();
  // One byte beyond the expected size lets a file that grew since fstat be
  // noticed without a second allocation in the common case.
  std::size_t capacity = std::min(expected_bytes, max_bytes) + 1;
  for (;;) {
    if (text.size() == capacity) {
      capacity = std::min(capacity * 2, max_bytes + 1);
    }
    const std::size_t used = text.size();
    text.resize(capacity);
    const std::size_t room = std::min<std::size_t>(capacity - used, SSIZE_MAX);
    const ssize_t got = ::read(fd, text.data() + used, room);
    if (got < 0) {
      const Error error = failure("read");
      text.resize(used);
      if (error.code == EINTR) continue;
      return error;
    }
    text.resize(used + static_cast<std::size_t>(got));
    if (got == 0) return std::nullopt;
    if (text.size() > max_bytes) return Error{"read", EFBIG};
  }
}

bool holds(int fd, std::string_view text) {
  off_t offset = 0;
  for (;;) {
    const ssize_t got = ::pread(fd, piece().data(), kPieceBytes, offset);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    const auto count = static_cast<std::size_t>(got);
    const auto at = static_cast<std::size_t>(offset);
    if (count == 0) return at == text.size();
    if (count > text.size() - at ||
        std::memcmp(piece().data(), text.data() + at, count) != 0) {
      return false;
    }
    offset += got;
  }
}

std::optional<Identity> identity_of(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0) return std::nullopt;
  return Identity::of(status);
}

Outcome write_backup(int folder, const std::string& name,
                     const BackupSource& source,
                     std::span<const Identity> protected_files,
                     Identity& backup) {
  Descriptor fd;
  bool created = false;
  if (auto error = open_backup(folder, name, source, fd, created)) {
    return error;
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return failure("fstat");
  backup = Identity::of(status);
  if (!S_ISREG(status.st_mode) || status.st_nlink != 1 ||
      std::ranges::any_of(protected_files, [&](const Identity& file) {
        return file.same_file(backup);
      })) {
    return refusal("open");
  }
  // From here on the file at `name` is ours: created by this run, or
  // checked to be a plain file of its own.
  Outcome error;
  if (!created && calls().ftruncate(fd.get(), 0) != 0) {
    error = failure("ftruncate");
  }
  if (!error) error = copy_bytes(source.from, fd.get(), source.original.size);
  if (!error && calls().fsync(fd.get()) != 0) error = failure("fsync");
  if (!error) error = fd.close();
  if (error) {
    // No partial copy may pass for a backup. The name goes only while it
    // still names the file this run wrote; where it cannot go (a full
    // NTFS volume refuses even that), the copy is at least emptied.
    struct stat now {};
    if (::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
        Identity::of(now).same_file(backup) &&
        ::unlinkat(folder, name.c_str(), 0) != 0 && fd.get() >= 0) {
      static_cast<void>(calls().ftruncate(fd.get(), 0));
    }
    return error;
  }
  return sync_folder(folder);
}

DeferredSignals::DeferredSignals() {
  sigset_t deferred;
  sigemptyset(&deferred);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    sigaddset(&deferred, signal);
  }
  sigprocmask(SIG_BLOCK, &deferred, &before_);
}

DeferredSignals::~DeferredSignals() {
  sigprocmask(SIG_SETMASK, &before_, nullptr);
}

bool exists_in(int folder, const std::string& name) {
  struct stat status {};
  return ::fstatat(folder, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

Outcome open_for_rewrite(int folder, const std::string& name, Descriptor& fd,
                         struct stat& status) {
  fd.reset(calls().openat(folder, name.c_str(),
                          O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
  if (fd.get() < 0) return failure("open");
  if (::fstat(fd.get(), &status) != 0) return failure("fstat");
  return std::nullopt;
}

namespace {

// Room for `size` bytes of new content in the file on `fd`, now `old_size`
// long, before any of its bytes change. A file system that cannot reserve
// space is written as it is; the size limit is checked here all the same.
Outcome reserve(int fd, off_t old_size, off_t size) {
  if (size <= old_size) return std::nullopt;
  rlimit limit{};
  if (::getrlimit(RLIMIT_FSIZE, &limit) == 0 &&
      limit.rlim_cur != RLIM_INFINITY &&
      static_cast<rlim_t>(size) > limit.rlim_cur) {
    return Error{"fallocate", EFBIG};
  }
  int result = 0;
  while ((result = calls().fallocate(fd, 0, old_size, size - old_size)) != 0 &&
         errno == EINTR) {
  }
  if (result == 0 || errno == EOPNOTSUPP || errno == ENOSYS) {
    return std::nullopt;
  }
  const Error error = failure("fallocate");
  // A partly done reservation may have moved the end of the file.
  static_cast<void>(calls().ftruncate(fd, old_size));
  return error;
}

// Puts the original back from the backup after a failed rewrite. True when
// the file holds it again.
bool restore(int fd, const Rewrite& rewrite) {
  Descriptor from(calls().openat(rewrite.folder, rewrite.backup_name.c_str(),
                                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                                 0));
  struct stat status {};
  return from.get() >= 0 && ::fstat(from.get(), &status) == 0 &&
         Identity::of(status).same_file(rewrite.backup) &&
         status.st_size == rewrite.old_size &&
         !copy_bytes(from.get(), fd, rewrite.old_size) &&
         calls().ftruncate(fd, rewrite.old_size) == 0;
}

// Leaves the mark that a file is being rewritten from its backup: a second
// name of the backup, or, where the file system has no hard links, an empty
// file of that name. Whatever stands at that name already is left alone,
// and the mark fails.
Outcome mark(const Rewrite& how) {
  if (calls().linkat(how.folder, how.backup_name.c_str(), how.folder,
                     how.marker_name.c_str(), 0) == 0) {
    return std::nullopt;
  }
  Descriptor marker(
      calls().openat(how.folder, how.marker_name.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0));
  if (marker.get() < 0) return failure("open");
  return std::nullopt;
}

}  // namespace

Outcome rewrite(Descriptor& fd, std::string_view data, const Rewrite& how) {
  // Should the run be killed or the machine stop while the file is half
  // written, the mark stays, and the next run refuses to overwrite the
  // backup: it holds the original.
  if (auto error = mark(how)) {
    fd.reset();
    return error;
  }
  const auto size = static_cast<off_t>(data.size());
  Outcome error = reserve(fd.get(), how.old_size, size);
  bool whole = true;
  if (!error) {
    // Written over the old content from its start and cut to length only
    // at the end: the file is never empty or short while the new bytes go
    // in.
    error = pwrite_all(fd.get(), data.data(), data.size(), 0);
    if (!error && size < how.old_size &&
        calls().ftruncate(fd.get(), size) != 0) {
      error = failure("ftruncate");
    }
    if (!error) error = fd.close();
    whole = !error || restore(fd.get(), how);
  }
  fd.reset();
  if (whole) ::unlinkat(how.folder, how.marker_name.c_str(), 0);
  return error;
}

}  // namespace gemmel::posix
