#include "profile/posix_io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstring>

namespace gemmel::posix {
namespace {

// Writes and copies go in pieces of this size: on the machines measured a
// large buffer is written several times faster in 1 MiB pieces than at once.
constexpr std::size_t kPieceBytes = std::size_t{1} << 20;

Calls real_calls{
    .openat = [](int folder, const char* name, int flags,
                 mode_t mode) { return ::openat(folder, name, flags, mode); },
    .close = ::close,
    .fstatat = ::fstatat,
    .fsync = ::fsync,
    .fdatasync = ::fdatasync,
    .syncfs = ::syncfs,
    .pwrite = ::pwrite,
    .flock = ::flock,
    .linkat = ::linkat,
    .renameat2 = ::renameat2,
    .unlinkat = ::unlinkat,
};

Status failure(std::string_view operation) {
  return Status::failed(operation, errno);
}

// 0 as a Status: the call went through.
Status checked(int result, std::string_view operation) {
  return result == 0 ? Status() : failure(operation);
}

// The buffer of the copies and of the reads that compare a file. Static: the
// program is single-threaded, and a copy must not need memory that may have run
// out.
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

// Whether `fd` was opened, and where `status`, its status.
Status opened(const Descriptor& fd, struct stat* status = nullptr) {
  if (fd.get() < 0) return failure("open");
  if (status != nullptr && ::fstat(fd.get(), status) != 0) {
    return failure("fstat");
  }
  return {};
}

}  // namespace

Calls& calls() { return real_calls; }

void Descriptor::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) calls().close(fd_);
  fd_ = fd;
}

Status Descriptor::close() {
  const int fd = fd_;
  fd_ = -1;
  if (fd >= 0 && calls().close(fd) != 0) return failure("close");
  return {};
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool same_version(const struct stat& a, const struct stat& b) {
  const auto same = [](const timespec& x, const timespec& y) {
    return x.tv_sec == y.tv_sec && x.tv_nsec == y.tv_nsec;
  };
  return same_file(a, b) && a.st_size == b.st_size &&
         same(a.st_mtim, b.st_mtim) && same(a.st_ctim, b.st_ctim);
}

Status open_subfolder(int folder, const std::string& name, Descriptor& fd,
                      bool& readable) {
  // `fd` may hold `folder` itself: it is replaced only once both tries are
  // made.
  int made = calls().openat(folder, name.c_str(),
                            O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC, 0);
  readable = made >= 0;
  if (!readable && errno == EACCES) {
    made = calls().openat(folder, name.c_str(),
                          O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  }
  const Status status = made < 0 ? failure("open") : Status();
  fd.reset(made);
  return status;
}

Status open_folder(const std::string& path, Descriptor& fd, bool& readable) {
  const std::size_t slash = path.rfind('/');
  return open_subfolder(AT_FDCWD,
                        slash == std::string::npos ? "."
                        : slash == 0               ? "/"
                                                   : path.substr(0, slash),
                        fd, readable);
}

std::string name_in_folder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Status look_up(int folder, const std::string& name, bool follow,
               struct stat& status) {
  if (name.empty()) return Status::failed("stat", ENOENT);
  return checked(calls().fstatat(folder, name.c_str(), &status,
                                 follow ? 0 : AT_SYMLINK_NOFOLLOW),
                 "stat");
}

Status open_regular_for_reading(int folder, const std::string& name,
                                bool follow, Descriptor& fd,
                                struct stat& status) {
  fd.reset(calls().openat(
      folder, name.c_str(),
      O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (follow ? 0 : O_NOFOLLOW),
      0));
  const Status made = opened(fd, &status);
  if (made.ok() && !S_ISREG(status.st_mode)) return Status::failed("open", 0);
  return made;
}

Status hold(int folder, const std::string& name, Descriptor& fd,
            struct stat& status) {
  fd.reset(
      calls().openat(folder, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC, 0));
  return opened(fd, &status);
}

Status read_link(int folder, const std::string& name, std::string& target) {
  std::array<char, PATH_MAX> buffer{};
  const ssize_t size =
      ::readlinkat(folder, name.c_str(), buffer.data(), buffer.size());
  if (size < 0) return failure("readlink");
  if (static_cast<std::size_t>(size) == buffer.size()) {
    return Status::failed("readlink", ENAMETOOLONG);
  }
  target.assign(buffer.data(), static_cast<std::size_t>(size));
  return {};
}

Status create_new(int folder, const std::string& name, mode_t mode,
                  Descriptor& fd) {
  fd.reset(calls().openat(
      folder, name.c_str(),
      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, mode));
  return opened(fd);
}

Status lock(int fd) {
  while (calls().flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EINTR) return failure("flock");
  }
  return {};
}

Status read_to_end(int fd, Text& text, std::size_t max_bytes,
                   std::size_t expected_bytes) {
  // One byte beyond the expected size lets a file that grew since fstat be
  // noticed without a second allocation in the common case.
  std::size_t used = 0;
  for (std::size_t size = std::min(expected_bytes, max_bytes) + 1;;
       size = std::min(size * 2, max_bytes + 1)) {
    text.resize(size);
    while (used < size) {
      const ssize_t got = ::read(fd, text.data() + used,
                                 std::min<std::size_t>(size - used, SSIZE_MAX));
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        const Status read = got < 0 ? failure("read") : Status();
        text.resize(used);
        return read;
      }
      used += static_cast<std::size_t>(got);
    }
    if (used > max_bytes) return Status::failed("read", EFBIG);
  }
}

