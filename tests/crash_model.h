// What a power cut can leave of a folder. Between two syncs a file system
// may put data blocks and folder entries on disk in any order. The model
// keeps, for each file, its content as of its last sync and every content it
// had since, and the folder's entries as of its last sync. A power cut
// leaves each entry as synced or as it is now, and each 4 KiB block of each
// file as synced or as any write since left it, at any of their sizes.
#ifndef GEMMEL_TESTS_CRASH_MODEL_H_
#define GEMMEL_TESTS_CRASH_MODEL_H_

#include <sys/types.h>

#include <compare>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace gemmel::testing {

// One state of the folder: each name with the file it names, and each
// file's content.
struct Disk {
  std::map<std::string, int> names;
  std::vector<std::string> files;
  auto operator<=>(const Disk&) const = default;
  bool holds(const std::string& name, const std::string& text) const {
    const auto found = names.find(name);
    return found != names.end() && files[found->second] == text;
  }
  bool has(const std::string& name) const { return names.contains(name); }
};

Disk read_disk(const std::filesystem::path& folder);
// Puts `disk` in `folder`, emptied first; names of one file are hard links.
void lay_out(const std::filesystem::path& folder, const Disk& disk);

class PowerCuts {
 public:
  // Everything in `folder` is on disk when the model begins.
  explicit PowerCuts(std::filesystem::path folder);

  // Keeps track of what `entry`, a call that went through on `fd` ("fsync"
  // or "fdatasync" for a sync), did.
  void after(const std::string& entry, int fd);
  // Adds every state a power cut now could leave.
  void cut();
  // True while anything done in the folder is not yet on disk.
  bool pending();

  const std::set<Disk>& states() const { return states_; }

 private:
  struct File {
    std::string synced;
    std::vector<std::string> since;
  };
  // Each name in the folder now with the number of the file it names. A
  // file is known by its inode only while a name holds it: an inode number
  // given to a new file afterwards is a new file, synced empty.
  std::map<std::string, int> entries();

  std::filesystem::path folder_;
  std::vector<File> files_;  // by number
  std::map<ino_t, int> numbers_;
  std::map<std::string, int> synced_entries_;
  std::set<Disk> states_;
};

}  // namespace gemmel::testing

#endif  // GEMMEL_TESTS_CRASH_MODEL_H_
