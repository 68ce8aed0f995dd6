// How a profile file is written back: the promise that at every moment, a
// kill or a power cut included, the original content of the file exists
// complete on disk, in the file or in its backup, and that the name of the
// backup always names a whole copy.
//
// Between two syncs a file system may put data blocks and directory entries
// on disk in any order, so every step that a later one relies on is on disk
// before that step begins. store() runs the phases in this order:
//
//   check_still_as_read  the file is still the one read, and may be written;
//   back_up              the new backup written under a partial name,
//                        synced, and renamed over the old one;
//   place_mark           the mark, a second name of the backup, and the
//                        folder synced: the backup's new name and the mark
//                        are on disk together;
//   rewrite              the file rewritten in place and synced, or, where
//                        that fails, its original put back from the backup;
//   remove_mark          the mark removed and the folder synced, so that the
//                        conversion is on disk when the run says it is done.
//
// A run cut off between place_mark and remove_mark leaves the mark beside a
// file that may be half written. The next run looks for it before anything
// else (settle_leftovers): it goes on only where the file is exactly its
// original, or exactly what converting the original gives.
#include <sys/stat.h>

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
  input_.reset();  // gives up the lock
  return state_ == FileState::kWritten || state_ == FileState::kUnchanged;
}

Status File::sync_names() const {
  if (folder_readable_) return gemmel::sync_names(folder_, true, -1);
  // The folder's file system is synced through a file in it: the profile
  // file, unless it is a link to another file system, or else its backup.
  struct stat folder {};
  struct stat file {};
  if (::fstat(folder_, &folder) != 0) return Status::failed("fstat", errno);
  if (::fstat(input_.get(), &file) == 0 && file.st_dev == folder.st_dev) {
    return gemmel::sync_names(folder_, false, input_.get());
  }
  posix::Descriptor backup;
  const Status opened = posix::open_regular_for_reading(folder_, backup_name(),
                                                        false, backup, file);
  if (!opened.ok()) return opened;
  return gemmel::sync_names(folder_, false, backup.get());
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

// ---------------------------------------------------------------------------
// What an earlier run left.

FileState File::settle_leftovers() {
  struct stat mark {};
  const Status looked = posix::look_up(folder_, mark_name(), false, mark);
  // Only "no such file" means no mark: a mark that cannot be seen may stand
  // beside a torn file.
  if (!looked.ok() && looked.code() != ENOENT) {
    return fail(FileState::kMarkUnknown, looked);
  }
  // A profile file that is another name of the run would be converted
  // twice, or taken for a leftover and removed.
  if (state_ == FileState::kReady &&
      !same_file_as(read_status_, name_).empty()) {
    return FileState::kChanged;
  }
  if (!looked.ok()) {
    if (state_ == FileState::kMissing) return state_;
    // A backup cut short by a killed run goes, where it is a plain file of
    // its own; anything else at its name is never opened or followed.
    struct stat partial {};
    if (posix::look_up(folder_, partial_name(), false, partial).ok() &&
        plain_file_of_its_own(partial) && same_file_as(partial, {}).empty()) {
      static_cast<void>(posix::remove(folder_, partial_name()));
    }
    return FileState::kReady;
  }
  // Nor may the mark be one: it would be taken for the original.
  if (!same_file_as(mark, mark_name()).empty()) {
    return fail(FileState::kMarkUnknown, Status::failed("stat", 0));
  }
  original_ = locate_original(folder_, mark, backup_name());
  // The file may be half written, or written since by the browser: only
  // where it is exactly its original is nothing lost by going on. Then the
  // rewrite never began, or the original was put back.
  if (state_ == FileState::kReady && original_ != Original::kUnknown &&
      file_holds(folder_, original_name(), text_)) {
    return remove_leftover_mark();
  }
  return FileState::kInterrupted;
}

FileState File::remove_leftover_mark() {
  const Status removed = posix::remove(folder_, mark_name());
  if (!removed.ok()) return fail(FileState::kMarkStuck, removed);
  const Status synced = sync_names();
  if (!synced.ok()) return fail(FileState::kNotSettled, synced);
  return FileState::kReady;
}

std::string File::original_name() const {
  switch (original_) {
    case Original::kInBackup:
      return backup_name();
    case Original::kInMark:
      return mark_name();
    case Original::kUnknown:
      break;
  }
  return {};
}

std::string File::original_path() const {
  const std::string name = original_name();
  if (name.empty()) return {};
  return path_.substr(0, path_.size() - name_.size()) + name;
}

std::optional<Text> File::read_original() const {
  if (state_ != FileState::kInterrupted || original_ == Original::kUnknown) {
    return std::nullopt;
  }
  posix::Descriptor fd;
  struct stat status {};
  Text original;
  if (!posix::open_regular_for_reading(folder_, original_name(), false, fd,
                                       status)
           .ok() ||
      status.st_size > kMaxLength ||
      !posix::read_to_end(fd.get(), original, kMaxLength,
                          static_cast<std::size_t>(status.st_size))
           .ok()) {
    return std::nullopt;
  }
  return original;
}

void File::settle_finished() {
  if (state_ == FileState::kInterrupted) state_ = remove_leftover_mark();
}

// ---------------------------------------------------------------------------
// The write order.

FileState File::store() {
  if (!differs()) return FileState::kUnchanged;
  posix::Descriptor output;
  FileState phase = check_still_as_read(output);
  if (phase == FileState::kReady) phase = back_up();
  if (phase != FileState::kReady) return phase;
  // From the mark until the file is whole, on disk, and the mark gone,
  // Ctrl-C and a shutdown wait.
  const DeferredSignals deferred;
  phase = place_mark();
  if (phase != FileState::kReady) return phase;
  return remove_mark(rewrite(output));
}

FileState File::check_still_as_read(posix::Descriptor& output) {
  const Identity read = Identity::of(read_status_);
  // A file that may not be written is found before a backup is made.
  struct stat now {};
  const Status opened = posix::open_for_rewrite(folder_, name_, output, now);
  if (!opened.ok()) {
    const bool gone = opened.code() == ENOENT ||
                      !posix::look_up(folder_, name_, true, now).ok() ||
                      !Identity::of(now).same_version(read);
    return gone ? FileState::kChanged : fail(FileState::kNotWritten, opened);
  }
  // It must still be the one read, as it was read: another program may have
  // replaced or changed it while it was converted.
  if (!Identity::of(now).same_version(read)) return FileState::kChanged;
  // Nor may it be another name of the run: the other file, which the run
  // converts by the other recipe, the other file's backup or a mark, which
  // may be the only copy of an original.
  if (!same_file_as(now, name_).empty()) return FileState::kChanged;
  return FileState::kReady;
}

FileState File::check_old_backup(struct stat& old, bool& present) {
  const Status looked = posix::look_up(folder_, backup_name(), false, old);
  present = looked.ok();
  if (!present && looked.code() != ENOENT) {
    return fail(FileState::kBackupFailed, looked);
  }
  if (!present) return FileState::kReady;
  // No other name of the run may be the backup's file: a second name of one
  // file, which a damaged volume can leave, would be written over.
  shared_with_ = same_file_as(old, {});
  if (!shared_with_.empty()) return FileState::kBackupShared;
  if (S_ISDIR(old.st_mode)) {
    return fail(FileState::kBackupFailed, Status::failed("open", EISDIR));
  }
  if (!plain_file_of_its_own(old)) {
    return fail(FileState::kBackupFailed, Status::failed("open", 0));
  }
  return FileState::kReady;
}

FileState File::back_up() {
  struct stat old {};
  bool replacing = false;
  FileState checked = check_old_backup(old, replacing);
  if (checked != FileState::kReady) return checked;
  // The new backup, under a name of its own until it is whole and on disk.
  Status made = write_partial(replacing ? &old : nullptr);
  if (!made.ok()) {
    return made.changed() ? FileState::kChanged
                          : fail(FileState::kBackupFailed, made);
  }
  checked = check_before_rename(old, replacing);
  if (checked == FileState::kReady) {
    made = posix::rename(folder_, partial_name(), backup_name());
    if (made.ok()) return checked;
    checked = fail(FileState::kBackupFailed, made);
  }
  remove_own_partial();
  return checked;
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
    return fail(FileState::kBackupFailed, Status::failed("rename", 0));
  }
  // Nor may the copy be of a file written to meanwhile.
  if (::fstat(input_.get(), &now) != 0 ||
      !Identity::of(now).same_version(Identity::of(read_status_))) {
    return FileState::kChanged;
  }
  // And the partial name must still hold this run's copy.
  if (!posix::look_up(folder_, partial_name(), false, now).ok() ||
      !Identity::of(now).same_file(backup_)) {
    return fail(FileState::kBackupFailed, Status::failed("rename", 0));
  }
  return FileState::kReady;
}

