// The write path seen through the table of system calls: what a power cut
// or a kill at any call leaves, what each failing call leaves, and a file or
// folder changed by someone else while it was converted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <ranges>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "cli/run.h"
#include "profile/file.h"
#include "profile/posix_io.h"
#include "support.h"

namespace gemmel::testing {
namespace {

using enum FileState;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// What the calls did, each as "<call> <file>", where the file is the name
// opened ("a.txt-bak"), followed by " w" where it was opened for writing, or
// "dir" for a directory.
struct Recorder {
  std::vector<std::string> log;
  std::map<int, std::string> names;
  // The entries to fail, each once, after how many matching calls.
  std::map<std::string, int> fail;
  int code = EIO;  // the errno of the failures
  // Runs before the entry's call, for changes made from outside meanwhile.
  std::function<void(const std::string& entry)> before;
  // Runs after the entry's call went through, with the descriptor it
  // concerned (the one opened, written or synced), or -1.
  std::function<void(const std::string& entry, int fd)> after;
  posix::Calls real = posix::calls();

  // Records `entry`; true where the call is to fail.
  bool fails(const std::string& entry) {
    log.push_back(entry);
    if (before) before(entry);
    const auto failing = fail.find(entry);
    if (failing == fail.end() || failing->second-- != 0) return false;
    errno = code;
    return true;
  }
  template <typename R>
  R done(const std::string& entry, int fd, R result) {
    if (after && result >= 0) after(entry, fd);
    return result;
  }
};
Recorder* recorder = nullptr;

template <std::size_t N>
struct Name {
  // NOLINTNEXTLINE(google-explicit-constructor): taken from a literal.
  constexpr Name(const char (&name)[N]) { std::copy_n(name, N, text); }
  char text[N];
};

// The call `member` recorded as `name` and the file of its argument `fd`.
template <Name name, std::size_t fd, auto member,
          typename = std::remove_reference_t<
              decltype(std::declval<posix::Calls&>().*member)>>
struct Recorded;
template <Name name, std::size_t fd, auto member, typename R, typename... A>
struct Recorded<name, fd, member, R (*)(A...)> {
  static R call(A... args) {
    const int file = std::get<fd>(std::tuple<A...>(args...));
    const std::string entry =
        std::string(name.text) + " " + recorder->names[file];
    if (recorder->fails(entry)) return -1;
    return recorder->done(entry, file, (recorder->real.*member)(args...));
  }
};

// Routes the calls through a Recorder while it lives.
class RecordedCalls {
 public:
  RecordedCalls() {
    recorder = &recorder_;
    posix::Calls& calls = posix::calls();
    calls.openat = [](int folder, const char* path, int flags, mode_t mode) {
      std::string name = (flags & O_DIRECTORY) != 0
                             ? "dir"
                             : fs::path(path).filename().string();
      if ((flags & O_ACCMODE) != O_RDONLY) name += " w";
      if (recorder->fails("open " + name)) return -1;
      const int fd = recorder->real.openat(folder, path, flags, mode);
      if (fd >= 0) recorder->names[fd] = name;
      return recorder->done("open " + name, fd, fd);
    };
    // A failing close closes all the same.
    calls.close = [](int fd) {
      const bool fail = recorder->fails("close " + recorder->names[fd]);
      const int result = recorder->real.close(fd);
      return fail ? -1 : result;
    };
    calls.linkat = [](int from_folder, const char* from, int to_folder,
                      const char* to, int flags) {
      const std::string entry = std::string("link ") + from;
      if (recorder->fails(entry)) return -1;
      return recorder->done(
          entry, -1,
          recorder->real.linkat(from_folder, from, to_folder, to, flags));
    };
    calls.unlinkat = [](int folder, const char* name, int flags) {
      const std::string entry = std::string("unlink ") + name;
      if (recorder->fails(entry)) return -1;
      return recorder->done(entry, -1,
                            recorder->real.unlinkat(folder, name, flags));
    };
    using posix::Calls;
    calls.fsync = Recorded<"fsync", 0, &Calls::fsync>::call;
    calls.fdatasync = Recorded<"fdatasync", 0, &Calls::fdatasync>::call;
    calls.pwrite = Recorded<"write", 0, &Calls::pwrite>::call;
    calls.ftruncate = Recorded<"ftruncate", 0, &Calls::ftruncate>::call;
    calls.fallocate = Recorded<"fallocate", 0, &Calls::fallocate>::call;
    calls.copy_file_range = Recorded<"copy", 2, &Calls::copy_file_range>::call;
    calls.flock = Recorded<"flock", 0, &Calls::flock>::call;
  }
  RecordedCalls(const RecordedCalls&) = delete;
  RecordedCalls& operator=(const RecordedCalls&) = delete;
  ~RecordedCalls() {
    posix::calls() = recorder_.real;
    recorder = nullptr;
  }
  Recorder* operator->() { return &recorder_; }

