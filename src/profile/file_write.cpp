// How a profile file is written back, so that at every moment, a kill or a
// power cut included, the file's name holds its original or its whole
// conversion and the backup's name an older backup or the original, whole.
// A file system may put data and names on disk in any order between two
// syncs, so each step that a later one relies on is synced first:
//   1. "-nuovo" is created, given the file's mode and owner, written, synced;
//   2. the original itself becomes the backup: a second name of it (or a
//      synced copy, where the disk has no hard links) under "-bak-parziale",
//      renamed over "-bak", the folder synced;
//   3. after a last look at the file, "-nuovo" is renamed over it and its
//      folder synced.
// A run cut off leaves at most "-nuovo" or "-bak-parziale", which the next
// one removes. A disk that renames in steps (ntfs-3g, FAT) can lose the
// name in the last rename: the next run finishes it.
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

// Whether `name` in `folder` still names the file held by `held`.
bool names(int folder, const std::string& name, const posix::Descriptor& held) {
  struct stat own {};
  struct stat now {};
  return held.get() >= 0 && ::fstat(held.get(), &own) == 0 &&
         posix::look_up(folder, name, false, now).ok() && same_file(now, own);
}

// Removes `name` in `folder` where it still names the file held by `held`.
void remove_own(int folder, const std::string& name,
                const posix::Descriptor& held) {
  if (names(folder, name, held)) {
    static_cast<void>(posix::remove(folder, name));
  }
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

// Creates `name` in `folder` as a new file, open for writing on `fd` and
// held by `held` once `fd` is closed, with the mode and owner of `original`.
Status create_held(int folder, const std::string& name,
                   const struct stat& original, posix::Descriptor& fd,
                   posix::Descriptor& held) {
  Status made = posix::create_new(folder, name, 0600, fd);
  struct stat created {};
  if (made.ok()) held.reset(::fcntl(fd.get(), F_DUPFD_CLOEXEC, 0));
  if (made.ok() && (held.get() < 0 || ::fstat(fd.get(), &created) != 0)) {
    made = Status::failed("fcntl", errno);
    remove_own(folder, name, fd);  // not held: nothing else would remove it
  }
  return made.ok() ? give_original(fd.get(), created, original) : made;
}

// Makes the names in `folder` durable; `name` is a file in it, through
// which a folder held only for its names is synced, with its whole file
// system.
Status sync_names(int folder, bool readable, const std::string& name) {
  posix::Descriptor file;
  struct stat status {};
  Status synced = readable ? posix::sync_folder(folder)
                           : posix::open_regular_for_reading(
                                 folder, name, false, file, status);
  if (!readable && synced.ok()) synced = posix::sync_file_system(file.get());
  // Some file systems cannot sync a folder at all: their names are left to
  // the system's own flushing.
  return synced.code() == EINVAL ? Status() : synced;
}

}  // namespace

using enum FileState;

File::~File() {
  if (prepared_ && state_ == kReady) finish();
}

bool File::prepare_write() {
  if (state_ != kReady || prepared_) return prepared_;
  if (!differs()) state_ = kUnchanged;
  prepared_ = state_ == kReady && write_new_file() && look_at_backup() &&
              still_as_read() && make_partial();
  if (!prepared_) finish();
  return prepared_ || state_ == kUnchanged;
}

bool File::write() {
  if (!prepare_write() || state_ != kReady) return state_ == kUnchanged;
  if (still_as_read() && back_up() && put_in_place()) state_ = kWritten;
  finish();
  return state_ == kWritten;
}

void File::finish() {
  if (state_ != kWritten) remove_own(target_folder(), new_name(), new_file_);
  // A partial backup not renamed; a second name of the file is one too.
  remove_own(folder_, partial_name(), partial_.get() >= 0 ? partial_ : input_);
  new_file_.reset();
  partial_.reset();
  backup_.reset();
  input_.reset();  // gives up the lock
}