bool holds(int fd, std::string_view text) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 ||
      static_cast<std::size_t>(status.st_size) != text.size()) {
    return false;
  }
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

Status copy_bytes(int from, int to, off_t size) {
  for (off_t at = 0; at < size;) {
    const ssize_t got = read_piece(
        from, at, std::min(static_cast<std::size_t>(size - at), kPieceBytes));
    if (got < 0) return failure("read");
    if (got == 0) return Status::file_changed();
    const Status put = write_at(
        to, std::string_view(piece().data(), static_cast<std::size_t>(got)),
        at);
    if (!put.ok()) return put;
    at += got;
  }
  return {};
}

Status write_at(int fd, std::string_view data, off_t offset) {
  while (!data.empty()) {
    const std::size_t chunk = std::min(data.size(), kPieceBytes);
    const ssize_t put = calls().pwrite(fd, data.data(), chunk, offset);
    if (put < 0) {
      if (errno == EINTR) continue;
      return failure("write");
    }
    if (put == 0) return Status::failed("write", EIO);
    data.remove_prefix(static_cast<std::size_t>(put));
    offset += put;
  }
  return {};
}

Status sync_data(int fd) { return checked(calls().fdatasync(fd), "fdatasync"); }
Status sync_folder(int folder) {
  return checked(calls().fsync(folder), "fsync");
}
Status sync_file_system(int fd) {
  return checked(calls().syncfs(fd), "syncfs");
}

Status link(int from_folder, const std::string& from, int to_folder,
            const std::string& to) {
  return checked(
      calls().linkat(from_folder, from.c_str(), to_folder, to.c_str(), 0),
      "link");
}

Status rename(int folder, const std::string& from, const std::string& to,
              bool replace) {
  const unsigned flags = replace ? 0 : RENAME_NOREPLACE;
  if (calls().renameat2(folder, from.c_str(), folder, to.c_str(), flags) == 0) {
    return {};
  }
  if (replace || errno != EINVAL) return failure("rename");
  // A file system that cannot refuse to replace (FUSE ones among them): a
  // new name is refused as atomically where the disk has hard links, and
  // `to` is looked up first where it has none.
  if (calls().linkat(folder, from.c_str(), folder, to.c_str(), 0) == 0) {
    return remove(folder, from);
  }
  if (errno == EEXIST) return Status::failed("rename", EEXIST);
  struct stat status {};
  const Status looked = look_up(folder, to, false, status);
  if (looked.code() != ENOENT) {
    return looked.ok() ? Status::failed("rename", EEXIST) : looked;
  }
  return rename(folder, from, to, true);
}

Status remove(int folder, const std::string& name) {
  return checked(calls().unlinkat(folder, name.c_str(), 0), "unlink");
}

}  // namespace gemmel::posix