 private:
  Recorder recorder_;
};

// Sets the failures of `recorder` from "entry;entry#N;..." (#N: the Nth
// matching call; the first without it).
void fail_calls(Recorder& recorder, const std::string& failing) {
  for (const auto piece : std::views::split(failing, ';')) {
    const std::string entry(piece.begin(), piece.end());
    const std::size_t hash = entry.find('#');
    recorder.fail[entry.substr(0, hash)] =
        hash == std::string::npos ? 0 : std::stoi(entry.substr(hash + 1)) - 1;
  }
}

// ---------------------------------------------------------------------------
// Power cuts. Between two syncs a file system may put data blocks and folder
// entries on disk in any order. The model keeps, for each file, its content
// as of its last sync and every content it had since, and the folder's
// entries as of its last sync. A power cut leaves each entry as synced or as
// it is now, and each 4 KiB block of each file as synced or as any write
// since left it, at either size.

constexpr std::size_t kBlock = 4096;

// Calls `visit` with every choice of one of `counts[i]` for each i.
void for_each_pick(
    const std::vector<std::size_t>& counts,
    const std::function<void(const std::vector<std::size_t>&)>& visit) {
  std::vector<std::size_t> pick(counts.size(), 0);
  for (std::size_t i = 0; i < pick.size();) {
    visit(pick);
    for (i = 0; i < pick.size() && ++pick[i] == counts[i]; ++i) pick[i] = 0;
  }
  if (pick.empty()) visit(pick);
}

// Every content a power cut can leave of a file synced as `synced` and
// written since as `since`: each block from any of them, at any of their
// sizes.
std::set<std::string> torn(const std::string& synced,
                           const std::vector<std::string>& since) {
  std::vector<std::string> sources{synced};
  sources.insert(sources.end(), since.begin(), since.end());
  std::set<std::size_t> sizes;
  for (const std::string& each : sources) sizes.insert(each.size());
  std::vector<std::vector<std::string>> blocks((*sizes.rbegin() + kBlock - 1) /
                                               kBlock);
  std::vector<std::size_t> counts;
  for (std::size_t i = 0; i < blocks.size(); ++i) {
    std::set<std::string> values;
    for (const std::string& each : sources) {
      std::string block =
          each.substr(std::min(each.size(), i * kBlock), kBlock);
      values.insert(block + std::string(kBlock - block.size(), '\0'));
    }
    blocks[i].assign(values.begin(), values.end());
    counts.push_back(values.size());
  }
  std::set<std::string> contents;
  for_each_pick(counts, [&](const std::vector<std::size_t>& pick) {
    std::string whole;
    for (std::size_t i = 0; i < pick.size(); ++i) whole += blocks[i][pick[i]];
    for (const std::size_t size : sizes) contents.insert(whole.substr(0, size));
  });
  return contents;
}

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

Disk read_disk(const fs::path& folder) {
  Disk disk;
  for (const auto& entry : fs::directory_iterator(folder)) {
    disk.names[entry.path().filename().string()] =
        static_cast<int>(disk.files.size());
    disk.files.push_back(read_file(entry.path()));
  }
  return disk;
}

// Puts `disk` in `folder`, emptied first; names of one file are hard links.
void lay_out(const fs::path& folder, const Disk& disk) {
  for (const auto& entry : fs::directory_iterator(folder)) fs::remove(entry);
  std::map<int, fs::path> laid;
  for (const auto& [name, file] : disk.names) {
    if (laid.contains(file)) {
      fs::create_hard_link(laid[file], folder / name);
    } else {
      write_file(folder / name, disk.files[file]);
      laid[file] = folder / name;
    }
  }
}

class PowerCuts {
 public:
  // Everything in `folder` is on disk when the model begins.
  explicit PowerCuts(fs::path folder)
      : folder_(std::move(folder)), synced_entries_(entries()) {
    for (const auto& [name, inode] : synced_entries_) {
      files_[inode].synced = read_file(folder_ / name);
    }
  }