bool File::still_as_read(bool identity_only) {
  // Another program may have replaced or changed it while it was converted.
  struct stat now {};
  return (input_.get() >= 0 &&
          posix::look_up(target_folder(), target_name_, false, now).ok() &&
          (identity_only ? same_file(now, read_status_)
                         : same_version(now, read_status_))) ||
         (!identity_only && fail(kChanged));
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

bool File::take_status_time() {
  struct stat now {};
  if (::fstat(input_.get(), &now) != 0) return false;
  struct stat expected = now;
  expected.st_ctim = read_status_.st_ctim;
  if (!same_version(expected, read_status_)) return false;
  read_status_ = now;
  return true;
}

// ---------------------------------------------------------------------------
// What an earlier run left.

void File::settle_leftovers() {
  // A profile file that is another name of the run would be converted
  // twice, or its original taken for a leftover and removed.
  if (state_ == kReady && !same_file_as(read_status_, name_).empty()) {
    fail(kChanged);
    return;
  }
  // Nor may its link lead to its own backup's or partial backup's name,
  // which the write replaces or removes, and the file with it.
  struct stat home {};
  struct stat target {};
  if (state_ == kReady && ::fstat(folder_, &home) == 0 &&
      ::fstat(target_folder(), &target) == 0 && same_file(home, target) &&
      (target_name_ == backup_name() || target_name_ == partial_name())) {
    fail(kChanged);
    return;
  }
  // An earlier version rewrote the file in place under a mark, which stood
  // while the file might be torn. Only a regular file at its name is one;
  // it goes where the file is byte for byte its backup.
  struct stat found {};
  const Status looked = posix::look_up(folder_, mark_name(), false, found);
  posix::Descriptor backup;
  if (!looked.ok() && looked.code() != ENOENT) {
    fail(kUnreadable, looked);
  } else if (looked.ok() && S_ISREG(found.st_mode)) {
    const bool whole = state_ == kReady &&
                       posix::open_regular_for_reading(folder_, backup_name(),
                                                       false, backup, found)
                           .ok() &&
                       posix::holds(backup.get(), text_);
    const Status removed =
        whole ? posix::remove(folder_, mark_name()) : Status();
    if (!whole) fail(kInterrupted);
    if (!removed.ok()) fail(kNotWritten, removed);
  }
  if (state_ != kReady) return;
  // What a run cut off left goes where it is a plain file of its own, or a
  // second name of the file itself or of its backup (a disk that renames in
  // steps can leave the partial backup's old name); anything else is never
  // opened.
  struct stat kept {};
  const bool backed = posix::look_up(folder_, backup_name(), false, kept).ok();
  for (const auto& [folder, name] :
       {std::pair{target_folder(), new_name()}, {folder_, partial_name()}}) {
    if (posix::look_up(folder, name, false, found).ok() &&
        ((plain_file_of_its_own(found) && same_file_as(found, {}).empty()) ||
         (S_ISREG(found.st_mode) && (same_file(found, read_status_) ||
                                     (backed && same_file(found, kept)))))) {
      static_cast<void>(posix::remove(folder, name));
      static_cast<void>(take_status_time());
    }
  }
}

bool File::finish_cut_off_rename(
    const std::function<std::optional<Text>(Text)>& convert) {
  posix::Descriptor made;
  posix::Descriptor backup;
  struct stat held {};
  struct stat now {};
  Text backed_up;
  if (!absent_ || state_ == kInterrupted ||
      !posix::open_regular_for_reading(target_folder(), new_name(), false, made,
                                       held)
           .ok() ||
      !plain_file_of_its_own(held) ||
      !posix::open_regular_for_reading(folder_, backup_name(), false, backup,
                                       now)
           .ok() ||
      !posix::read_to_end(backup.get(), backed_up, kMaxLength,
                          static_cast<std::size_t>(now.st_size))
           .ok()) {
    return false;
  }
  // Only a new file with the backup's mode and owner, as this program
  // makes it, holding its conversion, renamed while it is as read and while
  // the path is still free.
  const std::optional<Text> converted = convert(std::move(backed_up));
  if (held.st_uid != now.st_uid || held.st_gid != now.st_gid ||
      (held.st_mode & 07777) != (now.st_mode & 07777) || !converted ||
      !posix::holds(made.get(), *converted) ||
      !posix::look_up(target_folder(), new_name(), false, now).ok() ||
      !same_version(now, held) ||
      !posix::rename(target_folder(), new_name(), target_name_, false).ok()) {
    return false;
  }
  const Status synced =
      sync_names(target_folder(), target_readable_, target_name_);
  if (synced.ok()) state_ = kWritten;
  if (!synced.ok()) fail(kNotDurable, synced);
  return true;
}

// ---------------------------------------------------------------------------
// The write order.

bool File::write_new_file() {
  // A file its user may not write is left alone, as a rewrite in place
  // would leave it.
  if (::faccessat(target_folder(), target_name_.c_str(), W_OK, AT_EACCESS) !=
      0) {
    return errno == ENOENT ? fail(kChanged)
                           : fail(kNotWritten, Status::failed("open", errno));
  }
  posix::Descriptor output;
  Status made =
      create_held(target_folder(), new_name(), read_status_, output, new_file_);
  if (made.ok()) made = posix::write_at(output.get(), text_, 0);
  if (made.ok()) made = posix::sync_data(output.get());
  if (made.ok()) made = output.close();
  // Whatever stood at the name was no plain file of its own when the file
  // was read, and is left alone and named.
  return made.ok() ||
         fail(kNotWritten, made,
              made.code() == EEXIST ? target_path_ + kNewSuffix : "");
}

bool File::look_at_backup() {
  const Status looked =
      posix::hold(folder_, backup_name(), backup_, backup_status_);
  if (!looked.ok() && looked.code() != ENOENT) {
    return fail(kBackupFailed, looked, backup_path());
  }
  // Where a run was cut off after the backup, it is the original itself.
  if (looked.ok() && !same_file(backup_status_, read_status_)) {
    // No other name of the run may be the backup's file: a second name of
    // one file, which a damaged volume can leave, would be taken away.
    shared_with_ = same_file_as(backup_status_, {});
    if (!shared_with_.empty()) return fail(kBackupShared);
    // Other names of a regular file keep it when this one is replaced.
    if (!S_ISREG(backup_status_.st_mode)) {
      const int code = S_ISDIR(backup_status_.st_mode) ? EISDIR : 0;
      return fail(kBackupFailed, Status::failed("open", code), backup_path());
    }
  }
  // Nor may anything stand at the partial backup's name: what an earlier run
  // left there, and is no plain file of its own, stays.
  struct stat found {};
  return !posix::look_up(folder_, partial_name(), false, found).ok() ||
         fail(kBackupFailed, Status::failed("link", EEXIST),
              backup_path() + kPartialSuffix);
}

bool File::back_up() {
  // The partial backup is renamed over what stands at the backup's name
  // only while that is what was looked at, and the partial name still this
  // run's; none was made where the backup is the original itself.
  struct stat now {};
  const Status again = posix::look_up(folder_, backup_name(), false, now);
  const bool as_looked = backup_.get() >= 0
                             ? again.ok() && same_version(now, backup_status_)
                             : again.code() == ENOENT;
  const Status renamed =
      partial_.get() < 0 ? Status()
      : as_looked && names(folder_, partial_name(), partial_)
          ? posix::rename(folder_, partial_name(), backup_name())
          : Status::failed("rename", 0);
  if (!renamed.ok()) return fail(kBackupFailed, renamed, backup_path());
  const Status synced = sync_names(folder_, folder_readable_, backup_name());
  // A new name changes the status time of the file: what the last look
  // expects from here on.
  return synced.ok() ? take_status_time() || fail(kChanged)
                     : fail(kNotWritten, synced);
}

bool File::make_partial() {
  // Where a run was cut off after the backup, it is the original itself.
  if (backup_.get() >= 0 && same_file(backup_status_, read_status_)) {
    return true;
  }
  Status made =
      posix::link(target_folder(), target_name_, folder_, partial_name());
  struct stat held {};
  if (made.ok()) made = posix::hold(folder_, partial_name(), partial_, held);
  // The name linked may have been given to another file meanwhile. A new
  // name moves the file's status time.
  if (made.ok() && same_file(held, read_status_)) {
    return take_status_time() || fail(kChanged);
  }
  // The name made for another file now at the path goes with the run;
  // another's file put at the partial name stays.
  struct stat now {};
  if (made.ok() &&
      !(posix::look_up(target_folder(), target_name_, false, now).ok() &&
        same_file(now, held))) {
    partial_.reset();
  }
  if (made.ok()) return fail(kChanged);
  const int code = made.code();
  // No hard links here (exFAT, FAT), none between these folders, or none
  // that this user may make: a synced copy does.
  if (code == EPERM || code == EXDEV || code == EOPNOTSUPP || code == EMLINK ||
      code == ENOSYS) {
    posix::Descriptor copy;
    made = create_held(folder_, partial_name(), read_status_, copy, partial_);
    if (made.ok()) {
      made = posix::copy_bytes(input_.get(), copy.get(), read_status_.st_size);
    }
    if (made.ok()) made = posix::sync_data(copy.get());
    if (made.ok()) made = copy.close();
    // Nor may the copy be of a file written to meanwhile.
    if (made.ok()) return still_as_read();
  }
  if (made.changed()) return fail(kChanged);
  return fail(kBackupFailed, made,
              backup_path() + (made.code() == EEXIST ? kPartialSuffix : ""));
}

bool File::put_in_place() {
  // The last look: a newer file at the name is never replaced, nor the
  // file while the backup's name no longer holds the original. A program
  // that saves the file in place from here on loses its save, and the file
  // stays whole.
  if (!still_as_read()) return false;
  if (!names(folder_, backup_name(), partial_.get() >= 0 ? partial_ : input_)) {
    return fail(kBackupFailed, Status::failed("rename", 0), backup_path());
  }
  const Status renamed =
      posix::rename(target_folder(), new_name(), target_name_);
  if (!renamed.ok()) return fail(kNotWritten, renamed);
  const Status synced =
      sync_names(target_folder(), target_readable_, target_name_);
  return synced.ok() || fail(kNotDurable, synced);
}

}  // namespace gemmel
