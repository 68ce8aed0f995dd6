// How a profile file is written back, so that at every moment, a kill or a
// power cut included, the file's name holds its original or its whole
// conversion and the backup's name an older backup or the original, whole.
// A file system may put data and names on disk in any order between two
// syncs, so each step that a later one relies on is synced first. store()
// runs, in order: write_new_file ("-nuovo", exclusive, given the file's mode
// and owner, written and synced), check_still_as_read, back_up (the original
// itself under "-bak-parziale", or a synced copy where the disk has no hard
// links, renamed over "-bak", the folder synced) and put_in_place (a last
// look, the new file renamed over the file, its folder synced). A run cut
// off leaves at most "-nuovo" or "-bak-parziale", which the next one removes
// (settle_leftovers). A disk that renames in steps (ntfs-3g, FAT) can lose
// the name in the last rename: the next run finishes it (finish_rename).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <utility>

#include "profile/file.h"
#include "profile/posix_io.h"
#include "profile/status.h"

namespace gemmel {
namespace {

using posix::same_file;
using posix::same_version;

// A regular file with no other name: only such a file may be replaced by a
// new backup or removed as a leftover.
bool plain_file_of_its_own(const struct stat& found) {
  return S_ISREG(found.st_mode) && found.st_nlink == 1;
}

// Gives the new file on `fd`, made as `made`, exactly the mode of
// `original`, and its owner and group where they differ; fails where they
// cannot be kept rather than give the profile to someone else.
Status give_original(int fd, const struct stat& made,
                     const struct stat& original) {
  // The owner first: giving a file away clears its set-user-ID bits.
  if ((made.st_uid != original.st_uid || made.st_gid != original.st_gid) &&
      ::fchown(fd, original.st_uid, original.st_gid) != 0) {
    return Status::failed("fchown", errno);
  }
  if ((made.st_mode & 07777) != (original.st_mode & 07777) &&
      ::fchmod(fd, original.st_mode & 07777) != 0) {
    return Status::failed("fchmod", errno);
  }
  return {};
}

// Makes the names in `folder` durable; `name` is a file in it, through
// which a folder held only for its names is synced.
Status sync_names(int folder, bool readable, const std::string& name) {
  Status synced;
  if (readable) {
    synced = posix::sync_folder(folder);
  } else {
    // A folder held only for its names is synced through a file in it,
    // with its whole file system.
    posix::Descriptor file;
    struct stat status {};
    synced = posix::open_regular_for_reading(folder, name, false, file, status);
    if (synced.ok()) synced = posix::sync_file_system(file.get());
  }
  // Some file systems cannot sync a folder at all: their names are left to
  // the system's own flushing.
  return synced.code() == EINVAL ? Status() : synced;
}

}  // namespace

File::~File() {
  if (prepared_ && state_ == FileState::kReady) finish();
}

bool File::prepare_write() {
  if (state_ != FileState::kReady || prepared_) return prepared_;
  FileState phase = FileState::kUnchanged;
  if (differs()) {
    phase = write_new_file();
    // A backup that may not be replaced is found before anything changes.
    struct stat old {};
    posix::Descriptor held;
    const Status looked = phase == FileState::kReady
                              ? posix::hold(folder_, backup_name(), held, old)
                              : Status();
    if (phase == FileState::kReady && looked.ok()) {
      phase = check_old_backup(old);
    } else if (looked.code() != ENOENT && !looked.ok()) {
      phase = fail(FileState::kBackupFailed, looked, backup_path());
    }
    // Nor may anything stand at the partial backup's name: what an earlier
    // run left there, and is no plain file of its own, stays.
    if (phase == FileState::kReady &&
        posix::look_up(folder_, partial_name(), false, old).ok()) {
      phase = fail(FileState::kBackupFailed, Status::failed("link", EEXIST),
                   backup_path() + kPartialSuffix);
    }
  }
  prepared_ = phase == FileState::kReady;
  if (!prepared_) {
    state_ = phase;
    finish();
  }
  return prepared_ || state_ == FileState::kUnchanged;
}

bool File::write() {
  if (!prepare_write() || state_ != FileState::kReady) {
    return state_ == FileState::kUnchanged;
  }
  state_ = store();
  finish();
  return state_ == FileState::kWritten;
}

void File::finish() {
  if (state_ != FileState::kWritten) {
    remove_own(target_folder(), new_name(), new_file_);
  }
  new_file_.reset();
  partial_.reset();
  input_.reset();  // gives up the lock
}

std::string File::same_file_as(const struct stat& found,
                               const std::string& except) const {
  // The profile files are looked up through a final link, as they are
  // read; the names gemmel makes are never links of its own.
  const std::string sibling_backup = sibling_ + kBackupSuffix;
  for (const auto& [name, follow] : {std::pair{name_, true},
                                     {mark_name(), false},
                                     {sibling_, true},
                                     {sibling_backup, false},
                                     {sibling_backup + kMarkSuffix, false}}) {
    struct stat status {};
    const bool of_run =
        !sibling_.empty() || name == name_ || name == mark_name();
    if (of_run && name != except &&
        posix::look_up(folder_, name, follow, status).ok() &&
        same_file(status, found)) {
      return name;
    }
  }
  return {};
}

void File::remove_own(int folder, const std::string& name,
                      const posix::Descriptor& held) {
  struct stat own {};
  struct stat now {};
  if (held.get() >= 0 && ::fstat(held.get(), &own) == 0 &&
      posix::look_up(folder, name, false, now).ok() && same_file(now, own)) {
    static_cast<void>(posix::remove(folder, name));
  }
}

// ---------------------------------------------------------------------------
// What an earlier run left.

FileState File::settle_leftovers() {
  if (folder_ < 0) return state_;
  // A profile file that is another name of the run would be converted
  // twice, or its original taken for a leftover and removed.
  if (state_ == FileState::kReady &&
      !same_file_as(read_status_, name_).empty()) {
    return FileState::kChanged;
  }
  // An earlier version rewrote the file in place under a mark, which stood
  // while the file might be torn. Only a regular file at its name is one.
  struct stat found {};
  const Status looked = posix::look_up(folder_, mark_name(), false, found);
  if (!looked.ok() && looked.code() != ENOENT) {
    return fail(FileState::kUnreadable, looked);
  }
  if (looked.ok() && S_ISREG(found.st_mode)) {
    posix::Descriptor backup;
    if (state_ != FileState::kReady ||
        !posix::open_regular_for_reading(folder_, backup_name(), false, backup,
                                         found)
             .ok() ||
        static_cast<std::size_t>(found.st_size) != text_.size() ||
        !posix::holds(backup.get(), text_)) {
      return FileState::kInterrupted;
    }
    const Status removed = posix::remove(folder_, mark_name());
    if (!removed.ok()) return fail(FileState::kNotWritten, removed);
  }
  if (state_ != FileState::kReady) return state_;
  // What a run cut off left goes where it is a plain file of its own, or a
  // second name of the file itself; anything else is never opened.
  for (const auto& [folder, name] :
       {std::pair{target_folder(), new_name()}, {folder_, partial_name()}}) {
    if (posix::look_up(folder, name, false, found).ok() &&
        ((plain_file_of_its_own(found) && same_file_as(found, {}).empty()) ||
         (S_ISREG(found.st_mode) && same_file(found, read_status_)))) {
      static_cast<void>(posix::remove(folder, name));
    }
  }
  // A name removed changes the status time of its file.
  if (::fstat(input_.get(), &found) == 0 &&
      found.st_nlink != read_status_.st_nlink &&
      found.st_size == read_status_.st_size) {
    read_status_ = found;
  }
  return FileState::kReady;
}

std::optional<Text> File::read_backup_of_cut_off_rename() const {
  struct stat status {};
  posix::Descriptor fd;
  Text backup;
  if (!absent_ ||
      !posix::look_up(target_folder(), new_name(), false, status).ok() ||
      !plain_file_of_its_own(status) ||
      !posix::open_regular_for_reading(folder_, backup_name(), false, fd,
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
  const bool finished =
      absent_ &&
      posix::open_regular_for_reading(target_folder(), new_name(), false,
                                      new_file_, held)
          .ok() &&
      plain_file_of_its_own(held) &&
      static_cast<std::size_t>(held.st_size) == made.size() &&
      posix::holds(new_file_.get(), made) &&
      posix::look_up(target_folder(), new_name(), false, now).ok() &&
      same_version(now, held) &&
      posix::rename(target_folder(), new_name(), target_name_, false).ok();
  if (finished) {
    const Status synced =
        sync_names(target_folder(), target_readable_, target_name_);
    state_ = synced.ok() ? FileState::kWritten
                         : fail(FileState::kNotDurable, synced);
  }
  new_file_.reset();
  return finished;
}

// ---------------------------------------------------------------------------
// The write order.

FileState File::store() {
  FileState phase = check_still_as_read();
  if (phase == FileState::kReady) phase = back_up();
  if (phase == FileState::kReady) phase = put_in_place();
  return phase;
}

Status File::create_held(int folder, const std::string& name,
                         posix::Descriptor& fd, posix::Descriptor& held) {
  Status made = posix::create_new(folder, name, 0600, fd);
  struct stat created {};
  struct stat now {};
  if (made.ok()) made = posix::hold(folder, name, held, now);
  if (made.ok() && ::fstat(fd.get(), &created) != 0) {
    made = Status::failed("fstat", errno);
  }
  // The name held must be the file made, or nothing of it is removed.
  if (made.ok() && !same_file(now, created)) {
    held.reset();
    made = Status::file_changed();
  }
  if (made.ok()) made = give_original(fd.get(), created, read_status_);
  return made;
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
  Status made = create_held(target_folder(), new_name(), output, new_file_);
  if (made.ok()) made = posix::write_at(output.get(), text_, 0);
  if (made.ok()) made = posix::sync_data(output.get());
  if (made.ok()) made = output.close();
  if (made.changed()) return FileState::kChanged;
  // Whatever stood at the name was no plain file of its own when the file
  // was read, and is left alone and named.
  if (!made.ok()) {
    return fail(FileState::kNotWritten, made,
                made.code() == EEXIST ? target_path_ + kNewSuffix : "");
  }
  return FileState::kReady;
}

FileState File::check_still_as_read() {
  // Another program may have replaced or changed it while it was converted.
  struct stat now {};
  if (!posix::look_up(target_folder(), target_name_, false, now).ok() ||
      !same_version(now, read_status_)) {
    return FileState::kChanged;
  }
  return FileState::kReady;
}

FileState File::back_up() {
  // What stands at the backup's name, held, so that its inode's number goes
  // to no other file meanwhile.
  posix::Descriptor held;
  struct stat old {};
  struct stat now {};
  struct stat own {};
  const Status looked = posix::hold(folder_, backup_name(), held, old);
  const bool replacing = looked.ok();
  if (!replacing && looked.code() != ENOENT) {
    return fail(FileState::kBackupFailed, looked, backup_path());
  }
  // Where a run was cut off after the backup, it is the original itself.
  if (!replacing || !same_file(old, read_status_)) {
    FileState made = replacing ? check_old_backup(old) : FileState::kReady;
    if (made != FileState::kReady) return made;
    made = make_partial();
    // What stands at the backup's name is replaced only while it is what
    // was looked at, and only by the partial name that still holds this
    // run's.
    const Status again = posix::look_up(folder_, backup_name(), false, now);
    if (made == FileState::kReady &&
        ((again.ok() ? !replacing || !same_version(now, old)
                     : replacing || again.code() != ENOENT) ||
         !posix::look_up(folder_, partial_name(), false, now).ok() ||
         ::fstat(partial_.get(), &own) != 0 || !same_file(now, own))) {
      made = fail(FileState::kBackupFailed, Status::failed("rename", 0),
                  backup_path());
    }
    const Status renamed =
        made == FileState::kReady
            ? posix::rename(folder_, partial_name(), backup_name())
            : Status();
    if (!renamed.ok()) {
      made = fail(FileState::kBackupFailed, renamed, backup_path());
    }
    if (made != FileState::kReady) {
      remove_own(folder_, partial_name(), partial_);
      return made;
    }
  }
  const Status synced = sync_names(folder_, folder_readable_, backup_name());
  if (!synced.ok()) return fail(FileState::kNotWritten, synced);
  // A new name changes the status time of the file: what the last look
  // expects from here on.
  if (::fstat(input_.get(), &now) != 0 || now.st_size != read_status_.st_size ||
      now.st_mtim.tv_sec != read_status_.st_mtim.tv_sec ||
      now.st_mtim.tv_nsec != read_status_.st_mtim.tv_nsec) {
    return FileState::kChanged;
  }
  read_status_ = now;
  return FileState::kReady;
}

FileState File::check_old_backup(const struct stat& old) {
  if (same_file(old, read_status_)) return FileState::kReady;
  // No other name of the run may be the backup's file: a second name of one
  // file, which a damaged volume can leave, would be written over.
  shared_with_ = same_file_as(old, {});
  if (!shared_with_.empty()) return FileState::kBackupShared;
  if (!plain_file_of_its_own(old)) {
    return fail(FileState::kBackupFailed,
                Status::failed("open", S_ISDIR(old.st_mode) ? EISDIR : 0),
                backup_path());
  }
  return FileState::kReady;
}

FileState File::make_partial() {
  Status made =
      posix::link(target_folder(), target_name_, folder_, partial_name());
  struct stat held {};
  if (made.ok()) made = posix::hold(folder_, partial_name(), partial_, held);
  // The name linked may have been given to another file meanwhile.
  if (made.ok()) {
    return same_file(held, read_status_) ? FileState::kReady
                                         : FileState::kChanged;
  }
  const int code = made.code();
  // No hard links here (exFAT, FAT), none between these folders, or none
  // that this user may make: a synced copy does.
  if (code == EPERM || code == EXDEV || code == EOPNOTSUPP || code == EMLINK ||
      code == ENOSYS) {
    posix::Descriptor copy;
    made = create_held(folder_, partial_name(), copy, partial_);
    if (made.ok()) {
      made = posix::copy_bytes(input_.get(), copy.get(), read_status_.st_size);
    }
    if (made.ok()) made = posix::sync_data(copy.get());
    if (made.ok()) made = copy.close();
    // Nor may the copy be of a file written to meanwhile.
    if (made.ok()) return check_still_as_read();
  }
  if (made.changed()) return FileState::kChanged;
  return fail(
      FileState::kBackupFailed, made,
      made.code() == EEXIST ? backup_path() + kPartialSuffix : backup_path());
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