  // Keeps track of what `entry`, a call that went through on `fd`, did.
  void after(const std::string& entry, int fd) {
    struct stat status {};
    if (fd < 0 || fstat(fd, &status) != 0) return;
    const bool sync =
        entry.starts_with("fsync") || entry.starts_with("fdatasync");
    if (S_ISDIR(status.st_mode)) {
      if (sync) synced_entries_ = entries();
      return;
    }
    File& file = files_[status.st_ino];  // a new file begins synced empty
    const std::string now = read_file("/proc/self/fd/" + std::to_string(fd));
    if (sync) {
      file = File{now, {}};
    } else if (now != (file.since.empty() ? file.synced : file.since.back())) {
      file.since.push_back(now);
    }
  }

  // Adds every state a power cut now could leave: each name as synced or as
  // it is now, each of the files they name torn every way.
  void cut() {
    std::map<std::string, std::vector<std::optional<ino_t>>> choices;
    for (const auto& entries : {synced_entries_, this->entries()}) {
      for (const auto& [name, inode] : entries) choices[name];
    }
    std::vector<std::size_t> counts;
    for (auto& [name, options] : choices) {
      for (const auto& entries : {synced_entries_, this->entries()}) {
        const auto found = entries.find(name);
        const auto inode = found == entries.end()
                               ? std::nullopt
                               : std::optional<ino_t>(found->second);
        if (std::ranges::find(options, inode) == options.end()) {
          options.push_back(inode);
        }
      }
      counts.push_back(options.size());
    }
    for_each_pick(counts, [&](const std::vector<std::size_t>& pick) {
      Disk disk;
      std::vector<std::vector<std::string>> contents;
      std::map<ino_t, int> numbers;
      auto option = pick.begin();
      for (const auto& [name, options] : choices) {
        const std::optional<ino_t> inode = options[*option++];
        if (!inode) continue;
        if (!numbers.contains(*inode)) {
          numbers[*inode] = static_cast<int>(contents.size());
          const std::set<std::string> each =
              torn(files_[*inode].synced, files_[*inode].since);
          contents.emplace_back(each.begin(), each.end());
        }
        disk.names[name] = numbers[*inode];
      }
      std::vector<std::size_t> sizes;
      for (const auto& each : contents) sizes.push_back(each.size());
      for_each_pick(sizes, [&](const std::vector<std::size_t>& which) {
        disk.files.clear();
        for (std::size_t i = 0; i < which.size(); ++i) {
          disk.files.push_back(contents[i][which[i]]);
        }
        states_.insert(disk);
      });
    });
  }

  // True while anything the run did is not yet on disk.
  bool pending() {
    for (const auto& [name, inode] : entries()) {
      if (!files_[inode].since.empty()) return true;
    }
    return entries() != synced_entries_;
  }

  const std::set<Disk>& states() const { return states_; }

 private:
  struct File {
    std::string synced;
    std::vector<std::string> since;
  };

  std::map<std::string, ino_t> entries() const {
    std::map<std::string, ino_t> found;
    for (const auto& entry : fs::directory_iterator(folder_)) {
      found[entry.path().filename().string()] = stat_of(entry.path()).st_ino;
    }
    return found;
  }