void File::remove_own_partial() {
  struct stat partial {};
  if (posix::look_up(folder_, partial_name(), false, partial).ok() &&
      Identity::of(partial).same_file(backup_)) {
    static_cast<void>(posix::remove(folder_, partial_name()));
  }
}

Status File::write_partial(const struct stat* old) {
  const mode_t mode =
      backup_mode(read_status_.st_mode, old != nullptr ? old->st_mode : 0);
  posix::Descriptor copy;
  Status made = posix::create_new(folder_, partial_name(), mode, copy);
  // Whatever stands at the partial name was no plain file of its own when
  // the file was read, and is left alone.
  if (made.code() == EEXIST) partial_in_the_way_ = true;
  if (!made.ok()) return made;
  struct stat created {};
  if (::fstat(copy.get(), &created) != 0) {
    made = Status::failed("fstat", errno);
    static_cast<void>(posix::remove(folder_, partial_name()));
  } else {
    backup_ = Identity::of(created);
    give_backup(copy.get(), old != nullptr ? old->st_uid : read_status_.st_uid,
                old != nullptr ? old->st_gid : read_status_.st_gid, mode,
                old != nullptr);
    made = posix::copy_bytes(input_.get(), copy.get(), read_status_.st_size);
  }
  if (made.ok()) made = posix::sync_data(copy.get());
  if (made.ok()) made = copy.close();
  // No partial copy may pass for a backup.
  if (!made.ok()) remove_own_partial();
  return made;
}

