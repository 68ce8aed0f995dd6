// One profile file (prefs.js or panacea.dat) held in memory while its
// directory names are rewritten.
#ifndef GEMMEL_PROFILE_FILE_H_
#define GEMMEL_PROFILE_FILE_H_

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "profile/buffer.h"
#include "profile/posix_io.h"
#include "profile/replace.h"
#include "profile/separators.h"
#include "profile/status.h"

namespace gemmel {

enum class FileState {
  kReady,         // loaded and locked: replace and write act
  kMissing,       // no file at the path
  kUnreadable,    // not a regular file, unreadable, or 2 GiB or more
  kBusy,          // another run holds the file's lock: not changed
  kInterrupted,   // an earlier version's mark stands: nothing touched
  kTooLarge,      // a replacement would have made the text 2 GiB or more
  kChanged,       // no longer the file read, or another file of the run
  kNotWritten,    // the new file not made or not put in place: not changed
  kBackupFailed,  // no backup could be made: not changed
  kBackupShared,  // the backup is another name of the run: not changed
  kNotDurable,    // converted, but the new name could not be made durable
  kUnchanged,     // written: the conversion left the bytes as they were
  kWritten,       // written, after a durable backup of the original
};

// Loading opens the file at `path`, takes its lock, reads it and removes
// what a run cut off earlier left beside it; the lock is held until write
// has finished, so that no other run reads or writes the file meanwhile.
// `write` puts the text in place so that the file always holds its original
// or its whole conversion, and the backup (`path` followed by "-bak") an
// older backup or the original (file_write.cpp). A file that is a symbolic
// link is replaced where it points; its backup stays beside the link.
// Only a kReady file is changed by replace and written by write; one whose
// bytes the conversion left as they were is neither written nor backed up.
class File {
 public:
  // `name`: a directory prefix, possibly empty, and a file name. `sibling`:
  // the other profile file of the run, in the same folder, which this file
  // and its backup must never be. `folder`: that folder, held open by the
  // caller, and whether it could be opened for reading; -1 to open it here.
  explicit File(const char* name, const std::string& sibling = {},
                int folder = -1, bool folder_readable = true);
  // A new file prepared and not put in place goes with the object.
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Replaces every `target` that begins at or after offset `start`; from the
  // first `start_key` to the end; between the first `start_key` and the
  // first `end_key` after it.
  void replace(std::string target, std::string replacement, std::int32_t start);
  void replace(std::string target, std::string replacement,
               std::string start_key);
  void replace(std::string target, std::string replacement,
               std::string start_key, std::string end_key);
  // Applies one replacement described as data (replace.h), or converts the
  // separators of the profile's paths (separators.h); returns the number of
  // replacements made: 0 when the file is not kReady or the result would be
  // too large (the state becomes kTooLarge).
  std::int64_t replace(const ReplaceCall& call);
  std::int64_t replace(const SeparatorPass& pass);
  // True when the text is no longer the bytes read (false unless kReady).
  bool differs();
  // Frees the memory that replacements reuse; call once the text is final.
  void release_scratch();

  // A run cut off inside its last rename, on a disk that renames in steps,
  // leaves no file at the path and a new file of its own beside it. Where
  // that holds exactly what `convert` makes of the backup's text, it is
  // renamed to the path, durably, and the file is kWritten: true.
  bool finish_cut_off_rename(
      const std::function<std::optional<Text>(Text)>& convert);

  // The first half of write(), which calls it where it was not called: the
  // new file written and synced, the backup's name looked at, nothing else
  // changed. True where write() may go on, or where the text is unchanged;
  // otherwise state() and last_status() tell why, and nothing is left.
  [[nodiscard]] bool prepare_write();
  // Puts the text in place, durably, after a durable backup. True when the
  // file holds the converted text (kWritten or kUnchanged).
  [[nodiscard]] bool write();

