#include "profile/safeguards.h"

#include <unistd.h>

#include <cerrno>

namespace gemmel {

using posix::Identity;

bool plain_file_of_its_own(const struct stat& found) {
  return S_ISREG(found.st_mode) && found.st_nlink == 1;
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

Original locate_original(int folder, const struct stat& mark,
                         const std::string& backup_name) {
  struct stat backup {};
  const bool backed_up =
      posix::look_up(folder, backup_name, false, backup).ok() &&
      S_ISREG(backup.st_mode);
  const bool own_copy = S_ISREG(mark.st_mode) && mark.st_size > 0;
  if (backed_up &&
      (!own_copy || Identity::of(mark).same_file(Identity::of(backup)))) {
    return Original::kInBackup;
  }
  return own_copy ? Original::kInMark : Original::kUnknown;
}

Status sync_names(int folder, bool readable, int file) {
  const Status synced =
      readable ? posix::sync_folder(folder) : posix::sync_file_system(file);
  if (synced.code() == EINVAL) return {};
  return synced;
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

}  // namespace gemmel
