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

// Loading opens the file at `path`, takes its lock and reads it; the lock is
// held until write has finished (or the File goes), so that no other run
// reads or writes the file meanwhile. What a run cut off earlier left beside
// it is removed then. `write` writes the new text under a name of its own
// ("-nuovo"), syncs it, makes the original itself the backup (`path`
// followed by "-bak"), and renames the new file over the file, in an order
// in which the file always holds its original or its whole conversion and
// the backup an older backup or the original (file_write.cpp). A file that
// is a symbolic link is replaced where it points; its backup stays beside
// the link.
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
  // A new file prepared and not put in place goes with the object.
  ~File();
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

  // For a file missing at its path beside a new file of its own, left by a
  // run cut off in its last rename: the backup's text, which the caller
  // converts for finish_rename; nothing otherwise.
  std::optional<Text> read_backup_of_cut_off_rename() const;
  // Renames that new file to the path, durably, where it holds exactly
  // `made` and the path is still free: the file is then kWritten.
  bool finish_rename(const Text& made);

  // The first half of write(), which calls it where it was not called: the
  // text written under the new file's name, durably, and the backup's name
  // looked at, with the file and its backup as they were. True where write()
  // may go on, or where the text is unchanged; otherwise state() and
  // last_status() tell why, and nothing is left behind. A run that prepares
  // both files before it writes either finds a file that cannot be written
  // before anything changes.
  [[nodiscard]] bool prepare_write();
  // Writes the text as the file, durably, after a durable backup (see
  // above). True when the file holds the converted text (kWritten or
  // kUnchanged); otherwise state() and last_status() tell why.
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
  // For kBackupFailed and kNotWritten: the path of what failed, the backup
  // or the file, or the name that stood in the way of a new one.
  const std::string& failed_path() const { return failed_path_; }
  // For kBackupShared: the other name, as a path.
  std::string shared_with() const { return in_folder(shared_with_); }

  // Appended to a file's name for its backup and its new content, and to
  // the backup's name for the new backup and for the mark that earlier
  // versions, which rewrote a file in place, left while they did.
  static constexpr const char* kBackupSuffix = "-bak";
  static constexpr const char* kNewSuffix = "-nuovo";
  static constexpr const char* kPartialSuffix = "-parziale";
  static constexpr const char* kMarkSuffix = "-in-corso";

 private:
  FileState load();
  // Counts what a change of the text made: its count, or nothing where the
  // result would be too large.
  std::int64_t changed(std::optional<std::int64_t> count);
  // Follows the links from the path to the file, opening the folders on the
  // way; target_folder() and target_name_ name it.
  FileState resolve_links();
  // What an earlier run left: a mark of an earlier version, a new file or a
  // partial backup.
  FileState settle_leftovers();
  // The write order, phase by phase (file_write.cpp).
  FileState store();
  // Gives up the new file where it was not put in place, and the lock.
  void finish();
  // Whether what stands at the backup's name, `old`, may be replaced.
  FileState check_old_backup(const struct stat& old);
  FileState write_new_file();
  FileState check_still_as_read();
  FileState back_up();
  // The new backup under its partial name: a second name of the file, or a
  // synced copy of it.
  FileState make_partial();
  // Creates `name` in `folder` as a new file, open on `fd` and held by
  // `held`, with the mode and owner of the file read.
  Status create_held(int folder, const std::string& name, posix::Descriptor& fd,
                     posix::Descriptor& held);
  FileState put_in_place();
  // Removes `name` in `folder` where it still names the file held by `held`.
  static void remove_own(int folder, const std::string& name,
                         const posix::Descriptor& held);
  FileState fail(FileState state, const Status& status,
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
  std::string in_folder(const std::string& name) const {
    return path_.substr(0, path_.size() - name_.size()) + name;
  }
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
  bool prepared_ = false;        // prepare_write() went through
  posix::Descriptor new_file_;   // the new file, held while it is needed
  posix::Descriptor partial_;    // the partial backup, held likewise
  std::int64_t replaced_ = 0;    // replacements made so far
  std::optional<bool> differs_;  // worked out once, by differs()
};

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_FILE_H_