  fs::path folder_;
  std::map<ino_t, File> files_;
  std::map<std::string, ino_t> synced_entries_;
  std::set<Disk> states_;
};

// A profile in Linux form and in Windows form, written out here rather than
// made by the program: every Linux folder /<folder>/ is d:\p\ under Windows.
// prefs.js holds more than a block of separators after mail.newsrc_root, so
// that it grows from two blocks to three on its way to Windows.
std::string profile_text(const std::string& name, const std::string& folder,
                         const std::string& separator) {
  if (name == "panacea.dat") {
    return "// <!-- <mdb:mork:z v=\"1.4\"/> -->\n(1=" + folder +
           "Trash)<(80 (2=" + folder + "Inbox" + separator + "sub)\n";
  }
  std::string text =
      "user_pref(\"mail.newsrc_root\", \"" + folder + "News\");\n";
  for (int line = 0; line < 1100; ++line) {
    text += "x" + separator + "y" + separator + "z\n";
  }
  return text;
}

struct CrashCase {
  const char* label;
  const char* modo;
  bool earlier_backups;  // backups of an earlier run are there
  const char* failing;   // a call that fails once, or ""
  int status;            // of the run
};

class PowerCutTest : public ::testing::TestWithParam<CrashCase> {};

// At every call of a run, a power cut: the original of each file is complete
// in the file or its backup; a file that is neither the original nor its
// conversion has its mark beside it; and the next run of the same command
// on what is left converts the file or refuses it, never saying it is done
// over a torn file. When the run ends, all it did is on disk.
TEST_P(PowerCutTest, LeavesTheOriginalAndANextRunThatNeverTrustsATornFile) {
  const CrashCase& c = GetParam();
  ScopedTempDir dir;
  const fs::path folder = dir / "profile";
  fs::create_directory(folder);
  const std::string linuxdir = folder.string() + "/";
  const std::string windir = "d:\\p\\";
  const auto linux_form = [&](const std::string& name) {
    return profile_text(name, linuxdir, "/");
  };
  const auto windows_form = [&](const std::string& name) {
    return profile_text(name, "d:\\\\p\\\\", "\\\\");
  };
  const bool to_windows = std::string(c.modo) == "win";
  const Names files = {"panacea.dat", "prefs.js"};
  std::map<std::string, std::string> original;
  std::map<std::string, std::string> converted;
  for (const std::string& name : files) {
    original[name] = to_windows ? linux_form(name) : windows_form(name);
    converted[name] = to_windows ? windows_form(name) : linux_form(name);
    write_file(folder / name, original[name]);
    if (c.earlier_backups) write_file(folder / (name + "-bak"), "earlier");
  }
  const auto run = [&] {
    std::ostringstream out;
    std::ostringstream err;
    const int status =
        run_conversion(windir, linuxdir, "linux", c.modo, out, err);
    return std::tuple{status, out.str() + err.str()};
  };

  PowerCuts cuts(folder);
  {
    RecordedCalls calls;
    fail_calls(*calls.operator->(), c.failing);
    calls->before = [&](const std::string&) { cuts.cut(); };
    calls->after = [&](const std::string& entry, int fd) {
      cuts.after(entry, fd);
    };
    EXPECT_EQ(std::get<0>(run()), c.status);
    cuts.cut();
    EXPECT_FALSE(cuts.pending()) << "the run ended with work not on disk";
  }
  ASSERT_GT(cuts.states().size(), 20u);
  std::cout << cuts.states().size() << " states after a power cut checked ("
            << c.label << ")\n";

  // The next runs need not put their work on disk.
  const posix::Calls real = posix::calls();
  posix::calls().fsync = [](int) { return 0; };
  posix::calls().fdatasync = [](int) { return 0; };
  int faulty = 0;  // states that broke a promise; a few are enough to see
  for (const Disk& disk : cuts.states()) {
    if (faulty > 3) break;
    lay_out(folder, disk);
    const auto [status, said] = run();
    const Disk after = read_disk(folder);
    bool sound = true;
    for (const std::string& name : files) {
      const std::string& was = original[name];
      const bool kept = disk.holds(name, was) || disk.holds(name + "-bak", was);
      const bool marked = disk.holds(name, was) ||
                          disk.holds(name, converted[name]) ||
                          disk.has(name + "-bak-in-corso");
      const bool still =
          after.holds(name, was) || after.holds(name + "-bak", was);
      const bool trusted = after.holds(name, converted[name]) || status != 0;
      EXPECT_TRUE(kept) << name << ": a power cut lost the original";
      EXPECT_TRUE(marked) << name
                          << ": a power cut left a torn file without its mark";
      EXPECT_TRUE(still) << name << ": the next run lost the original\n"
                         << said;
      EXPECT_TRUE(trusted)
          << name << ": the next run said it was done over a torn file\n"
          << said;
      sound &= kept && marked && still && trusted;
    }
    faulty += sound ? 0 : 1;
  }
  posix::calls() = real;
}

INSTANTIATE_TEST_SUITE_P(
    EveryCall, PowerCutTest,
    ::testing::Values(
        CrashCase{"to Windows, the text grows", "win", false, "", 0},
        CrashCase{"to Linux, the text shrinks", "linux", false, "", 0},
        CrashCase{"over the backups of an earlier run", "win", true, "", 0},
        CrashCase{"a failed sync, the original put back", "win", false,
                  "fdatasync prefs.js w", 1}),
    [](const auto& info) { return std::to_string(info.index); });

// Three pieces of a megabyte each, and then some: the rewrite takes several
// writes, and the result is longer than the original.
const std::string kOriginal(3 * (1 << 20) + 100, 'x');
const std::string kConverted(2 * kOriginal.size(), 'y');

class WritePathTest : public ::testing::Test {
 protected:
  // Converts a.txt (every x becomes yy) with the calls recorded; returns
  // what write() said.
  bool convert() {
    write_file(dir_ / "a.txt", kOriginal);
    File file((dir_ / "a.txt").c_str());
    EXPECT_EQ(file.state(), kReady);
    file.replace("x", "yy", 0);
    const bool written = file.write();
    state_ = file.state();
    return written;
  }

