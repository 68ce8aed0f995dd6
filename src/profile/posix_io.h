// The few POSIX calls gemmel needs, each made once and reported as a Status
// that names the operation and keeps errno. What a result means for a
// profile file (which name may be replaced or removed, which failure may be
// passed over) is decided a layer up. Nothing here prints.
#ifndef GEMMEL_PROFILE_POSIX_IO_H_
#define GEMMEL_PROFILE_POSIX_IO_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>

#include "profile/buffer.h"
#include "profile/status.h"

namespace gemmel::posix {

// The calls that look up, change or sync files, routed through one table so
// that tests can record them, make one fail, or keep track of what a power
// cut would leave. Everything else is called directly.
struct Calls {
  int (*openat)(int folder, const char* name, int flags, mode_t mode);
  int (*close)(int fd);
  int (*fstatat)(int folder, const char* name, struct stat* status, int flags);
  int (*fsync)(int fd);
  int (*fdatasync)(int fd);
  int (*syncfs)(int fd);
  ssize_t (*pwrite)(int fd, const void* data, std::size_t size, off_t offset);
  int (*flock)(int fd, int operation);
  int (*linkat)(int from_folder, const char* from, int to_folder,
                const char* to, int flags);
  int (*renameat2)(int from_folder, const char* from, int to_folder,
                   const char* to, unsigned flags);
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
  ~Descriptor() { reset(); }

  int get() const { return fd_; }
  // Takes ownership of `fd`, closing the one held before.
  void reset(int fd = -1);
  // Closes now and reports the result; never retried, as POSIX advises.
  Status close();

 private:
  int fd_ = -1;
};

// Whether two statuses are of one file (device and inode), and of one
// version of it: the same size and times of the last change of content and
// of status (setting the modification time back changes the status time).
// Only meaningful while a descriptor holds the file: a freed inode's number
// is given to the next new file.
bool same_file(const struct stat& a, const struct stat& b);
bool same_version(const struct stat& a, const struct stat& b);

// Opens the folder that holds `path`, or the folder `name` in `folder`, so
// that the names in it are reached through it whatever its path leads to
// later: for reading where it may be, so that it can be synced, or else (a
// folder its user may enter but not list) only for its names, `readable`
// false.
Status open_folder(const std::string& path, Descriptor& fd, bool& readable);
Status open_subfolder(int folder, const std::string& name, Descriptor& fd,
                      bool& readable);
// The last component of `path`: the name of the file in its folder.
std::string name_in_folder(const std::string& path);

// The names in `folder`. look_up follows a final link only when `follow`,
// and fails with ENOENT where nothing stands at the name. The opening ones
// never follow a final link nor block (a FIFO in its place does not hang):
// open_regular_for_reading succeeds only for a regular file; hold neither
// reads nor writes (a device is not opened), but keeps the inode taken;
// create_new makes a new file, with `mode` before the umask, for writing.
Status look_up(int folder, const std::string& name, bool follow,
               struct stat& status);
Status read_link(int folder, const std::string& name, std::string& target);
Status open_regular_for_reading(int folder, const std::string& name,
                                bool follow, Descriptor& fd,
                                struct stat& status);
Status hold(int folder, const std::string& name, Descriptor& fd,
            struct stat& status);
Status create_new(int folder, const std::string& name, mode_t mode,
                  Descriptor& fd);
Status link(int from_folder, const std::string& from, int to_folder,
            const std::string& to);
// A rename that may not replace fails with EEXIST where `to` stands; where
// the file system cannot refuse to replace, it links and unlinks, or where
// it has no hard links looks `to` up first.
Status rename(int folder, const std::string& from, const std::string& to,
              bool replace = true);
Status remove(int folder, const std::string& name);

// Takes an exclusive advisory lock on `fd` without waiting. Fails with
// EWOULDBLOCK while another process holds one.
Status lock(int fd);

// Reads from the current offset to the end of the file into `text`, which is
// replaced. Fails with EFBIG once more than `max_bytes` would be read;
// `expected_bytes` is only a hint for the first allocation.
Status read_to_end(int fd, Text& text, std::size_t max_bytes,
                   std::size_t expected_bytes);
// True when the file on `fd` holds exactly `text`, of its size; a failed
// read differs.
bool holds(int fd, std::string_view text);
// Copies `size` bytes from offset 0 of `from` to offset 0 of `to`, or gives
// Status::file_changed() where `from` ends early.
Status copy_bytes(int from, int to, off_t size);
// Writes all of `data` at `offset`, in pieces, retrying short writes.
Status write_at(int fd, std::string_view data, off_t offset);

// Makes durable the content and size of the file on `fd`; the names in
// `folder`; everything on the file system of `fd`.
Status sync_data(int fd);
Status sync_folder(int folder);
Status sync_file_system(int fd);

}  // namespace gemmel::posix

#endif  // GEMMEL_PROFILE_POSIX_IO_H_
