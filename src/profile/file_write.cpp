// How a profile file is written back: the promise that at every moment, a
// kill or a power cut included, the original content of the file exists
// complete on disk, in the file or in its backup.
//
// Between two syncs a file system may put data blocks and directory entries
// on disk in any order, so every step that a later one relies on is on disk
// before that step begins:
//
//   1. the backup, synced, and its folder synced;
//   2. the mark, a second name of the backup, and its folder synced;
//   3. the file rewritten in place;
//   4. the file synced;
//   5. the mark removed;
//   6. the folder synced, so that the conversion is on disk when the run
//      says it is done.
//
// A run cut off between 2 and 5 leaves the mark beside a file that may be
// half written. The next run looks for it before anything else
// (settle_mark): it goes on only where the file is exactly its backup.
#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <string>

#include "profile/file.h"
#include "profile/posix_io.h"

namespace gemmel {

using posix::Identity;

bool File::write() {
  if (state_ != FileState::kReady) return false;
  state_ = store();
  input_.reset();  // gives up the lock
  return state_ == FileState::kWritten || state_ == FileState::kUnchanged;
}

FileState File::settle_mark() {
  if (!posix::exists_in(folder_, mark_name())) return FileState::kReady;
  // The file may be half written, or written since by the browser: only
  // where it is exactly the backup is nothing lost by going on. Then the
  // rewrite never began, or the original was put back.
  if (!posix::file_holds(folder_, backup_name(), text_)) {
    return FileState::kInterrupted;
  }
  if (auto error = posix::remove(folder_, mark_name())) {
    return fail(FileState::kMarkStuck, *error);
  }
  if (auto error = posix::sync_folder(folder_)) {
    return fail(FileState::kMarkStuck, *error);
  }
  return FileState::kReady;
}

namespace {

// Puts the original back from the backup after a failed rewrite, and makes
// it durable. `fd` is the file's descriptor, or -1 where it was closed. True
// when the file holds the original again, on disk.
bool restore(int folder, const std::string& name, int fd,
             const std::string& backup_name, const Identity& backup,
             const Identity& original) {
  posix::Descriptor reopened;
  if (fd < 0) {
    struct stat status {};
    if (posix::open_for_rewrite(folder, name, reopened, status) ||
        !Identity::of(status).same_file(original)) {
      return false;
    }
    fd = reopened.get();
  }
  posix::Descriptor from;
  struct stat status {};
  return !posix::open_regular_for_reading(folder, backup_name, from, status) &&
         Identity::of(status).same_file(backup) &&
         status.st_size == original.size &&
         !posix::copy_bytes(from.get(), fd, original.size) &&
         !posix::truncate(fd, original.size) && !posix::sync_data(fd) &&
         !reopened.close();
}

}  // namespace

FileState File::store() {
  if (!differs()) return FileState::kUnchanged;
  const Identity read = Identity::of(read_status_);
  // The file must still be the one read, as it was read: another program
  // may have replaced or changed it while it was converted. Nor may it be
  // the other file's backup (a link to it, or a second name of it such as
  // its mark), which may be the only copy of that file's original.
  const auto now = posix::status_in(folder_, name_, true);
  if (!now || !Identity::of(*now).same_version(read)) {
    return FileState::kChanged;
  }
  const auto sibling = posix::status_in(folder_, sibling_, true);
  const auto sibling_backup =
      posix::status_in(folder_, sibling_ + kBackupSuffix, false);
  if (sibling_backup && S_ISREG(sibling_backup->st_mode) &&
      Identity::of(*sibling_backup).same_file(read)) {
    return FileState::kChanged;
  }

  // A file that may not be written is found before a backup is made.
  posix::Descriptor output;
  struct stat status {};
  if (auto error = posix::open_for_rewrite(folder_, name_, output, status)) {
    if (error->code == ENOENT) return FileState::kChanged;
    return fail(FileState::kNotWritable, *error);
  }
  if (!Identity::of(status).same_version(read)) return FileState::kChanged;

  // 1. The backup, on disk with its name.
  const posix::BackupSource source{
      .original = read,
      .mode = read_status_.st_mode & 0777,
      .owner = read_status_.st_uid,
      .group = read_status_.st_gid,
      .sibling = sibling ? Identity::of(*sibling) : Identity{}};
  posix::Descriptor backup_fd;
  bool created = false;
  Identity backup;
  if (auto error = posix::open_backup(folder_, backup_name(), source, backup_fd,
                                      created, backup)) {
    return fail(FileState::kBackupFailed, *error);
  }
  posix::Outcome error;
  if (!created) error = posix::truncate(backup_fd.get(), 0);
  if (!error) {
    error = posix::copy_bytes(input_.get(), backup_fd.get(), read.size);
  }
  if (!error) error = posix::sync_data(backup_fd.get());
  if (!error) error = backup_fd.close();
  if (error) {
    // No partial copy may pass for a backup. The name goes only while it
    // still names the file this run wrote; where it cannot go (a full NTFS
    // volume refuses even that), the copy is at least emptied.
    const auto there = posix::status_in(folder_, backup_name(), false);
    if (there && Identity::of(*there).same_file(backup) &&
        posix::remove(folder_, backup_name()) && backup_fd.get() >= 0) {
      static_cast<void>(posix::truncate(backup_fd.get(), 0));
    }
    if (error->operation == posix::kSourceShrank) return FileState::kChanged;
    return fail(FileState::kBackupFailed, *error);
  }
  if (auto failed = posix::sync_folder(folder_)) {
    return fail(FileState::kBackupFailed, *failed);
  }

  // From the mark until the file is whole, on disk, and the mark gone,
  // Ctrl-C and a shutdown wait.
  const posix::DeferredSignals deferred;
  // 2. The mark, on disk.
  if (auto failed = posix::make_mark(folder_, backup_name(), mark_name())) {
    return fail(FileState::kWriteFailed, *failed);
  }
  if (auto failed = posix::sync_folder(folder_)) {
    static_cast<void>(posix::remove(folder_, mark_name()));
    return fail(FileState::kWriteFailed, *failed);
  }
  // A change since the file was read, the last moment it can be seen.
  if (::fstat(output.get(), &status) != 0 ||
      !Identity::of(status).same_version(read)) {
    static_cast<void>(posix::remove(folder_, mark_name()));
    return FileState::kChanged;
  }

  // 3. and 4. The new content, written over the old from its start and cut
  // to length only at the end, so that the file is never empty or short
  // while it goes in; room for a longer one is reserved first.
  const auto size = static_cast<off_t>(text_.size());
  error = posix::reserve(output.get(), read.size, size);
  if (!error) {
    error = posix::write_at(output.get(), text_, 0);
    if (!error && size < read.size) error = posix::truncate(output.get(), size);
    if (!error) error = posix::sync_data(output.get());
    if (!error) error = output.close();
    // The original goes back; where it cannot, the mark stays and tells
    // the next run that the backup holds it.
    if (error &&
        !restore(folder_, name_, output.get(), backup_name(), backup, read)) {
      return fail(FileState::kWriteFailed, *error);
    }
  }

  // 5. and 6. The mark goes, on disk.
  posix::Outcome unmarked = posix::remove(folder_, mark_name());
  if (!unmarked) unmarked = posix::sync_folder(folder_);
  if (error) return fail(FileState::kWriteFailed, *error);
  if (unmarked) return fail(FileState::kMarkStuck, *unmarked);
  // Replaced while it was being written: the converted text went to a file
  // that the path no longer names.
  const auto after = posix::status_in(folder_, name_, true);
  if (!after || !Identity::of(*after).same_file(read)) {
    return FileState::kChanged;
  }
  return FileState::kWritten;
}

}  // namespace gemmel
