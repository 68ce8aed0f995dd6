// One profile file (prefs.js or panacea.dat) held in memory while its
// directory names are rewritten.
#ifndef GEMMEL_PROFILE_FILE_H_
#define GEMMEL_PROFILE_FILE_H_

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

#include "profile/buffer.h"
#include "profile/posix_io.h"
#include "profile/replace.h"
#include "profile/safeguards.h"
#include "profile/separators.h"
#include "profile/status.h"

namespace gemmel {

enum class FileState {
  kReady,         // loaded and locked: replace and write act
  kMissing,       // no file at the path
  kUnreadable,    // not a regular file, unreadable, or 2 GiB or more
  kBusy,          // another run holds the file's lock: not changed
  kInterrupted,   // an earlier run's rewrite was cut off: its mark stands
                  // and the file is not its original (original_path());
                  // nothing touched
  kMarkUnknown,   // whether a mark stands could not be looked up: treated
                  // as one, nothing touched
  kTooLarge,      // a replacement would have made the text 2 GiB or more
  kChanged,       // the path no longer names the file as read, or names
                  // the other file's backup: not changed
  kNotWritten,    // the file could not be written: it cannot be opened for
                  // writing (no backup made), or the rewrite failed and the
                  // original was put back, on disk
  kBackupFailed,  // no complete backup could be made: not changed
  kBackupShared,  // the backup's file has another name of the run too
                  // (shared_with()): not changed
  kWriteFailed,   // writing failed, the file may be torn; the backup holds
                  // the original and the mark stands
  kMarkStuck,     // the mark of a rewrite could not be removed
  kNotSettled,    // an earlier run's mark was removed, but its removal could
                  // not be made durable: not changed
  kNotDurable,    // converted, but the mark's removal could not be made
                  // durable: the conversion may not be on disk yet
  kUnverified,    // converted and on disk, but the path could not be looked
                  // up afterwards to see that it still names the file
  kUnchanged,     // written: the conversion left the bytes as they were
  kWritten,       // written, after a durable backup of the original
};

// Loading opens the file at `path`, takes its lock and reads it; the lock is
// held until write has finished (or the File goes), so that no other run
// reads or writes the file meanwhile. A mark left by an earlier run that was
// cut off in the middle of a rewrite is dealt with then, before anything
// else, and so is a partial backup it left. `write` then makes the backup,
// `path` followed by "-bak", an exact durable copy of the file that replaces
// the old one whole, and puts the changed text back in place, in an order
// that keeps the original complete on disk, in the file or in its backup,
// through a kill or a power cut at any moment (file_write.cpp).
//
// Only a kReady file is changed by replace and written by write. A file
// whose bytes the conversion left as they were is neither written nor backed
// up: an existing backup keeps what an earlier run put there.
class File {
 public:
  // `name`: a directory prefix, possibly empty, followed by a file name.
  // `sibling`: the other profile file of the run, in the same folder, which
  // this file's backup must never be, and whose backup this file must never
  // be. `folder`: that folder, held open by the caller for the whole run,
  // and whether it could be opened for reading; -1 to open it here.
  explicit File(const char* name, const std::string& sibling = {},
                int folder = -1, bool folder_readable = true);
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Replaces every `target` that begins at or after offset `start`.
  void replace(std::string target, std::string replacement, std::int32_t start);
  // Replaces every `target` from the first `start_key` to the end.
  void replace(std::string target, std::string replacement,
               std::string start_key);
  // Replaces every `target` that begins between the first `start_key` and the
  // first `end_key` after it.
  void replace(std::string target, std::string replacement,
               std::string start_key, std::string end_key);
  // Applies one replacement described as data (see replace.h) and returns
  // the number of replacements made: 0 when the file is not kReady or the
  // result would be too large (the state becomes kTooLarge).
  std::int64_t replace(const ReplaceCall& call);
  // Converts the separators of the profile's paths (separators.h) and
  // returns how many, as the form above does.
  std::int64_t replace(const SeparatorPass& pass);

  // True when the text is no longer the bytes read (false unless kReady).
  bool differs();

  // Frees the memory that replacements reuse; call once the text is final.
  void release_scratch();

  // For a kInterrupted file: the earlier run's original, read from where
  // original_path() names, or nothing where it cannot be read.
  std::optional<Text> read_original() const;
  // For a kInterrupted file that holds exactly what converting its original
  // gives: the earlier run finished its rewrite. The mark goes, durably,
  // and the file is kReady again (or kMarkStuck, kNotSettled).
  void settle_finished();

