// The rules that keep a profile file's original safe while it is rewritten:
// which backup may be replaced, what a mark is and where it says the
// original is, how a folder's names are made durable, and the signals that
// wait while a file is half written. The order in which they are applied is
// in file_write.cpp.
#ifndef GEMMEL_PROFILE_SAFEGUARDS_H_
#define GEMMEL_PROFILE_SAFEGUARDS_H_

#include <sys/stat.h>

#include <csignal>
#include <string>
#include <string_view>

#include "profile/posix_io.h"
#include "profile/status.h"

namespace gemmel {

// True when `found`, looked at without following a link, is a plain file of
// its own: a regular file with no other name. Only such a file may be
// replaced by a new backup or removed as a leftover.
bool plain_file_of_its_own(const struct stat& found);

// The mode of a new backup of a file with mode `file_mode`, where the backup
// it replaces had `old_mode` (0 where there was none): the old backup's
// mode, or 0664 for a first one, never more open than the file.
mode_t backup_mode(mode_t file_mode, mode_t old_mode);

// Gives the new backup on `fd` the owner and group, as far as the process
// may, and then exactly `mode` where `exact` (a mode carried over from an
// old backup, which the umask must not narrow further).
void give_backup(int fd, uid_t owner, gid_t group, mode_t mode, bool exact);

// True when `name` in `folder` is a regular file (not a link to one) that
// holds exactly `text`. Nothing else at the name is opened.
bool file_holds(int folder, const std::string& name, std::string_view text);

// Where the original of a file is while a mark stands beside its backup.
// The mark is a second name of the backup, or an empty file where the file
// system has no hard links. A mark that holds bytes but is no longer a name
// of the backup holds the original itself: the backup was removed or
// replaced since. An empty mark beside no backup leaves no known copy.
enum class Original { kInBackup, kInMark, kUnknown };
Original locate_original(int folder, const struct stat& mark,
                         const std::string& backup_name);

// Makes new and removed names in `folder` durable: by syncing the folder,
// or, where the folder could not be opened for reading, the whole file
// system through `file`, a descriptor of a file in it. Some file systems
// cannot sync a folder at all (EINVAL): their names are left to the
// system's own flushing.
Status sync_names(int folder, bool readable, int file);

// Ctrl-C, a hang-up, a shutdown's SIGTERM and SIGQUIT wait while it lives,
// so that a file is never left half written by them: they take effect
// afterwards.
class DeferredSignals {
 public:
  DeferredSignals();
  DeferredSignals(const DeferredSignals&) = delete;
  DeferredSignals& operator=(const DeferredSignals&) = delete;
  ~DeferredSignals();

 private:
  sigset_t before_{};
};

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_SAFEGUARDS_H_