FileState File::place_mark() {
  Status made = posix::link(folder_, backup_name(), mark_name());
  if (!made.ok()) {
    // No hard links here (exFAT, FAT): an empty file, which cannot tell
    // which backup it stands for, so it is made only once the backup's new
    // name is on disk.
    made = sync_names();
    posix::Descriptor empty;
    if (made.ok()) made = posix::create_new(folder_, mark_name(), 0600, empty);
    if (made.ok()) made = empty.close();
  }
  if (!made.ok()) return fail(FileState::kNotWritten, made);
  made = sync_names();
  if (!made.ok()) {
    static_cast<void>(posix::remove(folder_, mark_name()));
    return fail(FileState::kNotWritten, made);
  }
  return FileState::kReady;
}

FileState File::rewrite(posix::Descriptor& output) {
  const Identity read = Identity::of(read_status_);
  // A change since the file was read, the last moment it can be seen.
  struct stat now {};
  if (::fstat(output.get(), &now) != 0 ||
      !Identity::of(now).same_version(read)) {
    return FileState::kChanged;
  }
  // Room for a longer content is reserved first, so that a full disk or the
  // file-size limit fails before any byte changes.
  const auto size = static_cast<off_t>(text_.size());
  if (size > read.size) {
    const Status reserved = posix::allocate(output.get(), read.size, size);
    if (!reserved.ok() && reserved.code() != EOPNOTSUPP) {
      // One that failed halfway may have moved the end of the file.
      const bool undone = posix::truncate(output.get(), read.size).ok() &&
                          posix::sync_data(output.get()).ok();
      return fail(undone || restore(output) ? FileState::kNotWritten
                                            : FileState::kWriteFailed,
                  reserved);
    }
  }
  // The new content goes over the old from its start and is cut to length
  // only at the end, so that the file is never empty or short meanwhile.
  Status written = posix::write_at(output.get(), text_, 0);
  if (written.ok() && size < read.size) {
    written = posix::truncate(output.get(), size);
  }
  if (written.ok()) written = posix::sync_data(output.get());
  if (written.ok()) written = output.close();
  if (written.ok()) return FileState::kReady;
  // The original goes back; where it cannot, the mark stays and tells the
  // next run that the backup holds it.
  return fail(
      restore(output) ? FileState::kNotWritten : FileState::kWriteFailed,
      written);
}

bool File::restore(posix::Descriptor& output) {
  if (put_back(output)) return true;
  // The mark stays. Where the backup's name was given to another file
  // meanwhile, the mark, a second name of the backup, holds the original.
  struct stat status {};
  const auto holds_backup = [&](const std::string& name) {
    return posix::look_up(folder_, name, false, status).ok() &&
           Identity::of(status).same_file(backup_);
  };
  original_ = holds_backup(backup_name()) ? Original::kInBackup
              : holds_backup(mark_name()) ? Original::kInMark
                                          : Original::kUnknown;
  return false;
}

bool File::put_back(posix::Descriptor& output) {
  const Identity read = Identity::of(read_status_);
  // Closed with an error: reached again through the folder, where it must
  // still be the same file.
  posix::Descriptor reopened;
  posix::Descriptor& fd = output.get() >= 0 ? output : reopened;
  if (output.get() < 0) {
    struct stat status {};
    if (!posix::open_for_rewrite(folder_, name_, reopened, status).ok() ||
        !Identity::of(status).same_file(read)) {
      return false;
    }
  }
  posix::Descriptor from;
  struct stat status {};
  return posix::open_regular_for_reading(folder_, backup_name(), false, from,
                                         status)
             .ok() &&
         Identity::of(status).same_file(backup_) &&
         status.st_size == read.size &&
         posix::copy_bytes(from.get(), fd.get(), read.size).ok() &&
         posix::truncate(fd.get(), read.size).ok() &&
         posix::sync_data(fd.get()).ok() && fd.close().ok();
}

FileState File::remove_mark(FileState rewritten) {
  if (rewritten == FileState::kWriteFailed) return rewritten;
  const Status removed = posix::remove(folder_, mark_name());
  if (!removed.ok()) return fail(FileState::kMarkStuck, removed);
  const Status synced = sync_names();
  // A file left as its original needs no durable removal: a mark that comes
  // back beside it is settled by the next run.
  if (rewritten != FileState::kReady) return rewritten;
  if (!synced.ok()) return fail(FileState::kNotDurable, synced);
  // Replaced while it was being written: the converted text went to a file
  // that the path no longer names.
  struct stat after {};
  const Status looked = posix::look_up(folder_, name_, true, after);
  if (looked.code() == ENOENT) return FileState::kChanged;
  if (!looked.ok()) return fail(FileState::kUnverified, looked);
  if (!Identity::of(after).same_file(Identity::of(read_status_))) {
    return FileState::kChanged;
  }
  return FileState::kWritten;
}

}  // namespace gemmel