  // Checks that the path still names the file as it was read and that it
  // may be written, writes the backup and makes it durable, then stores the
  // text under `path`, in place, durably. Returns true when the file holds
  // the converted text (kWritten or kUnchanged); otherwise state() and
  // last_status() tell why.
  [[nodiscard]] bool write();

  FileState state() const { return state_; }
  // The failing call behind the state, if a call failed.
  const Status& last_status() const { return status_; }
  const Text& text() const { return text_; }
  const std::string& path() const { return path_; }
  // The size at load time, changed by every replacement; equals the size of
  // text().
  std::int32_t length() const { return length_; }
  std::string backup_path() const { return path_ + kBackupSuffix; }
  std::string mark_path() const { return backup_path() + kMarkSuffix; }
  // For kBackupFailed: the backup's path, or that of the partial copy where
  // something else stood at its name.
  std::string failed_backup_path() const {
    return partial_in_the_way_ ? backup_path() + kPartialSuffix : backup_path();
  }
  // For kBackupShared: the other name, as a path.
  std::string shared_with() const {
    return path_.substr(0, path_.size() - name_.size()) + shared_with_;
  }
  // Where the original of a kInterrupted or kWriteFailed file is: the
  // backup, or the mark where the backup's name no longer names it; empty
  // where no copy is known.
  std::string original_path() const;

  // Appended to a file's name to name its backup.
  static constexpr const char* kBackupSuffix = "-bak";
  // Appended to the backup's name for the mark that stands while the file
  // is being rewritten; left behind only by a run that could not finish.
  static constexpr const char* kMarkSuffix = "-in-corso";
  // Appended to the backup's name for the new backup while it is written;
  // left behind only by a run that was killed then, and removed by the next.
  static constexpr const char* kPartialSuffix = "-parziale";

 private:
  FileState load();
  // Counts what a change of the text made: its count, or nothing where the
  // result would be too large.
  std::int64_t changed(std::optional<std::int64_t> count);
  // What an earlier run left: its mark, then its partial backup.
  FileState settle_leftovers();
  FileState remove_leftover_mark();
  // The write order, phase by phase (file_write.cpp).
  FileState store();
  FileState check_still_as_read(posix::Descriptor& output);
  FileState back_up();
  // Writes the new backup under its partial name, durably; `old` is the
  // backup it replaces, or null.
  Status write_partial(const struct stat* old);
  FileState check_old_backup(struct stat& old, bool& present);
  // The last look before the new backup replaces `old` (if `replacing`).
  FileState check_before_rename(const struct stat& old, bool replacing);
  // Removes the partial copy, where its name still holds this run's.
  void remove_own_partial();
  FileState place_mark();
  FileState rewrite(posix::Descriptor& output);
  // Puts the original back after a failed rewrite, durably; where it
  // cannot, finds where the original is (original_path()).
  bool restore(posix::Descriptor& output);
  bool put_back(posix::Descriptor& output);
  FileState remove_mark(FileState rewritten);
  Status sync_names() const;
  FileState fail(FileState state, const Status& status);
  // The name of the run (the file, the other file, its backup, either mark)
  // other than `except` that is the same file as `found`, or an empty
  // string.
  std::string same_file_as(const struct stat& found,
                           const std::string& except) const;
  // The names in the folder.
  std::string backup_name() const { return name_ + kBackupSuffix; }
  std::string mark_name() const { return backup_name() + kMarkSuffix; }
  std::string partial_name() const { return backup_name() + kPartialSuffix; }
  // The name in the folder of original_path(), or an empty string.
  std::string original_name() const;

  Text text_;
  std::string path_;
  std::int32_t length_ = 0;
  std::string name_;     // the file's name in its folder
  std::string sibling_;  // the other file's name in the same folder
  FileState state_ = FileState::kUnreadable;
  Status status_;
  Text spare_;                    // memory reused by successive replacements
  posix::Descriptor own_folder_;  // the folder, where no caller holds it
  int folder_ = -1;               // the folder that holds the file
  bool folder_readable_ = true;   // false: held only for its names
  Original original_ = Original::kInBackup;  // of a kInterrupted file
  posix::Identity backup_;                   // the new backup, once made
  std::string shared_with_;                  // see shared_with()
  bool partial_in_the_way_ = false;          // see failed_backup_path()
  posix::Descriptor input_;                  // read from; holds the lock
  struct stat read_status_ {};
  std::int64_t replaced_ = 0;    // replacements made so far
  std::optional<bool> differs_;  // worked out once, by differs()
};

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_FILE_H_