  ScopedTempDir dir_;
  FileState state_ = kReady;
};

TEST_F(WritePathTest, EachFailingCallLeavesTheOriginalOnDisk) {
  const struct {
    // The calls to fail, each once ("write a.txt w#2": the second), with the
    // errno.
    std::string fail;
    int code;
    FileState state;
    const char* file;  // "original" or "converted"; nullptr: not known
    const char* kept;  // what else is left: "bak" (the backup), "bak mark"
  } cases[] = {
      // A file that may not be written gets no backup.
      {"open a.txt w", EACCES, kNotWritable, "original", ""},
      {"fdatasync a.txt-bak w", EIO, kBackupFailed, "original", ""},
      {"close a.txt-bak w", EIO, kBackupFailed, "original", ""},
      {"fsync dir", EIO, kBackupFailed, "original", "bak"},
      // No mark, or no mark on disk: no rewrite.
      {"link a.txt-bak;open a.txt-bak-in-corso w", EPERM, kWriteFailed,
       "original", "bak"},
      {"fsync dir#2", EIO, kWriteFailed, "original", "bak"},
      {"fallocate a.txt w", ENOSPC, kWriteFailed, "original", "bak"},
      // Part of the new content is in when the disk fails, or all of it but
      // not on disk, or it is closed with an error: the original is put
      // back from the backup, on disk, before the mark goes.
      {"write a.txt w#2", EIO, kWriteFailed, "original", "bak"},
      {"fdatasync a.txt w", EIO, kWriteFailed, "original", "bak"},
      {"close a.txt w", EIO, kWriteFailed, "original", "bak"},
      // Where it cannot be put back, the mark stays, a second name of the
      // backup, or an empty file where there are no hard links.
      {"write a.txt w#2;copy a.txt w", EIO, kWriteFailed, nullptr, "bak mark"},
      {"link a.txt-bak;write a.txt w#2;copy a.txt w", EPERM, kWriteFailed,
       nullptr, "bak mark"},
      {"close a.txt w;open a.txt w#2", EIO, kWriteFailed, nullptr, "bak mark"},
      // The file is converted and on disk, but the mark cannot go, or its
      // going is not on disk: said, not passed over.
      {"unlink a.txt-bak-in-corso", EIO, kMarkStuck, "converted", "bak mark"},
      {"fsync dir#3", EIO, kMarkStuck, "converted", "bak"},
      // Calls the run can do without.
      {"copy a.txt-bak w", EXDEV, kWritten, "converted", "bak"},
      {"fallocate a.txt w", EOPNOTSUPP, kWritten, "converted", "bak"},
      {"flock a.txt", ENOLCK, kWritten, "converted", "bak"},
  };
  const fs::path backup = dir_ / "a.txt-bak";
  const fs::path mark = dir_ / "a.txt-bak-in-corso";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fail);
    fs::remove(backup);
    fs::remove(mark);
    RecordedCalls calls;
    fail_calls(*calls.operator->(), c.fail);
    calls->code = c.code;
    EXPECT_EQ(convert(), c.state == kWritten);
    EXPECT_EQ(state_, c.state);
    const std::string now = read_file(dir_ / "a.txt");
    if (c.file != nullptr) {
      EXPECT_EQ(now == kOriginal    ? "original"
                : now == kConverted ? "converted"
                                    : "other",
                std::string(c.file));
    }
    EXPECT_EQ(std::string(fs::exists(backup) ? "bak" : "") +
                  (fs::exists(mark) ? " mark" : ""),
              c.kept);
    if (fs::exists(backup)) EXPECT_EQ(read_file(backup), kOriginal);
  }
  // Whatever stands at the backup path and is no plain file of its own is
  // refused before it is opened: opening a device can have effects.
  fs::remove(backup);
  make_entry(Entry::kFifo, backup);
  RecordedCalls calls;
  EXPECT_FALSE(convert());
  EXPECT_EQ(state_, kBackupFailed);
  EXPECT_EQ(std::ranges::count(calls->log, "open a.txt-bak w"), 0);
}

