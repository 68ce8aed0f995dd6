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
  kTooLarge,      // a replacement would have made the text 2 GiB or more
  kChanged,       // the path no longer names the file as read: not changed
  kBackupFailed,  // no complete backup could be made, or an earlier run's
                  // mark protects the one there: not changed
  kWriteFailed,   // writing failed; the backup holds the original
  kUnchanged,     // written: the conversion left the bytes as they were
  kWritten,       // written, after a durable backup of the original
};

// Loading opens the file at `path`, takes its lock and reads it; the lock is
// held until write has finished (or the File goes), so that no other run
// reads or writes the file meanwhile. `write` then makes the backup, `path`
// followed by "-bak", an exact durable copy of the file, and puts the
// changed text back in place.
//
// Only a kReady file is changed by replace and written by write. A file
// whose bytes the conversion left as they were is neither written nor backed
// up: an existing backup keeps what an earlier run put there. The original
// always exists complete on disk, in the file or in its backup.
class File {
 public:
  // `name`: a directory prefix, possibly empty, followed by a file name.
  // `sibling`: the other profile file of the run, which this file's backup
  // must never be.
  explicit File(const char* name, std::string sibling = {});
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

  // Checks that the path still names the file as it was read, writes the
  // backup and makes it durable, then stores the text under `path`, in
  // place. Returns true when the file holds the converted text (kWritten or
  // kUnchanged); otherwise state() and last_error() tell why.
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

  // Appended to a file's name to name its backup.
  static constexpr const char* kBackupSuffix = "-bak";
  // Appended to the backup's name for the second name it has while the file
  // is being rewritten; left behind only by a run that could not finish.
  static constexpr const char* kRewriteMarkerSuffix = "-in-corso";

 private:
  FileState load();
  FileState fail(FileState state, const posix::Error& error);
  FileState store();

  Text text_;
  std::string path_;
  std::int32_t length_ = 0;
  std::string sibling_;
  FileState state_ = FileState::kUnreadable;
  std::optional<posix::Error> error_;
  Text spare_;                // memory reused by successive replacements
  posix::Descriptor folder_;  // the folder that holds the file
  posix::Descriptor input_;   // read from; holds the lock
  struct stat read_status_ {};
  std::int64_t replaced_ = 0;    // replacements made so far
  std::optional<bool> differs_;  // worked out once, by differs()
};

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_FILE_H_
