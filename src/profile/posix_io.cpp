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
    .fdatasync = ::fdatasync,
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
    .unlinkat = ::unlinkat,
};

Error failure(std::string_view operation) { return Error{operation, errno}; }

// A file refused by a check rather than by a failing call.
Error refusal(std::string_view operation) { return Error{operation, 0}; }

// The bounce buffer of the copies that the kernel will not do itself, and of
// the reads that compare a file. Static: the program is single-threaded, and
// a copy must not need memory that may have run out.
std::array<char, kPieceBytes>& piece() {
  static std::array<char, kPieceBytes> buffer;
  return buffer;
}

// Reads `size` bytes at `offset` into the piece buffer; fewer at the end of
// the file, -1 on failure.
ssize_t read_piece(int fd, off_t offset, std::size_t size) {
  for (;;) {
    const ssize_t got = ::pread(fd, piece().data(), size, offset);
    if (got >= 0 || errno != EINTR) return got;
  }
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
  return Identity{status.st_dev, status.st_ino, status.st_size, status.st_mtim,
                  status.st_ctim};
}

bool Identity::same_version(const Identity& other) const {
  const auto same = [](const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
  };
  return same_file(other) && size == other.size &&
         same(modified, other.modified) && same(changed, other.changed);
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

std::optional<struct stat> status_in(int folder, const std::string& name,
                                     bool follow) {
  struct stat status {};
  if (name.empty() || ::fstatat(folder, name.c_str(), &status,
                                follow ? 0 : AT_SYMLINK_NOFOLLOW) != 0) {
    return std::nullopt;
  }
  return status;
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
  for (std::size_t at = 0;;) {
    const ssize_t got = read_piece(fd, static_cast<off_t>(at), kPieceBytes);
    if (got < 0) return false;
    const auto count = static_cast<std::size_t>(got);
    if (count == 0) return at == text.size();
    if (count > text.size() - at ||
        std::memcmp(piece().data(), text.data() + at, count) != 0) {
      return false;
    }
    at += count;
  }
}

bool file_holds(int folder, const std::string& name, std::string_view text) {
  const std::optional<struct stat> status = status_in(folder, name, false);
  if (!status || !S_ISREG(status->st_mode) ||
      static_cast<std::size_t>(status->st_size) != text.size()) {
    return false;
  }
  const Descriptor fd(calls().openat(
      folder, name.c_str(),
      O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
  struct stat opened {};
  return fd.get() >= 0 && ::fstat(fd.get(), &opened) == 0 &&
         S_ISREG(opened.st_mode) && holds(fd.get(), text);
}

Outcome sync_folder(int folder) {
  if (calls().fsync(folder) != 0 && errno != EINVAL && errno != EBADF) {
    return failure("fsync");
  }
  return std::nullopt;
}

Outcome sync_data(int fd) {
  if (calls().fdatasync(fd) != 0) return failure("fdatasync");
  return std::nullopt;
}

Outcome open_backup(int folder, const std::string& name,
                    const BackupSource& source, Descriptor& fd, bool& created,
                    Identity& backup) {
  const int flags = O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  // Only a plain file of its own, and none of the two profile files, may be
  // overwritten; whatever else stands there is never opened.
  const auto plain = [&](const struct stat& status) {
    const Identity found = Identity::of(status);
    return S_ISREG(status.st_mode) && status.st_nlink == 1 &&
           !found.same_file(source.original) &&
           !found.same_file(source.sibling);
  };
  // The path may come and go between the look and the open; a few tries
  // settle it.
  for (int attempt = 0; attempt < 4; ++attempt) {
    created = false;
    if (const auto status = status_in(folder, name, false)) {
      if (S_ISDIR(status->st_mode)) return Error{"open", EISDIR};
      if (!plain(*status)) return refusal("open");
      fd.reset(calls().openat(folder, name.c_str(), flags, 0));
      if (fd.get() < 0 && errno == ENOENT) continue;
    } else {
      fd.reset(calls().openat(folder, name.c_str(), flags | O_CREAT | O_EXCL,
                              kNewFileMode & source.mode));
      if (fd.get() < 0 && errno == EEXIST) continue;
      created = fd.get() >= 0;
    }
    if (fd.get() < 0) return failure("open");
    // What was opened must be what was looked at: a plain file of its own.
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return failure("fstat");
    backup = Identity::of(status);
    if (!plain(status)) {
      fd.reset();
      return refusal("open");
    }
    if (created) {
      // A root run in a user's folder leaves a backup that user owns; where
      // the process may not give it away the backup stays its own.
      [[maybe_unused]] const int given =
          ::fchown(fd.get(), source.owner, source.group);
    }
    return std::nullopt;
  }
  return Error{"open", EEXIST};
}

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
      copied = read_piece(from, in, std::min(want, kPieceBytes));
      if (copied < 0) return failure("read");
      if (copied > 0) {
        if (auto error =
                write_at(to,
                         std::string_view(piece().data(),
                                          static_cast<std::size_t>(copied)),
                         out)) {
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

Outcome write_at(int fd, std::string_view data, off_t offset) {
  while (!data.empty()) {
    const std::size_t chunk = std::min(data.size(), kPieceBytes);
    const ssize_t put = calls().pwrite(fd, data.data(), chunk, offset);
    if (put < 0) {
      if (errno == EINTR) continue;
      return failure("write");
    }
    if (put == 0) return Error{"write", EIO};
    data.remove_prefix(static_cast<std::size_t>(put));
    offset += put;
  }
  return std::nullopt;
}

Outcome truncate(int fd, off_t size) {
  if (calls().ftruncate(fd, size) != 0) return failure("ftruncate");
  return std::nullopt;
}

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

Outcome open_for_rewrite(int folder, const std::string& name, Descriptor& fd,
                         struct stat& status) {
  fd.reset(calls().openat(folder, name.c_str(),
                          O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0));
  if (fd.get() < 0) return failure("open");
  if (::fstat(fd.get(), &status) != 0) return failure("fstat");
  return std::nullopt;
}

Outcome make_mark(int folder, const std::string& backup,
                  const std::string& mark) {
  if (calls().linkat(folder, backup.c_str(), folder, mark.c_str(), 0) == 0) {
    return std::nullopt;
  }
  Descriptor empty(calls().openat(
      folder, mark.c_str(),
      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0));
  if (empty.get() < 0) return failure("open");
  return empty.close();
}

Outcome remove(int folder, const std::string& name) {
  if (calls().unlinkat(folder, name.c_str(), 0) != 0) return failure("unlink");
  return std::nullopt;
}

bool exists_in(int folder, const std::string& name) {
  return status_in(folder, name, false).has_value();
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

}  // namespace gemmel::posix
