#include "profile/safeguards.h"

#include <unistd.h>

#include <cerrno>

namespace gemmel {

bool plain_file_of_its_own(const struct stat& found) {
  return S_ISREG(found.st_mode) && found.st_nlink == 1;
}

Status give_original(int fd, const struct stat& made,
                     const struct stat& original) {
  // The owner first: giving a file away clears its set-user-ID bits.
  if ((made.st_uid != original.st_uid || made.st_gid != original.st_gid) &&
      ::fchown(fd, original.st_uid, original.st_gid) != 0) {
    return Status::failed("fchown", errno);
  }
  if (::fchmod(fd, original.st_mode & 07777) != 0) {
    return Status::failed("fchmod", errno);
  }
  return {};
}

mode_t backup_mode(mode_t file_mode, mode_t old_mode) {
  constexpr mode_t kFirstBackup = 0664;
  return (old_mode != 0 ? old_mode : kFirstBackup) & file_mode & 0777;
}

void give_backup(int fd, uid_t owner, gid_t group, mode_t mode, bool exact) {
  // A root run in a user's folder leaves a backup that user owns; where the
  // process may not give it away, the group alone may still be its own.
  if (::fchown(fd, owner, group) != 0) {
    [[maybe_unused]] const int group_only =
        ::fchown(fd, static_cast<uid_t>(-1), group);
  }
  if (exact) [[maybe_unused]]
    const int moded = ::fchmod(fd, mode);
}

bool file_holds(int folder, const std::string& name, std::string_view text) {
  posix::Descriptor fd;
  struct stat status {};
  return posix::open_regular_for_reading(folder, name, false, fd, status)
             .ok() &&
         static_cast<std::size_t>(status.st_size) == text.size() &&
         posix::holds(fd.get(), text);
}

Status sync_names(int folder, bool readable, int file) {
  const Status synced =
      readable ? posix::sync_folder(folder) : posix::sync_file_system(file);
  if (synced.code() == EINVAL) return {};
  return synced;
}

}  // namespace gemmel