  FileState state() const { return state_; }
  // The failing call behind the state, if a call failed.
  const Status& last_status() const { return status_; }
  const Text& text() const { return text_; }
  const std::string& path() const { return path_; }
  // The size at load time, changed by every replacement.
  std::int32_t length() const { return length_; }
  std::string backup_path() const { return path_ + kBackupSuffix; }
  // For kBackupFailed and kNotWritten: the path of what failed, or of the
  // name that stood in the way of a new one.
  const std::string& failed_path() const { return failed_path_; }
  // For kBackupShared: the other name, as a path.
  std::string shared_with() const {
    return path_.substr(0, path_.size() - name_.size()) + shared_with_;
  }

  // Appended to a file's name for its backup and its new content, and to
  // the backup's name for the partial backup and for the mark that earlier
  // versions, which rewrote a file in place, left while they did.
  static constexpr const char* kBackupSuffix = "-bak";
  static constexpr const char* kNewSuffix = "-nuovo";
  static constexpr const char* kPartialSuffix = "-parziale";
  static constexpr const char* kMarkSuffix = "-in-corso";

 private:
  // The steps of loading and writing, true where the file may go on;
  // otherwise fail() has set the state and its reasons.
  bool load();
  // Follows the links from the path to the file, opening the folders on the
  // way; target_folder() and target_name_ name it.
  bool resolve_links();
  // What an earlier run left: a mark of an earlier version, a new file or a
  // partial backup.
  void settle_leftovers();
  // Whether the path still names the file read, and, unless `identity_only`,
  // as it was read (kChanged where not).
  bool still_as_read(bool identity_only = false);
  // Takes the file's status anew where only the time of its last change of
  // status moved, as a new name of it moves it; false where more changed.
  bool take_status_time();
  // Counts what a change of the text made: its count, or nothing where the
  // result would be too large.
  std::int64_t changed(std::optional<std::int64_t> count);
  // The write order (file_write.cpp).
  bool write_new_file();
  bool look_at_backup();
  bool back_up();
  bool make_partial();
  bool put_in_place();
  // Gives up the new file where it was not put in place, and the lock.
  void finish();
  // Sets `state` with the failing call and the path it concerns; false.
  bool fail(FileState state, const Status& status = {},
            const std::string& path = {});
  // The name of the run (the file, the other file, its backup, either mark)
  // other than `except` that is the same file as `found`, or an empty
  // string.
  std::string same_file_as(const struct stat& found,
                           const std::string& except) const;
  // The names in the folder.
  std::string backup_name() const { return name_ + kBackupSuffix; }
  std::string mark_name() const { return backup_name() + kMarkSuffix; }
  std::string partial_name() const { return backup_name() + kPartialSuffix; }
  std::string new_name() const { return target_name_ + kNewSuffix; }
  int target_folder() const {
    return target_folder_.get() >= 0 ? target_folder_.get() : folder_;
  }

  Text text_;
  std::string path_;
  std::int32_t length_ = 0;
  std::string name_;     // the file's name in its folder
  std::string sibling_;  // the other file's name in the same folder
  FileState state_ = FileState::kUnreadable;
  Status status_;
  std::string failed_path_;       // see failed_path()
  Text spare_;                    // memory reused by successive replacements
  posix::Descriptor own_folder_;  // the folder, where no caller holds it
  int folder_ = -1;               // the folder that holds the file
  bool folder_readable_ = true;   // false: held only for its names
  // Where the path is a symbolic link: the folder of the file it leads to
  // (unset where that is folder_), and the file's name and path there.
  posix::Descriptor target_folder_;
  bool target_readable_ = true;
  std::string target_name_;
  std::string target_path_;
  bool absent_ = false;      // nothing stands at the name the path leads to
  std::string shared_with_;  // see shared_with()
  posix::Descriptor input_;  // read from; holds the lock
  struct stat read_status_ {};
  bool prepared_ = false;       // prepare_write() went through
  posix::Descriptor new_file_;  // the new file, held while it is needed
  posix::Descriptor partial_;   // the partial backup, held likewise
  // What stood at the backup's name when prepare_write() looked, held so
  // that its inode's number goes to no other file meanwhile (unset: none).
  posix::Descriptor backup_;
  struct stat backup_status_ {};
  std::int64_t replaced_ = 0;    // replacements made so far
  std::optional<bool> differs_;  // worked out once, by differs()
};

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_FILE_H_
