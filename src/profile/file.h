// One profile file (prefs.js or panacea.dat) held in memory while its
// directory names are rewritten.
#ifndef GEMMEL_PROFILE_FILE_H_
#define GEMMEL_PROFILE_FILE_H_

#include <cstdint>
#include <string>

#include "profile/buffer.h"
#include "profile/posix_io.h"
#include "profile/replace.h"

namespace gemmel {

enum class FileState {
  kReady,         // loaded and backup begun: replace and write act
  kUnreadable,    // missing, not a regular file, unreadable, or 2 GiB or more
  kBackupFailed,  // the backup could not be written completely: not changed
  kTooLarge,      // a replacement would have made the text 2 GiB or more
  kWriteFailed,   // writing failed; the backup holds the original
};

// Loading reads the file at `path` and writes its backup, `path` followed by
// "-bak", before anything can change; `write` waits until the backup is on
// disk, then puts the changed text back. The disk writes the backup while
// the text is being changed.
//
// Only a kReady file is changed by replace and written by write. A file that
// cannot be read gets no backup and leaves an existing backup alone; a file
// whose backup failed is never written, so the original always exists
// complete on disk, in the file or in its backup.
class File {
 public:
  // `name`: a directory prefix, possibly empty, followed by a file name.
  explicit File(const char* name);
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

  // Makes sure the backup is on disk, then stores the text under `path`, in
  // place. Returns false when nothing was written (not kReady, or the backup
  // could not be made durable: state() is then kBackupFailed) or the write
  // failed (kWriteFailed; the backup holds the original).
  [[nodiscard]] bool write();

  FileState state() const { return state_; }
  const Text& text() const { return text_; }
  const std::string& path() const { return path_; }
  // The size at load time, changed by every replacement; equals the size of
  // text().
  std::int32_t length() const { return length_; }
  std::string backup_path() const { return path_ + "-bak"; }

 private:
  FileState load();

  Text text_;
  std::string path_;
  std::int32_t length_ = 0;
  FileState state_ = FileState::kUnreadable;
  Text spare_;                // memory reused by successive replacements
  posix::Descriptor backup_;  // the backup, until write() has made it durable
};

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_FILE_H_
