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

namespace gemmel {

enum class FileState {
  kReady,         // loaded and locked: replace and write act
  kMissing,       // no file at the path
  kUnreadable,    // not a regular file, unreadable, or 2 GiB or more
  kBusy,          // another run holds the file's lock: not changed
  kInterrupted,   // an earlier run's rewrite was cut off: its mark stands
                  // and the file is not its backup; nothing touched
  kTooLarge,      // a replacement would have made the text 2 GiB or more
  kChanged,       // the path no longer names the file as read, or names
                  // the other file's backup: not changed
  kNotWritable,   // the file cannot be opened for writing: no backup made,
                  // not changed
  kBackupFailed,  // no complete backup could be made: not changed
  kWriteFailed,   // writing failed; the backup holds the original
  kMarkStuck,     // the mark of a rewrite could not be removed (the file is
                  // converted if it was written)
  kUnchanged,     // written: the conversion left the bytes as they were
  kWritten,       // written, after a durable backup of the original
};

// Loading opens the file at `path`, takes its lock and reads it; the lock is
// held until write has finished (or the File goes), so that no other run
// reads or writes the file meanwhile. A mark left by an earlier run that was
// cut off in the middle of a rewrite is dealt with then, before anything
// else. `write` then makes the backup, `path` followed by "-bak", an exact
// durable copy of the file, and puts the changed text back in place, in an
// order that keeps the original complete on disk, in the file or in its
// backup, through a kill or a power cut at any moment (file_write.cpp).
//
// Only a kReady file is changed by replace and written by write. A file
// whose bytes the conversion left as they were is neither written nor backed
// up: an existing backup keeps what an earlier run put there.
class File {
 public:
  // `name`: a directory prefix, possibly empty, followed by a file name.
  // `sibling`: the other profile file of the run, in the same folder, which
  // this file's backup must never be, and whose backup this file must never
  // be. `folder`: that folder, held open by the caller for the whole run; -1
  // to open it here.
  explicit File(const char* name, const std::string& sibling = {},
                int folder = -1);
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

  // True when the text is no longer the bytes read (false unless kReady).
  bool differs();

  // Checks that the path still names the file as it was read and that it
  // may be written, writes the backup and makes it durable, then stores the
  // text under `path`, in place, durably. Returns true when the file holds
  // the converted text (kWritten or kUnchanged); otherwise state() and
  // last_error() tell why.
  [[nodiscard]] bool write();

  FileState state() const { return state_; }
  // The failing call behind the state, if a call failed.
  const std::optional<posix::Error>& last_error() const { return error_; }
  const Text& text() const { return text_; }
  const std::string& path() const { return path_; }
  // The size at load time, changed by every replacement; equals the size of
  // text().
  std::int32_t length() const { return length_; }
  std::string backup_path() const { return path_ + kBackupSuffix; }
  std::string mark_path() const { return backup_path() + kMarkSuffix; }

  // Appended to a file's name to name its backup.
  static constexpr const char* kBackupSuffix = "-bak";
  // Appended to the backup's name for the mark that stands while the file
  // is being rewritten; left behind only by a run that could not finish.
  static constexpr const char* kMarkSuffix = "-in-corso";

 private:
  FileState load();
  FileState settle_mark();
  FileState store();
  FileState fail(FileState state, const posix::Error& error);
  // The names in the folder.
  std::string backup_name() const { return name_ + kBackupSuffix; }
  std::string mark_name() const { return backup_name() + kMarkSuffix; }

  Text text_;
  std::string path_;
  std::int32_t length_ = 0;
  std::string name_;     // the file's name in its folder
  std::string sibling_;  // the other file's name in the same folder
  FileState state_ = FileState::kUnreadable;
  std::optional<posix::Error> error_;
  Text spare_;                    // memory reused by successive replacements
  posix::Descriptor own_folder_;  // the folder, where no caller holds it
  int folder_ = -1;               // the folder that holds the file
  posix::Descriptor input_;       // read from; holds the lock
  struct stat read_status_ {};
  std::int64_t replaced_ = 0;    // replacements made so far
  std::optional<bool> differs_;  // worked out once, by differs()
};

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_FILE_H_
