// The rules that keep a profile file and its backup whole while the file is
// replaced: which names may be replaced or removed, what the new file and a
// copied backup are given of the original, and how a folder's names are
// made durable. The order in which they are applied is in file_write.cpp.
#ifndef GEMMEL_PROFILE_SAFEGUARDS_H_
#define GEMMEL_PROFILE_SAFEGUARDS_H_

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "profile/posix_io.h"
#include "profile/status.h"

namespace gemmel {

// True when `found`, looked at without following a link, is a plain file of
// its own: a regular file with no other name. Only such a file may be
// replaced by a new backup or removed as a leftover.
bool plain_file_of_its_own(const struct stat& found);

// Gives the new file on `fd`, whose status is `made`, exactly the mode of
// `original`, and its owner and group where they differ. Fails where the
// owner or group cannot be kept: the new file would give the profile to
// someone else.
Status give_original(int fd, const struct stat& made,
                     const struct stat& original);

// The mode of a copied backup of a file with mode `file_mode`, where the
// backup it replaces had `old_mode` (0 where there was none): the old
// backup's mode, or 0664 for a first one, never more open than the file.
mode_t backup_mode(mode_t file_mode, mode_t old_mode);

// Gives the copied backup on `fd` the owner and group, as far as the process
// may, and then exactly `mode` where `exact` (a mode carried over from an
// old backup, which the umask must not narrow further).
void give_backup(int fd, uid_t owner, gid_t group, mode_t mode, bool exact);

// True when `name` in `folder` is a regular file (not a link to one) that
// holds exactly `text`. Nothing else at the name is opened.
bool file_holds(int folder, const std::string& name, std::string_view text);

// Makes new and removed names in `folder` durable: by syncing the folder,
// or, where the folder could not be opened for reading, the whole file
// system through `file`, a descriptor of a file in it. Some file systems
// cannot sync a folder at all (EINVAL): their names are left to the
// system's own flushing.
Status sync_names(int folder, bool readable, int file);

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_SAFEGUARDS_H_
