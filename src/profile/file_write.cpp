// How a profile file is written back: the new content under a name of its
// own, synced, then renamed over the file, with the original itself kept as
// the backup. At every moment, a kill or a power cut included, the file's
// name holds its original or its whole conversion, and the backup's name an
// older backup or the original, whole.
//
// Between two syncs a file system may put data blocks and folder entries on
// disk in any order, so every step that a later one relies on is on disk
// before that step begins. store() runs the phases in this order:
//
//   write_new_file       "-nuovo", made exclusively, given the file's mode
//                        and owner, written, synced and held;
//   check_still_as_read  the file is still the one read, unchanged;
//   back_up              a second name of the original ("-bak-parziale"),
//                        or a synced copy where the disk has no hard links,
//                        renamed over "-bak", and the folder synced: the
//                        backup holds the original before the file changes;
//   put_in_place         a last look that the name still names the file as
//                        read, the new file renamed over it, and its folder
//                        synced.
//
// A run cut off leaves at most "-nuovo" or "-bak-parziale", which the next
// run removes. A disk that renames over a name in steps (ntfs-3g, FAT) can
// lose the file's name in the last rename; the synced "-nuovo" and the
// backup then let the next run finish it (finish_rename).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "profile/file.h"
#include "profile/posix_io.h"
#include "profile/safeguards.h"
#include "profile/status.h"

