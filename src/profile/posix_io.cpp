#include "profile/posix_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

namespace gemmel::posix {
namespace {

constexpr mode_t kNewFileMode = 0664;
// Writes and copies go in pieces of this size: on the machines measured a
// large buffer is written several times faster in 1 MiB pieces than at once.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

Calls real_calls{
    .open = [](const char* path, int flags,
               mode_t mode) { return ::open(path, flags, mode); },
    .close = ::close,
    .fsync = ::fsync,
    .write = ::write,
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

// The directory that holds `path`, as open() wants it.
std::string parent_directory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Makes a new directory entry durable. Some file systems cannot sync a
// directory (EINVAL); a directory we may not open for reading cannot be
// synced by us either. Both leave the entry to the system's own flushing.
Outcome sync_directory_of(const std::string& path) {
  Descriptor dir(calls().open(parent_directory(path).c_str(),
                              O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0));
  if (dir.get() < 0) return std::nullopt;
  if (calls().fsync(dir.get()) != 0 && errno != EINVAL) {
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
// systems share the blocks). Fails with operation "changed" when `from` ends
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
    if (copied == 0) return refusal("changed");
  }
  return std::nullopt;
}

// Opens the backup for writing as a plain file of its own: created new, or
// an existing regular file with no other name. A symbolic link at the path
// is never followed, and a FIFO never blocks.
Outcome open_backup(const std::string& path, const BackupSource& source,
                    Descriptor& fd, bool& created) {
  const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  // The path may come and go between the two opens; a few tries settle it.
  for (int attempt = 0; attempt < 4; ++attempt) {
    fd.reset(calls().open(path.c_str(), flags | O_CREAT | O_EXCL,
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
    fd.reset(calls().open(path.c_str(), flags, 0));
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

Outcome open_regular_for_reading(const std::string& path, Descriptor& fd,
                                 struct stat& status) {
  fd.reset(calls().open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0));
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

Outcome write_backup(const std::string& backup_path, const BackupSource& source,
                     std::span<const Identity> protected_files,
                     Identity& backup) {
  Descriptor fd;
  bool created = false;
  if (auto error = open_backup(backup_path, source, fd, created)) {
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
  // From here on the file at backup_path is ours: created by this run, or
  // checked to be a plain file of its own.
  Outcome error;
  if (!created && calls().ftruncate(fd.get(), 0) != 0) {
    error = failure("ftruncate");
  }
  if (!error) error = copy_bytes(source.from, fd.get(), source.original.size);
  if (!error && calls().fsync(fd.get()) != 0) error = failure("fsync");
  if (error) {
    // No partial copy may pass for a backup. The name goes only while it
    // still names the file this run wrote.
    struct stat now {};
    if (::lstat(backup_path.c_str(), &now) == 0 &&
        Identity::of(now).same_file(backup)) {
      ::unlink(backup_path.c_str());
    }
    return error;
  }
  if (auto closed = fd.close()) {
    ::unlink(backup_path.c_str());
    return closed;
  }
  return sync_directory_of(backup_path);
}

Outcome open_for_rewrite(const std::string& path, Descriptor& fd,
                         struct stat& status) {
  fd.reset(calls().open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC, 0));
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

// Puts the original back from the backup after a failed rewrite. Best
// effort: if it fails too the backup still holds the original.
void restore(int fd, off_t old_size, const std::string& backup_path,
             const Identity& backup) {
  Descriptor from(calls().open(
      backup_path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0));
  struct stat status {};
  if (from.get() < 0 || ::fstat(from.get(), &status) != 0 ||
      !Identity::of(status).same_file(backup) || status.st_size != old_size) {
    return;
  }
  if (!copy_bytes(from.get(), fd, old_size)) {
    static_cast<void>(calls().ftruncate(fd, old_size));
  }
}

}  // namespace

Outcome rewrite(Descriptor& fd, std::string_view data, off_t old_size,
                const std::string& backup_path, const Identity& backup) {
  const auto size = static_cast<off_t>(data.size());
  if (auto error = reserve(fd.get(), old_size, size)) {
    fd.reset();
    return error;
  }
  // Written over the old content from its start and cut to length only at
  // the end: the file is never empty or short while the new bytes go in.
  Outcome error = pwrite_all(fd.get(), data.data(), data.size(), 0);
  if (!error && size < old_size && calls().ftruncate(fd.get(), size) != 0) {
    error = failure("ftruncate");
  }
  if (error) {
    restore(fd.get(), old_size, backup_path, backup);
    fd.reset();
    return error;
  }
  return fd.close();
}

}  // namespace gemmel::posix