// Changes made from outside between the reading and the writing, or at the
// worst moments of the write: the file is left as the change left it. A
// folder swapped for a link changes nothing: the file is reached through the
// folder held open.
TEST_F(WritePathTest, AFileChangedWhileItWasConvertedIsLeftAsItIs) {
  const fs::path folder = dir_ / "p";
  const fs::path file = folder / "a.txt";
  const fs::path real = dir_ / "real";
  const fs::path elsewhere = dir_ / "elsewhere";
  const auto replace_by_rename = [&] {
    write_file(folder / "new", "new text");
    fs::rename(folder / "new", file);
  };
  const auto swap_folder = [&] {
    fs::rename(folder, real);
    fs::create_symlink(elsewhere, folder);
  };
  const struct {
    const char* label;
    const char* at;  // the call before which it changes; nullptr: before
    std::function<void()> change;
    bool written = false;  // converted all the same, where it was read
  } cases[] = {
      {"replaced by rename", nullptr, replace_by_rename},
      {"written in place", nullptr,
       [&] { write_file(file, read_file(file) + "new text"); }},
      // Within the same second, its times set back: only the time of the
      // change of status tells.
      {"written in place, same size and times", nullptr,
       [&] {
         const struct stat before = stat_of(file);
         write_file(file, "z");
         const timespec times[2] = {before.st_atim, before.st_mtim};
         ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
       }},
      {"removed", nullptr, [&] { fs::remove(file); }},
      {"file replaced while written", "write a.txt w", replace_by_rename},
      {"folder swapped for a link before the backup", "open a.txt-bak w",
       swap_folder, true},
      {"folder swapped for a link while written", "write a.txt w", swap_folder,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    for (const fs::path& each : {folder, real, elsewhere}) fs::remove_all(each);
    fs::create_directory(folder);
    fs::create_directory(elsewhere);
    write_file(file, "x");
    std::string changed;  // what the path holds after the change
    const auto change = [&] {
      c.change();
      changed = fs::exists(file) ? read_file(file) : "";
    };
    RecordedCalls calls;
    calls->before = [&, done = false](const std::string& entry) mutable {
      if (c.at == nullptr || entry != c.at || done) return;
      done = true;
      change();
    };
    File loaded(file.c_str());
    loaded.replace("x", "yy", 0);
    if (c.at == nullptr) change();
    EXPECT_EQ(loaded.write(), c.written);
    EXPECT_EQ(loaded.state(), c.written ? kWritten : kChanged);
    EXPECT_EQ(fs::exists(file) ? read_file(file) : "", changed);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    // The file as read stays in its folder, converted or not; a backup made
    // before the change holds it as it was read.
    const fs::path home = fs::exists(real) ? real : folder;
    if (c.written) EXPECT_EQ(read_file(home / "a.txt"), "yy");
    const fs::path backup = home / "a.txt-bak";
    EXPECT_EQ(fs::exists(backup) ? read_file(backup) : "none",
              c.at == nullptr ? "none" : "x");
  }
}

// The folder of the profile is opened once: swapped for a link to another
// profile between the two files, it cannot lead the second one there.
TEST_F(WritePathTest, AFolderSwappedBetweenTheFilesLeadsNowhereElse) {
  const fs::path folder = dir_ / "profile";
  const fs::path moved = dir_ / "moved";
  const fs::path other = dir_ / "other";
  fs::create_directory(folder);
  fs::create_directory(other);
  const std::string linuxdir = folder.string() + "/";
  const std::string prefs =
      "user_pref(\"mail.newsrc_root\", \"" + linuxdir + "News\");";
  write_file(folder / "panacea.dat", "<(80 (1=" + linuxdir + "Mail)");
  write_file(folder / "prefs.js", prefs);
  write_file(other / "prefs.js", prefs);
  RecordedCalls calls;
  calls->before = [&](const std::string& entry) {
    if (entry != "close panacea.dat" || fs::exists(moved)) return;
    fs::rename(folder, moved);
    fs::create_directory_symlink(other, folder);
  };
  std::ostringstream out;
  std::ostringstream err;
  EXPECT_EQ(run_conversion("d:\\p\\", linuxdir, "linux", "win", out, err), 0)
      << err.str();
  EXPECT_EQ(read_file(moved / "prefs.js"),
            "user_pref(\"mail.newsrc_root\", \"d:\\\\p\\\\News\");");
  EXPECT_EQ(read_file(moved / "prefs.js-bak"), prefs);
  EXPECT_EQ(list_dir(other), Names{"prefs.js"});
  EXPECT_EQ(read_file(other / "prefs.js"), prefs);
}

// Ctrl-C, a hang-up, a shutdown or SIGQUIT while the file is half written
// takes effect once it is whole again and its mark gone; during the backup,
// which needs no such care, at once.
TEST_F(WritePathTest, TerminationWaitsOnlyWhileTheFileIsHalfWritten) {
  static std::uintmax_t size_when_signalled = 0;
  static bool marked_when_signalled = true;
  static const fs::path* folder = nullptr;
  folder = &dir_.path();
  for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
    for (const char* at : {"copy a.txt-bak w", "write a.txt w"}) {
      SCOPED_TRACE(std::string(strsignal(signal)) + " at " + at);
      struct sigaction handler {};
      handler.sa_handler = [](int) {
        size_when_signalled = fs::file_size(*folder / "a.txt");
        marked_when_signalled = fs::exists(*folder / "a.txt-bak-in-corso");
      };
      struct sigaction before {};
      ASSERT_EQ(sigaction(signal, &handler, &before), 0);
      size_when_signalled = 0;
      {
        RecordedCalls calls;
        calls->before = [&](const std::string& entry) {
          if (entry == at) raise(signal);
        };
        EXPECT_TRUE(convert());
      }
      sigaction(signal, &before, nullptr);
      EXPECT_EQ(size_when_signalled, std::string(at) == "write a.txt w"
                                         ? kConverted.size()
                                         : kOriginal.size());
      EXPECT_FALSE(marked_when_signalled);
      fs::remove(dir_ / "a.txt-bak");
    }
  }
}

}  // namespace
}  // namespace gemmel::testing