namespace gemmel {

using posix::Identity;

bool File::write() {
  if (state_ != FileState::kReady) return false;
  state_ = store();
  if (state_ != FileState::kWritten)
    remove_own(target_folder(), new_name(), new_file_);
  new_file_.reset();
  partial_.reset();
  input_.reset();  // gives up the lock
  return state_ == FileState::kWritten || state_ == FileState::kUnchanged;
}

Status File::sync_names(int folder, bool readable,
                        const std::string& name) const {
  if (readable) return gemmel::sync_names(folder, true, -1);
  // A folder held only for its names is synced through a file in it.
  posix::Descriptor file;
  struct stat status {};
  const Status opened =
      posix::open_regular_for_reading(folder, name, false, file, status);
  if (!opened.ok()) return opened;
  return gemmel::sync_names(folder, false, file.get());
}

std::string File::same_file_as(const struct stat& found,
                               const std::string& except) const {
  // The profile files are looked up through a final link, as they are
  // read; the names gemmel makes are never links of its own.
  struct Other {
    std::string name;
    bool follow;
  };
  std::vector<Other> others = {{name_, true}, {mark_name(), false}};
  if (!sibling_.empty()) {
    const std::string sibling_backup = sibling_ + kBackupSuffix;
    others.push_back({sibling_, true});
    others.push_back({sibling_backup, false});
    others.push_back({sibling_backup + kMarkSuffix, false});
  }
  for (const Other& other : others) {
    struct stat status {};
    if (other.name != except &&
        posix::look_up(folder_, other.name, other.follow, status).ok() &&
        Identity::of(status).same_file(Identity::of(found))) {
      return other.name;
    }
  }
  return {};
}

void File::remove_own(int folder, const std::string& name,
                      const posix::Descriptor& held) {
  struct stat own {};
  struct stat now {};
  if (held.get() >= 0 && ::fstat(held.get(), &own) == 0 &&
      posix::look_up(folder, name, false, now).ok() &&
      Identity::of(now).same_file(Identity::of(own))) {
    static_cast<void>(posix::remove(folder, name));
  }
}

// ---------------------------------------------------------------------------
// A run cut off inside its last rename.

std::optional<Text> File::read_backup_of_cut_off_rename() const {
  struct stat status {};
  if (!absent_ ||
      !posix::look_up(target_folder(), new_name(), false, status).ok() ||
      !plain_file_of_its_own(status)) {
    return std::nullopt;
  }
  posix::Descriptor fd;
  Text backup;
  if (!posix::open_regular_for_reading(folder_, backup_name(), false, fd,
                                       status)
           .ok() ||
      status.st_size > kMaxLength ||
      !posix::read_to_end(fd.get(), backup, kMaxLength,
                          static_cast<std::size_t>(status.st_size))
           .ok()) {
    return std::nullopt;
  }
  return backup;
}

bool File::finish_rename(const Text& made) {
  struct stat held {};
  struct stat now {};
  if (!absent_ ||
      !posix::open_regular_for_reading(target_folder(), new_name(), false,
                                       new_file_, held)
           .ok() ||
      !plain_file_of_its_own(held) ||
      static_cast<std::size_t>(held.st_size) != made.size() ||
      !posix::holds(new_file_.get(), made) ||
      !posix::look_up(target_folder(), new_name(), false, now).ok() ||
      !Identity::of(now).same_version(Identity::of(held)) ||
      !posix::rename(target_folder(), new_name(), target_name_, false).ok()) {
    new_file_.reset();
    return false;
  }
  const Status synced =
      sync_names(target_folder(), target_readable_, target_name_);
  new_file_.reset();
  state_ =
      synced.ok() ? FileState::kWritten : fail(FileState::kNotDurable, synced);
  return true;
}

// ---------------------------------------------------------------------------
// The write order.

FileState File::store() {
  if (!differs()) return FileState::kUnchanged;
  FileState phase = write_new_file();
  if (phase == FileState::kReady) phase = check_still_as_read();
  if (phase == FileState::kReady) phase = back_up();
  if (phase == FileState::kReady) phase = put_in_place();
  return phase;
}

FileState File::write_new_file() {
  // A file its user may not write is left alone, as a rewrite in place
  // would leave it.
  if (::faccessat(target_folder(), target_name_.c_str(), W_OK, AT_EACCESS) !=
      0) {
    return errno == ENOENT
               ? FileState::kChanged
               : fail(FileState::kNotWritten, Status::failed("open", errno));
  }
  posix::Descriptor output;
  Status made = posix::create_new(target_folder(), new_name(), 0600, output);
  // Whatever stands at the name was no plain file of its own when the file
  // was read, and is left alone.
  if (made.code() == EEXIST) {
    return fail(FileState::kNotWritten, made, target_path_ + kNewSuffix);
  }
  struct stat created {};
  struct stat held {};
  if (made.ok())
    made = posix::hold(target_folder(), new_name(), new_file_, held);
  if (made.ok() && ::fstat(output.get(), &created) != 0) {
    made = Status::failed("fstat", errno);
  }
  // The name held must be the file made, or nothing of it is removed.
  if (made.ok() && !Identity::of(held).same_file(Identity::of(created))) {
    new_file_.reset();
    return FileState::kChanged;
  }
  if (made.ok()) made = give_original(output.get(), created, read_status_);
  if (made.ok()) made = posix::write_at(output.get(), text_, 0);
  if (made.ok()) made = posix::sync_data(output.get());
  if (made.ok()) made = output.close();
  if (!made.ok()) return fail(FileState::kNotWritten, made);
  return FileState::kReady;
}

FileState File::check_still_as_read() {
  // Another program may have replaced or changed it while it was converted.
  struct stat now {};
  if (!posix::look_up(target_folder(), target_name_, false, now).ok() ||
      !Identity::of(now).same_version(Identity::of(read_status_))) {
    return FileState::kChanged;
  }
  return FileState::kReady;
}

FileState File::check_old_backup(struct stat& old, bool& present) {
  const Status looked = posix::look_up(folder_, backup_name(), false, old);
  present = looked.ok();
  if (!present && looked.code() != ENOENT) {
    return fail(FileState::kBackupFailed, looked, backup_path());
  }
  if (!present) return FileState::kReady;
  // The original itself, where a run was cut off after it made the backup.
  if (Identity::of(old).same_file(Identity::of(read_status_))) {
    return FileState::kReady;
  }
  // No other name of the run may be the backup's file: a second name of one
  // file, which a damaged volume can leave, would be written over.
  shared_with_ = same_file_as(old, {});
  if (!shared_with_.empty()) return FileState::kBackupShared;
  if (S_ISDIR(old.st_mode)) {
    return fail(FileState::kBackupFailed, Status::failed("open", EISDIR),
                backup_path());
  }
  if (!plain_file_of_its_own(old)) {
    return fail(FileState::kBackupFailed, Status::failed("open", 0),
                backup_path());
  }
  return FileState::kReady;
}

FileState File::back_up() {
  struct stat old {};
  bool replacing = false;
  FileState checked = check_old_backup(old, replacing);
  if (checked != FileState::kReady) return checked;
  // Held, so that its inode's number goes to no other file meanwhile.
  posix::Descriptor held_old;
  struct stat held {};
  if (replacing && (!posix::hold(folder_, backup_name(), held_old, held).ok() ||
                    !Identity::of(held).same_version(Identity::of(old)))) {
    return fail(FileState::kBackupFailed, Status::failed("rename", 0),
                backup_path());
  }
  if (!replacing || !Identity::of(old).same_file(Identity::of(read_status_))) {
    checked = link_or_copy(replacing ? &old : nullptr);
    if (checked == FileState::kReady)
      checked = check_before_rename(old, replacing);
    if (checked == FileState::kReady) {
      const Status renamed =
          posix::rename(folder_, partial_name(), backup_name());
      if (!renamed.ok())
        checked = fail(FileState::kBackupFailed, renamed, backup_path());
    }
    if (checked != FileState::kReady) {
      remove_own(folder_, partial_name(), partial_);
      return checked;
    }
  }
  const Status synced = sync_names(folder_, folder_readable_, backup_name());
  if (!synced.ok()) return fail(FileState::kNotWritten, synced);
  // A new name changes the status time of the file: what the last look
  // expects from here on.
  struct stat now {};
  if (::fstat(input_.get(), &now) != 0 || now.st_size != read_status_.st_size ||
      now.st_mtim.tv_sec != read_status_.st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != read_status_.st_mtim.tv_nsec) {
    return FileState::kChanged;
  }
  read_status_ = now;
  return FileState::kReady;
}

FileState File::link_or_copy(const struct stat* old) {
  const Status linked =
      posix::link(target_folder(), target_name_, folder_, partial_name());
  const int code = linked.code();
  // No hard links here (exFAT, FAT), none between these folders, or none
  // that this user may make: a copy does.
  if (code == EPERM || code == EXDEV || code == EOPNOTSUPP || code == EMLINK ||
      code == ENOSYS) {
    return copy_to_partial(old);
  }
  const std::string partial_path = backup_path() + kPartialSuffix;
  if (!linked.ok()) {
    return fail(FileState::kBackupFailed, linked,
                code == EEXIST ? partial_path : backup_path());
  }
  struct stat held {};
  const Status made = posix::hold(folder_, partial_name(), partial_, held);
  if (!made.ok()) return fail(FileState::kBackupFailed, made, backup_path());
  // The name linked may have been given to another file meanwhile.
  if (!Identity::of(held).same_file(Identity::of(read_status_))) {
    return FileState::kChanged;
  }
  return FileState::kReady;
}

FileState File::copy_to_partial(const struct stat* old) {
  const mode_t mode =
      backup_mode(read_status_.st_mode, old != nullptr ? old->st_mode : 0);
  posix::Descriptor copy;
  Status made = posix::create_new(folder_, partial_name(), mode, copy);
  if (made.code() == EEXIST) {
    return fail(FileState::kBackupFailed, made, backup_path() + kPartialSuffix);
  }
  struct stat created {};
  struct stat held {};
  if (made.ok()) made = posix::hold(folder_, partial_name(), partial_, held);
  if (made.ok() && ::fstat(copy.get(), &created) != 0) {
    made = Status::failed("fstat", errno);
  }
  if (made.ok() && !Identity::of(held).same_file(Identity::of(created))) {
    partial_.reset();
    return FileState::kChanged;
  }
  if (made.ok()) {
    give_backup(copy.get(), old != nullptr ? old->st_uid : read_status_.st_uid,
                old != nullptr ? old->st_gid : read_status_.st_gid, mode,
                old != nullptr);
    made = posix::copy_bytes(input_.get(), copy.get(), read_status_.st_size);
  }
  if (made.ok()) made = posix::sync_data(copy.get());
  if (made.ok()) made = copy.close();
  if (made.changed()) return FileState::kChanged;
  if (!made.ok()) return fail(FileState::kBackupFailed, made, backup_path());
  // Nor may the copy be of a file written to meanwhile.
  return check_still_as_read();
}

FileState File::check_before_rename(const struct stat& old, bool replacing) {
  // What stands at the backup's name is replaced whole, and only while it
  // is still what was looked at.
  struct stat now {};
  bool still = false;
  const FileState checked = check_old_backup(now, still);
  if (checked != FileState::kReady) return checked;
  if (still != replacing ||
      (still && !Identity::of(now).same_version(Identity::of(old)))) {
    return fail(FileState::kBackupFailed, Status::failed("rename", 0),
                backup_path());
  }
  // And the partial name must still hold this run's.
  struct stat own {};
  if (!posix::look_up(folder_, partial_name(), false, now).ok() ||
      ::fstat(partial_.get(), &own) != 0 ||
      !Identity::of(now).same_file(Identity::of(own))) {
    return fail(FileState::kBackupFailed, Status::failed("rename", 0),
                backup_path());
  }
  return FileState::kReady;
}

FileState File::put_in_place() {
  // The last look: a newer file at the name is never replaced. A program
  // that saves the file in place from here on loses its save, and the file
  // stays whole.
  const FileState checked = check_still_as_read();
  if (checked != FileState::kReady) return checked;
  const Status renamed =
      posix::rename(target_folder(), new_name(), target_name_);
  if (!renamed.ok()) return fail(FileState::kNotWritten, renamed);
  const Status synced =
      sync_names(target_folder(), target_readable_, target_name_);
  if (!synced.ok()) return fail(FileState::kNotDurable, synced);
  return FileState::kWritten;
}

}  // namespace gemmel
