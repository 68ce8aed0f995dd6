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
#include "crash_model.h"
#include "profile/file.h"
#include "profile/posix_io.h"
#include "support.h"

namespace gemmel::testing {
namespace {

using enum FileState;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

// One step of a run, named by its call and, where the call is made more
// than once, by the Nth of them ("write a.txt w#2", the second piece) or by
// the call it follows ("fsync dir after rename a.txt-nuovo").
class Step {
 public:
  explicit Step(std::string named) {
    const std::size_t after = named.find(" after ");
    if (after != std::string::npos) after_ = named.substr(after + 7);
    named.resize(std::min(after, named.size()));
    const std::size_t hash = named.find('#');
    if (hash != std::string::npos)
      skip_ = std::stoi(named.substr(hash + 1)) - 1;
    call_ = named.substr(0, hash);
    followed_ = after_.empty();
  }
  // True for the call that is the step, once.
  bool reached(const std::string& entry) {
    if (!followed_) {
      followed_ = entry == after_;
      return false;
    }
    return entry == call_ && skip_-- == 0;
  }

 private:
  std::string call_;
  std::string after_;
  int skip_ = 0;
  bool followed_ = true;
};

// What the calls did, each as "<call> <file>", where the file is the name
// opened or looked up ("a.txt-bak"), followed by " w" where it was opened
// for writing, or "dir" for a directory.
struct Recorder {
  std::vector<std::string> log;
  std::map<int, std::string> names;
  std::vector<Step> fail;  // the steps that fail, each once
  int code = EIO;          // the errno of the failures
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
    bool failing = false;
    for (Step& step : fail) failing |= step.reached(entry);
    if (failing) errno = code;
    return failing;
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

// The call `member` recorded as `name` and the file of its argument `arg`:
// a descriptor, or a name in a folder.
template <Name name, std::size_t arg, auto member,
          typename = std::remove_reference_t<
              decltype(std::declval<posix::Calls&>().*member)>>
struct Recorded;
template <Name name, std::size_t arg, auto member, typename R, typename... A>
struct Recorded<name, arg, member, R (*)(A...)> {
  static R call(A... args) {
    const auto file = std::get<arg>(std::tuple<A...>(args...));
    int fd = -1;
    std::string entry = std::string(name.text) + " ";
    if constexpr (std::is_same_v<decltype(file), const char* const>) {
      entry += file;
    } else {
      fd = file;
      entry += recorder->names[fd];
    }
    if (recorder->fails(entry)) return -1;
    return recorder->done(entry, fd, (recorder->real.*member)(args...));
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
    using posix::Calls;
    calls.fsync = Recorded<"fsync", 0, &Calls::fsync>::call;
    calls.fdatasync = Recorded<"fdatasync", 0, &Calls::fdatasync>::call;
    calls.pwrite = Recorded<"write", 0, &Calls::pwrite>::call;
    calls.syncfs = Recorded<"syncfs", 0, &Calls::syncfs>::call;
    calls.fstatat = Recorded<"stat", 1, &Calls::fstatat>::call;
    calls.linkat = Recorded<"link", 1, &Calls::linkat>::call;
    calls.renameat2 = Recorded<"rename", 1, &Calls::renameat2>::call;
    calls.unlinkat = Recorded<"unlink", 1, &Calls::unlinkat>::call;
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

// Sets the failures of `recorder` from "step;step;...".
void fail_calls(Recorder& recorder, const std::string& failing) {
  for (const auto piece : std::views::split(failing, ';')) {
    recorder.fail.emplace_back(std::string(piece.begin(), piece.end()));
  }
}

// A profile in Linux form and in Windows form, written out here rather than
// made by the program: every Linux folder /<folder>/ is d:\p\ under Windows.
// prefs.js holds a path of more than a block of separators, so that it grows
// from two blocks to three on its way to Windows.
std::string profile_text(const std::string& name, const std::string& folder,
                         const std::string& separator) {
  if (name == "panacea.dat") {
    return "// <!-- <mdb:mork:z v=\"1.4\"/> -->\n(1=" + folder +
           "Trash)<(80 (2=" + folder + "Inbox" + separator + "sub)\n";
  }
  std::string text = "user_pref(\"mail.newsrc_root\", \"" + folder + "News";
  for (int piece = 0; piece < 1100; ++piece) {
    text += separator + "x" + separator + "y z";
  }
  return text + "\");\n";
}

struct CrashCase {
  const char* label;
  const char* modo;
  bool earlier_backups;  // backups of an earlier run are there
  const char* failing;   // steps that fail once, or ""
  int code;              // their errno
  int status;            // of the run
};
void PrintTo(const CrashCase& c, std::ostream* os) { *os << c.label; }

class PowerCutTest : public ::testing::TestWithParam<CrashCase> {};

// At every call of a run, a power cut: each file's name holds its original
// or its whole conversion, never a part, and its backup an older backup or
// the original, whole; the original is in one of them. The next run of the
// same command on what is left converts the files or finds nothing to do,
// never refuses, and removes what a cut left that is a plain file of its
// own. When the run ends, all it did is on disk.
TEST_P(PowerCutTest, LeavesNoTornStateAndANextRunThatConverts) {
  const CrashCase& c = GetParam();
  ScopedTempDir dir;
  const fs::path folder = dir / "profile";
  fs::create_directory(folder);
  // A profile the browser has opened holds its lock file.
  write_file(folder / ".parentlock", "");
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
    calls->code = c.code;
    calls->before = [&](const std::string&) { cuts.cut(); };
    calls->after = [&](const std::string& entry, int fd) {
      cuts.after(entry, fd);
    };
    EXPECT_EQ(std::get<0>(run()), c.status);
    // A run that fails here fails before either file is put in place.
    for (const std::string& name : files) {
      if (c.status != 0) EXPECT_EQ(read_file(folder / name), original[name]);
    }
    cuts.cut();
    EXPECT_FALSE(cuts.pending()) << "the run ended with work not on disk";
  }
  ASSERT_GT(cuts.states().size(), 10u);
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
    bool sound = status == 0;
    EXPECT_EQ(status, 0) << "the next run refused\n" << said;
    for (const std::string& name : files) {
      const std::string& was = original[name];
      const std::string backup = name + "-bak";
      const bool whole =
          disk.holds(name, was) || disk.holds(name, converted[name]);
      const bool backed = !disk.has(backup) || disk.holds(backup, was) ||
                          disk.holds(backup, "earlier");
      const bool kept = disk.holds(name, was) || disk.holds(backup, was);
      const bool done =
          after.holds(name, converted[name]) && after.holds(backup, was);
      EXPECT_TRUE(whole) << name << ": a power cut left a torn file";
      EXPECT_TRUE(backed) << name << ": a power cut left a torn backup";
      EXPECT_TRUE(kept) << name << ": a power cut lost the original";
      EXPECT_TRUE(done) << name << ": the next run did not convert\n" << said;
      sound &= whole && backed && kept && done;
      for (const std::string& left : {name + "-nuovo", backup + "-parziale"}) {
        const auto found = disk.names.find(left);
        if (found == disk.names.end()) continue;
        // One name, or a second name of the file itself or of its backup.
        const auto names = [&](const std::string& other) {
          return disk.has(other) && disk.names.at(other) == found->second;
        };
        const bool own =
            std::ranges::count_if(disk.names,
                                  [&](const auto& n) {
                                    return n.second == found->second;
                                  }) == 1 ||
            names(name) || names(backup);
        EXPECT_EQ(after.has(left), !own) << left;
        sound &= after.has(left) != own;
      }
    }
    faulty += sound ? 0 : 1;
  }
  posix::calls() = real;
}

INSTANTIATE_TEST_SUITE_P(
    EveryCall, PowerCutTest,
    ::testing::Values(
        CrashCase{"to Windows, the text grows", "win", false, "", 0, 0},
        CrashCase{"to Linux, the text shrinks", "linux", false, "", 0, 0},
        CrashCase{"over the backups of an earlier run", "win", true, "", 0, 0},
        CrashCase{"a failed sync of the new file", "win", false,
                  "fdatasync prefs.js-nuovo w", EIO, 1},
        // exFAT and FAT: each backup is a copy.
        CrashCase{"no hard links", "win", true,
                  "link panacea.dat;link prefs.js", EPERM, 0},
        // A full disk for the second copy: found before either file is put
        // in place.
        CrashCase{
            "no hard links, no room for the second backup", "win", true,
            "link panacea.dat;link prefs.js;write prefs.js-bak-parziale w",
            EPERM, 1}),
    [](const auto& info) {
      std::string name;
      for (const char c : std::string_view(info.param.label)) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0) name += c;
      }
      return name;
    });

// Three pieces of a megabyte each, and then some: the rewrite takes several
// writes, and the result is longer than the original.
const std::string kOriginal(3 * (1 << 20) + 100, 'x');
const std::string kConverted(2 * kOriginal.size(), 'y');

class WritePathTest : public ::testing::Test {
 protected:
  // Converts a.txt (every x becomes yy) with the calls recorded, reaching
  // it through a folder held only for its names where `readable` is false;
  // returns what write() said.
  bool convert(bool readable = true) {
    write_file(dir_ / "a.txt", kOriginal);
    const posix::Descriptor folder(
        readable ? -1
                 : open(dir_.path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    File file((dir_ / "a.txt").c_str(), "", folder.get(), readable);
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
    // The steps that fail, each once, with the errno.
    std::string fail;
    int code;
    FileState state;
    const char* file;      // "original" or "converted"
    const char* kept;      // "bak" where the backup holds the original
    bool readable = true;  // the folder can be opened for reading
    // What an earlier run left: "new" or "partial" (a plain file), "new
    // link" or "partial link" (a link planted at the name).
    std::string leftover = "";
  } cases[] = {
      // No new file, or no whole one on disk: the file is not changed.
      {"open a.txt-nuovo w", EIO, kNotWritten, "original", ""},
      {"write a.txt-nuovo w#2", ENOSPC, kNotWritten, "original", ""},
      {"fdatasync a.txt-nuovo w", EIO, kNotWritten, "original", ""},
      {"close a.txt-nuovo w", EIO, kNotWritten, "original", ""},
      // No backup, or no whole one: nothing at its name, no partial copy.
      {"open a.txt-bak", EIO, kBackupFailed, "original", ""},
      {"link a.txt", EIO, kBackupFailed, "original", ""},
      {"link a.txt;fdatasync a.txt-bak-parziale w", EPERM, kBackupFailed,
       "original", ""},
      {"rename a.txt-bak-parziale", EIO, kBackupFailed, "original", ""},
      // Linked but not held (no descriptor left): the name goes all the same.
      {"open a.txt-bak-parziale", EMFILE, kBackupFailed, "original", ""},
      // The backup's new name is not on disk: the file is not changed.
      {"fsync dir after rename a.txt-bak-parziale", EIO, kNotWritten,
       "original", "bak"},
      {"syncfs a.txt-bak after rename a.txt-bak-parziale", EIO, kNotWritten,
       "original", "bak", false},
      {"rename a.txt-nuovo", EIO, kNotWritten, "original", "bak"},
      // Converted, but not known to be on disk: said, not passed over.
      {"fsync dir after rename a.txt-nuovo", EIO, kNotDurable, "converted",
       "bak"},
      // What a cut-off run left goes; a link at its name is never followed.
      {"", 0, kWritten, "converted", "bak", true, "new"},
      {"", 0, kWritten, "converted", "bak", true, "partial"},
      {"", 0, kNotWritten, "original", "", true, "new link"},
      {"", 0, kBackupFailed, "original", "", true, "partial link"},
      // Calls the run can do without: no hard links here, or no locks.
      {"link a.txt", EPERM, kWritten, "converted", "bak"},
      {"link a.txt", EXDEV, kWritten, "converted", "bak"},
      {"flock a.txt", ENOLCK, kWritten, "converted", "bak"},
      {"fsync dir", EINVAL, kWritten, "converted", "bak"},
  };
  const fs::path backup = dir_ / "a.txt-bak";
  const fs::path elsewhere = dir_ / "elsewhere";
  write_file(elsewhere, "not yours");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fail + c.leftover);
    for (const char* each :
         {"a.txt", "a.txt-bak", "a.txt-nuovo", "a.txt-bak-parziale"}) {
      fs::remove(dir_ / each);
    }
    const bool link = c.leftover.ends_with(" link");
    const fs::path left =
        dir_ /
        (c.leftover.starts_with("new") ? "a.txt-nuovo" : "a.txt-bak-parziale");
    if (link) make_entry(Entry::kSymlink, left, elsewhere);
    if (!c.leftover.empty() && !link) write_file(left, "cut sh");
    RecordedCalls calls;
    fail_calls(*calls.operator->(), c.fail);
    calls->code = c.code;
    EXPECT_EQ(convert(c.readable), c.state == kWritten);
    EXPECT_EQ(state_, c.state);
    const std::string now = read_file(dir_ / "a.txt");
    EXPECT_EQ(now == kOriginal    ? "original"
              : now == kConverted ? "converted"
                                  : "other",
              std::string(c.file));
    EXPECT_EQ(fs::exists(backup) ? "bak" : "", std::string(c.kept));
    if (fs::exists(backup)) EXPECT_EQ(read_file(backup), kOriginal);
    EXPECT_EQ(list_dir(dir_.path()).size(),
              (fs::exists(backup) ? 3u : 2u) + (link ? 1u : 0u));
    EXPECT_EQ(read_file(elsewhere), "not yours");
  }
  // Whatever stands at the backup path and is no plain file of its own is
  // refused before anything is written: opening a device can have effects.
  fs::remove(backup);
  make_entry(Entry::kFifo, backup);
  RecordedCalls calls;
  EXPECT_FALSE(convert());
  EXPECT_EQ(state_, kBackupFailed);
  EXPECT_EQ(std::ranges::count(calls->log, "open a.txt-bak w"), 0);
  EXPECT_EQ(std::ranges::count(calls->log, "open a.txt-bak-parziale w"), 0);
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
  const auto write_in_place = [&] {
    write_file(file, read_file(file) + "new text");
  };
  const auto replace_backup = [&] {
    write_file(folder / "theirs", "theirs");
    fs::rename(folder / "theirs", folder / "a.txt-bak");
  };
  const auto link_backup_elsewhere = [&] {
    fs::remove(folder / "a.txt-bak");
    make_entry(Entry::kHardLink, folder / "a.txt-bak", elsewhere / "kept");
  };
  const struct {
    const char* label;
    const char* at;  // the step before which it changes; nullptr: before
    std::function<void()> change;
    FileState state = kChanged;
    const char* backup = "none";  // what a.txt-bak holds afterwards
    const char* written = "yy";   // what a written a.txt holds
    const char* fail = "";        // steps that fail with EPERM
    bool backed_up = false;       // a.txt-bak is a second name of a.txt, as a
                                  // run cut off after the backup leaves it
  } cases[] = {
      {"replaced by rename", nullptr, replace_by_rename},
      {"written in place", nullptr, write_in_place},
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
      {"replaced while the new file is written", "write a.txt-nuovo w",
       replace_by_rename},
      // Found once the backup is linked, before it replaces the old one.
      {"written in place as the backup is made", "link a.txt", write_in_place},
      // The last look before the rename: a newer file is never replaced.
      {"replaced once the backup is made", "stat a.txt after fsync dir",
       replace_by_rename, kChanged, "x"},
      // Another run renames its new file over the path between this run's
      // open and its lock: this run converts the file the path now names.
      {"replaced by another run before the lock", "flock a.txt",
       [&] {
         write_file(folder / "new", "x.x");
         fs::rename(folder / "new", file);
       },
       kWritten, "x.x", "yy.yy"},
      // Another file put at the backup's name meanwhile is not replaced.
      {"backup replaced before it is replaced",
       "stat a.txt-bak after link a.txt",
       [&] {
         write_file(folder / "theirs", "theirs");
         fs::rename(folder / "theirs", folder / "a.txt-bak");
       },
       kBackupFailed, "theirs"},
      // The backup's name made a second name of another file while the new
      // backup was made: it is not replaced.
      {"backup linked elsewhere before it is replaced",
       "stat a.txt-bak after link a.txt", link_backup_elsewhere, kBackupFailed,
       "elsewhere"},
      // The backup made, or found to be the original itself, replaced
      // before the file is: the original keeps its name.
      {"backup replaced once it is made",
       "fsync dir after rename a.txt-bak-parziale", replace_backup,
       kBackupFailed, "theirs"},
      {"backup that is the original replaced before it is relied on",
       "fsync dir after open a.txt-bak", replace_backup, kBackupFailed,
       "theirs", "", "", true},
      // Another run's file at the partial name, once this one's was
      // removed: it is neither renamed nor removed.
      {"partial backup replaced before it is renamed",
       "stat a.txt-bak-parziale after link a.txt",
       [&] {
         fs::remove(folder / "a.txt-bak-parziale");
         write_file(folder / "theirs", "theirs");
         fs::rename(folder / "theirs", folder / "a.txt-bak-parziale");
       },
       kBackupFailed},
      // Or between the link and the look at what it made: that file is
      // another's, and stays.
      {"partial backup replaced before it is held",
       "open a.txt-bak-parziale after link a.txt",
       [&] {
         fs::remove(folder / "a.txt-bak-parziale");
         write_file(folder / "a.txt-bak-parziale", "theirs");
       }},
      // Without hard links the partial backup is a copy: another file put
      // at its name gets the number of its inode where that inode is
      // freed, and is still neither renamed nor removed.
      {"partial copy replaced by a file that reuses its inode number",
       "stat a.txt-bak-parziale after close a.txt-bak-parziale w",
       [&] {
         fs::remove(folder / "a.txt-bak-parziale");
         write_file(folder / "a.txt-bak-parziale", "theirs");
       },
       kBackupFailed, "none", "", "link a.txt"},
      {"folder swapped for a link before the backup", "link a.txt", swap_folder,
       kWritten, "x"},
      {"folder swapped for a link while written", "write a.txt-nuovo w",
       swap_folder, kWritten, "x"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    for (const fs::path& each : {folder, real, elsewhere}) fs::remove_all(each);
    fs::create_directory(folder);
    fs::create_directory(elsewhere);
    write_file(file, "x");
    write_file(folder / "a.txt-bak", "none");
    if (c.backed_up) {
      fs::remove(folder / "a.txt-bak");
      fs::create_hard_link(file, folder / "a.txt-bak");
    }
    write_file(elsewhere / "kept", "elsewhere");
    std::string changed;  // what the path holds after the change
    bool theirs = false;  // another's file stands at the partial name
    const auto change = [&] {
      c.change();
      changed = fs::exists(file) ? read_file(file) : "";
      theirs = fs::exists(folder / "a.txt-bak-parziale") &&
               read_file(folder / "a.txt-bak-parziale") == "theirs";
    };
    RecordedCalls calls;
    fail_calls(*calls.operator->(), c.fail);
    calls->code = EPERM;
    Step at(c.at == nullptr ? "" : c.at);
    calls->before = [&](const std::string& entry) {
      if (c.at != nullptr && at.reached(entry)) change();
    };
    File loaded(file.c_str());
    loaded.replace("x", "yy", 0);
    if (c.at == nullptr) change();
    EXPECT_EQ(loaded.write(), c.state == kWritten);
    EXPECT_EQ(loaded.state(), c.state);
    if (c.state != kWritten) {
      EXPECT_EQ(fs::exists(file) ? read_file(file) : "", changed);
    }
    EXPECT_EQ(list_dir(elsewhere), Names{"kept"});
    EXPECT_EQ(read_file(elsewhere / "kept"), "elsewhere");
    // The file as read stays in its folder, converted or not; a backup made
    // before the change holds it as it was read.
    const fs::path home = fs::exists(real) ? real : folder;
    if (c.state == kWritten) EXPECT_EQ(read_file(home / "a.txt"), c.written);
    EXPECT_EQ(read_file(home / "a.txt-bak"), c.backup);
    EXPECT_FALSE(fs::exists(home / "a.txt-nuovo"));
    EXPECT_EQ(fs::exists(home / "a.txt-bak-parziale"), theirs);
    if (theirs) EXPECT_EQ(read_file(home / "a.txt-bak-parziale"), "theirs");
  }
  // A file that another program puts at the path while a rename cut off
  // earlier is finished is not replaced, also where the disk cannot refuse
  // to replace in a rename (ntfs-3g and other FUSE ones).
  for (const char* at : {"rename a.txt-nuovo", "link a.txt-nuovo"}) {
    SCOPED_TRACE(at);
    for (const fs::path& each : {folder, real}) fs::remove_all(each);
    fs::create_directory(folder);
    write_file(folder / "a.txt-bak", "x");
    write_file(folder / "a.txt-nuovo", "yy");
    RecordedCalls calls;
    if (std::string(at).starts_with("link"))
      fail_calls(*calls.operator->(), "rename a.txt-nuovo");
    calls->code = EINVAL;
    calls->before = [&](const std::string& entry) {
      if (entry == at) write_file(file, "newer");
    };
    File loaded(file.c_str());
    EXPECT_FALSE(loaded.finish_cut_off_rename(
        [](const Text&) { return std::optional<Text>("yy"); }));
    EXPECT_EQ(read_file(file), "newer");
    EXPECT_EQ(read_file(folder / "a.txt-nuovo"), "yy");
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

}  // namespace
}  // namespace gemmel::testing
