#include "profile/posix_io.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace gemmel::posix {
namespace {

constexpr mode_t kNewFileMode = 0664;

Error failure(std::string_view operation) { return Error{operation, errno}; }

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
  Descriptor dir(::open(parent_directory(path).c_str(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return std::nullopt;
  if (::fsync(dir.get()) != 0 && errno != EINVAL) return failure("fsync");
  return std::nullopt;
}

// A backup that was emptied but cannot be made complete goes, so that no
// partial copy passes for a backup. Returns `error`.
Outcome discard_backup(const std::string& backup_path, Error error) {
  ::unlink(backup_path.c_str());
  return error;
}

}  // namespace

Descriptor::~Descriptor() {
  if (fd_ >= 0) ::close(fd_);
}

void Descriptor::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

int Descriptor::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

Outcome Descriptor::close() {
  const int fd = release();
  if (fd >= 0 && ::close(fd) != 0) return failure("close");
  return std::nullopt;
}

Outcome open_regular_for_reading(const std::string& path, Descriptor& fd,
                                 struct stat& status) {
  Descriptor opened(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (opened.get() < 0) return failure("open");
  if (::fstat(opened.get(), &status) != 0) return failure("fstat");
  if (!S_ISREG(status.st_mode)) return Error{"open", EINVAL};
  fd.reset(opened.release());
  return std::nullopt;
}

Outcome read_to_end(int fd, Text& text, std::size_t max_bytes,
                    std::size_t expected_bytes) {
  text.clear();
  // One byte beyond the expected size lets a file that grew since fstat be
  // noticed without a second allocation in the common case.
  std::size_t capacity = std::min(expected_bytes, max_bytes) + 1;
  for (;;) {
    if (text.size() == capacity)
      capacity = std::min(capacity * 2, max_bytes + 1);
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

Outcome write_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const std::size_t chunk = std::min<std::size_t>(size, SSIZE_MAX);
    const ssize_t put = ::write(fd, data, chunk);
    if (put < 0) {
      if (errno == EINTR) continue;
      return failure("write");
    }
    if (put == 0) return Error{"write", EIO};
    data += put;
    size -= static_cast<std::size_t>(put);
  }
  return std::nullopt;
}

Outcome begin_backup(const std::string& backup_path, std::string_view data,
                     const struct stat& original, Descriptor& fd) {
  const mode_t mode = kNewFileMode & original.st_mode & 0777;
  // No O_TRUNC: the file is emptied only once it is known to be a regular
  // file other than the original. O_NONBLOCK keeps a FIFO from hanging us.
  fd.reset(::open(backup_path.c_str(),
                  O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, mode));
  if (fd.get() < 0) return failure("open");
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) return failure("fstat");
  if (!S_ISREG(status.st_mode)) return Error{"open", EINVAL};
  if (status.st_dev == original.st_dev && status.st_ino == original.st_ino) {
    return Error{"open", EEXIST};
  }
  // From here on the file at backup_path is ours to empty.
  Outcome error;
  if (::ftruncate(fd.get(), 0) != 0) {
    error = failure("ftruncate");
  } else {
    error = write_all(fd.get(), data.data(), data.size());
  }
  if (error) return discard_backup(backup_path, *error);
  // The disk works on it while the text is converted; finish_backup waits.
  // Only a hint: finish_backup's fsync is what counts.
  ::sync_file_range(fd.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
  return std::nullopt;
}

Outcome finish_backup(const std::string& backup_path, Descriptor& fd) {
  Outcome error;
  if (::fsync(fd.get()) != 0) {
    error = failure("fsync");
  } else {
    error = fd.close();
  }
  if (error) return discard_backup(backup_path, *error);
  return sync_directory_of(backup_path);
}

Outcome rewrite(const std::string& path, std::string_view data) {
  Descriptor fd(::open(path.c_str(),
                       O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC,
                       kNewFileMode));
  if (fd.get() < 0) return failure("open");
  if (auto error = write_all(fd.get(), data.data(), data.size())) return error;
  return fd.close();
}

}  // namespace gemmel::posix
