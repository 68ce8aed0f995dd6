// Every fault that can be made real here, run through the built program: the
// messages, the status, the promise that the original content of each
// profile file is still complete on disk, in the file or in its backup, and
// that a file refused before anything is written leaves the other as it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/run.h"
#include "profile/posix_io.h"
#include "support.h"

namespace gemmel::testing {
namespace {

namespace fs = std::filesystem;
using enum Entry;
using Names = std::vector<std::string>;

const std::string kEscaped =
    "d:\\\\documenti\\\\mozilla\\\\default\\\\asd6dhre.slt\\\\";
const std::string kCannotRead = "Impossibile leggere il file";
const std::string kCannotBackUp =
    "Impossibile scrivere la copia di sicurezza, file non modificato";
const std::string kNotWritable =
    "Impossibile scrivere il file, file non modificato";
const std::string kChanged =
    "Il file e' cambiato durante la conversione, file non modificato";
const std::string kInterrupted =
    "Conversione precedente interrotta, l'originale e' in";
const std::string kNothingChanged =
    "Nessun file modificato: il profilo resta com'era\n";

bool is_root() { return geteuid() == 0; }

// Takes, without waiting, the lock that a running browser holds on its
// profile's .parentlock: the descriptor that holds it, or -1.
int lock_as_the_browser(const char* path) {
  const int fd = open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  if (fd >= 0 && fcntl(fd, F_SETLK, &whole) == 0) return fd;
  if (fd >= 0) close(fd);
  return -1;
}

// Whether a process other than this one could take that lock now.
bool another_process_may_lock(const char* path) {
  const pid_t pid = fork();
  if (pid == 0) _exit(lock_as_the_browser(path) >= 0 ? 0 : 1);
  int status = 1;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Unmounts, when it goes, a folder mounted for a test.
class Unmount {
 public:
  Unmount(fs::path at, bool mounted) : at_(std::move(at)), mounted_(mounted) {}
  Unmount(const Unmount&) = delete;
  Unmount& operator=(const Unmount&) = delete;
  ~Unmount() {
    if (mounted_) umount2(at_.c_str(), MNT_DETACH);
  }

 private:
  fs::path at_;
  bool mounted_;
};

// A Linux-form profile in its own folder, converted to Windows form with the
// profile opened under its Linux path.
class FaultTest : public ::testing::Test {
 protected:
  // A quote in the folder's name, which a message must give as it is.
  FaultTest() : folder_(dir_ / "profil'o"), linuxdir_(folder_.string() + "/") {
    fresh_folder();
  }
  void fresh_folder() {
    fs::remove_all(folder_);
    fs::create_directory(folder_);
    fs::permissions(folder_, fs::perms::all);
  }

  // Each file's content before and after the conversion.
  std::string original(const std::string& name) const {
    if (name == "prefs.js") {
      return "pref(\"mail.newsrc_root\", \"" + linuxdir_ + "News/a/b/c/d\");\n";
    }
    return "(1=" + linuxdir_ + "a)<(80 (2=" + linuxdir_ + "b/c)";
  }
  static std::string converted(const std::string& name) {
    if (name == "prefs.js") {
      return "pref(\"mail.newsrc_root\", \"" + kEscaped +
             "News\\\\a\\\\b\\\\c\\\\d\");\n";
    }
    return "(1=" + kEscaped + "a)<(80 (2=" + kEscaped + "b\\\\c)";
  }
  std::string prefs() const { return original("prefs.js"); }
  void write_profile() {
    for (const char* name : {"panacea.dat", "prefs.js"}) {
      write_file(folder_ / name, original(name));
    }
  }
  std::string path(const std::string& name) const { return linuxdir_ + name; }
  static std::string quoted(const std::string& text) {
    return "'" + replace_all(text, "'", "'\\''") + "'";
  }
  std::string read(const std::string& name) const {
    return read_file(folder_ / name);
  }
  // The names in the folder but the browser's lock file, which every run
  // that finds prefs.js leaves.
  Names files() const {
    Names names = list_dir(folder_);
    std::erase(names, ".parentlock");
    return names;
  }

  // The file converted, its original in the backup.
  void expect_converted(const std::string& name) const {
    EXPECT_EQ(read(name), converted(name));
    EXPECT_EQ(read(name + "-bak"), original(name));
  }

  RunResult convert(RunOptions options = {}) {
    options.cwd = dir_.path();
    return run_gemmel({kExampleWindir, linuxdir_, "linux", "win"}, options);
  }

  ScopedTempDir dir_;
  const fs::path folder_;
  const std::string linuxdir_;
};

TEST_F(FaultTest, MissingFilesAndFolders) {
  // A folder that does not exist: prefs.js is reported, the optional
  // panacea.dat is not, and nothing is created.
  const std::string absent = (dir_ / "absent").string() + "/";
  EXPECT_EQ(run_gemmel({kExampleWindir, absent, "linux", "win"},
                       {.cwd = dir_.path()}),
            failed(report(kCannotRead, absent + "prefs.js", ENOENT) +
                   kNothingChanged));
  EXPECT_EQ(list_dir(dir_.path()), Names{folder_.filename()});

  // A profile without mail has no panacea.dat: a complete conversion.
  write_file(folder_ / "prefs.js", prefs());
  EXPECT_EQ(convert(), (RunResult{kToWindows, "", 0}));
  expect_converted("prefs.js");
  EXPECT_EQ(files(), (Names{"prefs.js", "prefs.js-bak"}));

  // Without prefs.js neither is converted, and a folder that is no profile
  // gets no lock file.
  fresh_folder();
  write_file(folder_ / "panacea.dat", original("panacea.dat"));
  EXPECT_EQ(convert(), failed(report(kCannotRead, path("prefs.js"), ENOENT) +
                              kNothingChanged));
  EXPECT_EQ(list_dir(folder_), Names{"panacea.dat"});
  EXPECT_EQ(read("panacea.dat"), original("panacea.dat"));
}

// Either file refused as it is read leaves the other, and the other's
// backup, as they were.
TEST_F(FaultTest, AFileThatCannotBeReadLeavesBothAsTheyWere) {
  const struct {
    const char* label;
    Entry kind;
    const char* target;
    int reason = 0;
    std::uintmax_t size = 0;  // of a sparse file, that takes no room
    std::string refused = "panacea.dat";
  } cases[] = {
      {"a folder", kFolder, ""},
      {"a FIFO", kFifo, ""},
      // A link to a disk that is not mounted is no missing file.
      {"a dangling link", kSymlink, "nowhere", ENOENT},
      {"a link to a device", kSymlink, "/dev/null"},
      {"a file of 2 GiB", kEmptyFile, "", 0, std::uintmax_t{1} << 31},
      {"prefs.js a FIFO", kFifo, "", 0, 0, "prefs.js"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fresh_folder();
    write_profile();
    const std::string other =
        c.refused == "prefs.js" ? "panacea.dat" : "prefs.js";
    write_file(folder_ / (other + "-bak"), "earlier");
    fs::remove(folder_ / c.refused);
    make_entry(c.kind, folder_ / c.refused, c.target);
    if (c.size > 0) fs::resize_file(folder_ / c.refused, c.size);
    EXPECT_EQ(convert(), failed(report(kCannotRead, path(c.refused), c.reason) +
                                kNothingChanged));
    EXPECT_EQ(read(other), original(other));
    EXPECT_EQ(read(other + "-bak"), "earlier");
    Names names{"panacea.dat", "prefs.js", other + "-bak"};
    std::ranges::sort(names);
    EXPECT_EQ(files(), names);
    if (c.size > 0) EXPECT_EQ(fs::file_size(folder_ / c.refused), c.size);
  }
}

// Whatever stands at a backup path that is not a plain file of its own is
// refused and left as it is: the file it was for is not changed; prefs.js,
// written second, is not written after panacea.dat is refused.
TEST_F(FaultTest, BackupPathsThatAreNoPlainFileOfTheirOwnAreRefused) {
  const fs::path outside = dir_ / "outside";
  const fs::path absent = dir_ / "absent";
  const struct {
    const char* label;
    const char* refused;  // the profile file whose backup is refused
    Entry kind;
    fs::path target;  // from the profile's folder
    int reason = 0;
    // The other file is that backup itself, and is refused too.
    bool shared = false;
    bool moved = false;  // the target is moved to the backup path first
    // The other name of the run that is the backup's file, given as the
    // reason.
    const char* same_as = nullptr;
    std::string at = "-bak";  // where it stands
  } cases[] = {
      {"a folder", "prefs.js", kFolder, "", EISDIR},
      // Left alone, and named, at the name of the partial copy.
      {"a folder at the partial copy's name", "prefs.js", kFolder, "", EEXIST,
       false, false, nullptr, "-bak-parziale"},
      {"a FIFO, which must not hang the run", "prefs.js", kFifo},
      {"a link to a device", "prefs.js", kSymlink, "/dev/null"},
      {"a device (a FIFO but for root)", "prefs.js", kDevice},
      {"a link to the other profile file, written first", "panacea.dat",
       kSymlink, "prefs.js"},
      {"a hard link to the other profile file", "panacea.dat", kHardLink,
       "prefs.js", 0, true, false, "prefs.js"},
      // Two backups that are one file (a damaged volume can leave them with
      // one link each): neither is written over.
      {"a hard link to the other file's backup", "panacea.dat", kHardLink,
       "prefs.js-bak", 0, true, false, "prefs.js-bak"},
      {"a link to the file itself", "prefs.js", kSymlink, "prefs.js"},
      {"a link to a file elsewhere", "prefs.js", kSymlink, outside},
      {"a dangling link", "prefs.js", kSymlink, absent},
      {"the other profile file, which is a link to it", "panacea.dat", kSymlink,
       "prefs.js", 0, true, true, "prefs.js"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fresh_folder();
    write_profile();
    write_file(outside, "not yours");
    const std::string refused = c.refused;
    const std::string other =
        refused == "prefs.js" ? "panacea.dat" : "prefs.js";
    const fs::path planted = folder_ / (refused + c.at);
    const bool backups = c.target == "prefs.js-bak";
    if (backups) write_file(folder_ / c.target, "earlier");
    if (c.moved) {
      fs::rename(folder_ / c.target, planted);
      make_entry(c.kind, folder_ / c.target, planted);
    } else {
      make_entry(c.kind, planted, folder_ / c.target);
    }
    const fs::file_type type = fs::symlink_status(planted).type();
    const auto same_as = [&](const std::string& name) {
      return "Motivo: e' lo stesso file di " + path(name) + "\n";
    };
    // prefs.js that is another name of panacea.dat's backup is refused as
    // it is read, before any backup is made.
    EXPECT_EQ(
        convert(),
        failed(c.shared && !backups
                   ? report(kChanged, path(other)) + kNothingChanged
                   : report(kCannotBackUp, path(refused) + c.at, c.reason) +
                         (c.same_as != nullptr ? same_as(c.same_as) : "") +
                         (backups ? report(kCannotBackUp, path(c.target)) +
                                        same_as(refused + "-bak")
                                  : "") +
                         kNothingChanged));
    // Found before either file is written: the other is left as well.
    EXPECT_EQ(read(refused), original(refused));
    EXPECT_EQ(read(other), original(other));
    EXPECT_EQ(fs::is_symlink(folder_ / other), c.moved);
    EXPECT_EQ(fs::exists(folder_ / (other + "-bak")), backups);
    if (backups) EXPECT_EQ(read(c.target), "earlier");
    EXPECT_EQ(fs::symlink_status(planted).type(), type);
    // Nothing was written through a link, nor created where one pointed.
    EXPECT_EQ(read_file(outside), "not yours");
    EXPECT_FALSE(fs::exists(absent));
  }
  // A profile file that is another name of the run: the other file, which
  // both recipes would convert, or a mark, which would be taken for an
  // original and removed.
  const struct {
    const char* link;
    const char* target;
    std::string err;
  } others[] = {
      {"panacea.dat", "prefs.js",
       report(kChanged, path("panacea.dat")) +
           report(kChanged, path("prefs.js")) + kNothingChanged},
      {"prefs.js", "prefs.js-bak-in-corso",
       report(kChanged, path("prefs.js")) + kNothingChanged},
      // Its own backup or partial backup, which the write replaces or
      // removes.
      {"prefs.js", "prefs.js-bak",
       report(kChanged, path("prefs.js")) + kNothingChanged},
      {"prefs.js", "prefs.js-bak-parziale",
       report(kChanged, path("prefs.js")) + kNothingChanged},
      // A regular file at a mark's name: an earlier version's mark.
      {"prefs.js", "panacea.dat-bak-in-corso",
       report(kInterrupted, path("panacea.dat-bak")) +
           report(kChanged, path("prefs.js")) + kNothingChanged},
  };
  for (const auto& o : others) {
    SCOPED_TRACE(o.target);
    fresh_folder();
    write_profile();
    if (fs::exists(folder_ / o.target)) {
      fs::remove(folder_ / o.link);
    } else {
      fs::rename(folder_ / o.link, folder_ / o.target);
    }
    make_entry(kSymlink, folder_ / o.link, o.target);
    EXPECT_EQ(convert(), failed(o.err));
    EXPECT_TRUE(fs::is_symlink(folder_ / o.link));
    EXPECT_EQ(read(o.target), prefs());
    EXPECT_EQ(fs::exists(folder_ / "prefs.js-bak"),
              std::string(o.target) == "prefs.js-bak");
  }
}

TEST_F(FaultTest, PermissionsRefusedToAnotherUser) {
  if (!is_root()) GTEST_SKIP() << "needs root to run as another user";
  // A panacea.dat the user may write but not own would be given to the
  // user: it is left alone, and so is prefs.js, which the user may not write
  // either; an earlier backup the user could overwrite stays as it was.
  write_profile();
  write_file(folder_ / "prefs.js-bak", "an earlier original");
  ASSERT_EQ(chown((folder_ / "prefs.js-bak").c_str(), kNobody, kNobody), 0);
  fs::permissions(folder_ / "prefs.js", static_cast<fs::perms>(0644));
  fs::permissions(folder_ / "panacea.dat", static_cast<fs::perms>(0666));
  EXPECT_EQ(
      convert({.user = kNobody}),
      failed(report(kNotWritable, path("panacea.dat"), EPERM) +
             report(kNotWritable, path("prefs.js"), EACCES) + kNothingChanged));
  EXPECT_EQ(read("prefs.js"), prefs());
  EXPECT_EQ(read("prefs.js-bak"), "an earlier original");
  EXPECT_EQ(files(), (Names{"panacea.dat", "prefs.js", "prefs.js-bak"}));

  // The user's own prefs.js, read-only: no backup until the user makes it
  // writable, and panacea.dat waits for it; then the retry converts both.
  fresh_folder();
  write_profile();
  ASSERT_EQ(chown((folder_ / "prefs.js").c_str(), kNobody, kNobody), 0);
  ASSERT_EQ(chown((folder_ / "panacea.dat").c_str(), kNobody, kNobody), 0);
  fs::permissions(folder_ / "prefs.js", static_cast<fs::perms>(0444));
  EXPECT_EQ(
      convert({.user = kNobody}),
      failed(report(kNotWritable, path("prefs.js"), EACCES) + kNothingChanged));
  EXPECT_EQ(files(), (Names{"panacea.dat", "prefs.js"}));
  EXPECT_EQ(read("prefs.js"), prefs());
  fs::permissions(folder_ / "prefs.js", fs::perms::owner_write,
                  fs::perm_options::add);
  EXPECT_EQ(convert({.user = kNobody}), (RunResult{kToWindows, "", 0}));
  expect_converted("prefs.js");
  expect_converted("panacea.dat");

  // A folder the user may enter and write but not list: converted all the
  // same, its names made durable through the file system.
  fresh_folder();
  write_profile();
  for (const char* name : {"prefs.js", "panacea.dat"}) {
    ASSERT_EQ(chown((folder_ / name).c_str(), kNobody, kNobody), 0);
  }
  fs::permissions(folder_, static_cast<fs::perms>(0333));
  EXPECT_EQ(convert({.user = kNobody}), (RunResult{kToWindows, "", 0}));
  fs::permissions(folder_, fs::perms::all);
  expect_converted("prefs.js");
  expect_converted("panacea.dat");
  EXPECT_EQ(files().size(), 4u);

  // A folder the user may not write: no new file, no backup, no change.
  fs::remove(folder_ / "prefs.js-bak");
  fs::remove(folder_ / "panacea.dat-bak");
  write_profile();
  fs::permissions(folder_, static_cast<fs::perms>(0755));
  EXPECT_EQ(
      convert({.user = kNobody}),
      failed(report(kNotWritable, path("panacea.dat"), EACCES) +
             report(kNotWritable, path("prefs.js"), EACCES) + kNothingChanged));
  EXPECT_EQ(files(), (Names{"panacea.dat", "prefs.js"}));
  EXPECT_EQ(read("panacea.dat"), original("panacea.dat"));
  EXPECT_EQ(read("prefs.js"), prefs());

  // prefs.js reached through a chain of links, into a folder the user may
  // enter and write but not list: its new file is made there.
  fresh_folder();
  write_profile();
  const fs::path hidden = dir_ / "hidden";
  const fs::path hop = dir_ / "hop";
  fs::create_directory(hidden);
  fs::create_directory(hop);
  fs::rename(folder_ / "prefs.js", hidden / "prefs.js");
  fs::create_symlink("../hidden/prefs.js", hop / "prefs.js");
  fs::create_symlink("../hop/prefs.js", folder_ / "prefs.js");
  for (const fs::path& each : {hidden / "prefs.js", folder_ / "panacea.dat"}) {
    ASSERT_EQ(chown(each.c_str(), kNobody, kNobody), 0);
  }
  fs::permissions(folder_, fs::perms::all);
  fs::permissions(hidden, static_cast<fs::perms>(0333));
  EXPECT_EQ(convert({.user = kNobody}), (RunResult{kToWindows, "", 0}));
  fs::permissions(hidden, fs::perms::all);
  EXPECT_EQ(read_file(hidden / "prefs.js"), converted("prefs.js"));
  EXPECT_EQ(read("prefs.js-bak"), prefs());
}

TEST_F(FaultTest, FileSizeLimit) {
  // Both new files hit the limit: nothing changes and nothing stays.
  write_profile();
  EXPECT_EQ(
      convert({.file_size_limit = 8}),
      failed(report(kNotWritable, path("panacea.dat"), EFBIG) +
             report(kNotWritable, path("prefs.js"), EFBIG) + kNothingChanged));
  EXPECT_EQ(read("panacea.dat"), original("panacea.dat"));
  EXPECT_EQ(read("prefs.js"), prefs());
  EXPECT_EQ(files(), (Names{"panacea.dat", "prefs.js"}));
}

// The browser holds an fcntl lock on .parentlock while it has the profile
// open: then nothing is read (the partial backup of an earlier run, which
// loading removes, stays) or written. A lock file left by a browser that
// quit, or none, stops nothing; anything but a plain file at its name is
// left alone, and nothing is locked or made through it.
TEST_F(FaultTest, AProfileOpenInTheBrowserIsNeitherReadNorWritten) {
  const fs::path lock = folder_ / ".parentlock";
  const fs::path outside = dir_ / "outside";
  const fs::path absent = dir_ / "absent";
  const struct {
    const char* label;
    std::optional<Entry> kind;  // at .parentlock; none: nothing there
    bool browser = false;       // a browser locks it, or the link's target
    fs::path target = {};
    // A run cut off in its last rename left no prefs.js, and its conversion
    // beside it.
    bool cut_off = false;
  } cases[] = {
      {"the browser running", kEmptyFile, true},
      {"the browser running, a rename cut off", kEmptyFile, true, {}, true},
      // A snapshot of the profile made with hard links.
      {"the browser running, its lock file with a second name", kHardLink, true,
       outside},
      {"a lock file left by a browser that quit", kEmptyFile},
      {"no lock file", std::nullopt},
      {"a link to a file a browser locks", kSymlink, true, outside},
      {"a dangling link", kSymlink, false, absent},
      {"a FIFO", kFifo},
      {"a folder", kFolder},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fresh_folder();
    write_profile();
    write_file(folder_ / "panacea.dat-bak-parziale", "cut short");
    write_file(outside, "");
    if (c.cut_off) {
      fs::rename(folder_ / "prefs.js", folder_ / "prefs.js-bak");
      write_file(folder_ / "prefs.js-nuovo", converted("prefs.js"));
    }
    if (c.kind) make_entry(*c.kind, lock, c.target);
    const Names before = files();
    const fs::file_type type = fs::symlink_status(lock).type();
    const bool open =
        c.browser && (c.kind == kEmptyFile || c.kind == kHardLink);
    // This process stands for the browser.
    const int browser =
        c.browser
            ? lock_as_the_browser((c.target.empty() ? lock : c.target).c_str())
            : -1;
    ASSERT_EQ(browser >= 0, c.browser);
    const RunResult result = convert();
    if (browser >= 0) close(browser);
    if (open) {
      EXPECT_EQ(result, failed(report("Il profilo e' aperto nel browser: "
                                      "chiudilo e ripeti la conversione",
                                      path(".parentlock"))));
      EXPECT_EQ(files(), before);
      EXPECT_EQ(read("panacea.dat"), original("panacea.dat"));
      EXPECT_EQ(read(c.cut_off ? "prefs.js-bak" : "prefs.js"), prefs());
    } else {
      EXPECT_EQ(result, (RunResult{kToWindows, "", 0}));
      expect_converted("panacea.dat");
      expect_converted("prefs.js");
      EXPECT_FALSE(fs::exists(folder_ / "panacea.dat-bak-parziale"));
    }
    EXPECT_EQ(fs::symlink_status(lock).type(),
              c.kind ? type : fs::file_type::regular);
    if (fs::is_regular_file(fs::symlink_status(lock)))
      EXPECT_EQ(read(".parentlock"), "");
    EXPECT_EQ(read_file(outside), "");
    EXPECT_FALSE(fs::exists(absent));
  }
}

// A browser started while the files are written finds its profile in use.
TEST_F(FaultTest, ARunHoldsTheProfileLockWhileItWrites) {
  static std::string lock;
  static int writes;
  static int lockable;
  static bool raced;
  static posix::Calls real;
  // The lock file made by the run, or by a browser starting just before the
  // run makes it.
  for (const bool race : {false, true}) {
    SCOPED_TRACE(race ? "lock file made meanwhile" : "no lock file");
    fresh_folder();
    write_profile();
    lock = folder_ / ".parentlock";
    writes = 0;
    lockable = 0;
    raced = race;
    real = posix::calls();
    posix::calls().pwrite = [](int fd, const void* data, std::size_t size,
                               off_t offset) {
      ++writes;
      if (another_process_may_lock(lock.c_str())) ++lockable;
      return real.pwrite(fd, data, size, offset);
    };
    posix::calls().openat = [](int folder, const char* name, int flags,
                               mode_t mode) {
      if (raced && (flags & O_CREAT) != 0 && lock.ends_with(name)) {
        close(real.openat(folder, name, O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
      }
      return real.openat(folder, name, flags, mode);
    };
    std::ostringstream out;
    std::ostringstream err;
    const std::string_view args[] = {kExampleWindir, linuxdir_, "linux", "win"};
    const int status = gemmel::run(args, out, err);
    posix::calls() = real;
    EXPECT_EQ(status, 0) << err.str();
    expect_converted("panacea.dat");
    expect_converted("prefs.js");
    EXPECT_GE(writes, 2);
    EXPECT_EQ(lockable, 0);
    // The lock goes with the run.
    EXPECT_TRUE(another_process_may_lock(lock.c_str()));
  }
}

TEST_F(FaultTest, AnotherRunHoldsTheLock) {
  write_profile();
  const int held = open((folder_ / "prefs.js").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const RunResult result = convert();
  close(held);
  EXPECT_EQ(result,
            failed(report("File in uso da un'altra conversione, file non "
                          "modificato",
                          path("prefs.js")) +
                   kNothingChanged));
  EXPECT_EQ(read("prefs.js"), prefs());
  EXPECT_EQ(read("panacea.dat"), original("panacea.dat"));
  EXPECT_EQ(files(), (Names{"panacea.dat", "prefs.js"}));
}

TEST_F(FaultTest, AClosedOrUnreadStderrTakesNoMessageAndStopsNoRun) {
  // prefs.js's backup is refused. With descriptors 0 to 2 closed, the link
  // would be opened as descriptor 2 and the message written into prefs.js
  // itself; a stderr whose reader has gone must not end the run.
  make_entry(kSymlink, folder_ / "prefs.js-bak", "prefs.js");
  for (const bool closed : {true, false}) {
    SCOPED_TRACE(closed ? "closed" : "unread");
    write_profile();
    EXPECT_EQ(convert({.standard_closed = closed, .stderr_unread = !closed}),
              failed(""));
    EXPECT_EQ(read("prefs.js"), prefs());
    EXPECT_EQ(read("panacea.dat"), original("panacea.dat"));
  }
}

TEST_F(FaultTest, MemoryRunsOutForOneFile) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit";
#endif
  // 24 MiB of separators after the key: converting needs a second buffer
  // that the limit leaves no room for.
  write_profile();
  const std::string large = prefs() + std::string(24 << 20, '/');
  write_file(folder_ / "prefs.js", large);
  EXPECT_EQ(convert({.address_space = 48ul << 20}),
            failed(report("Memoria insufficiente, file non modificato",
                          path("prefs.js")) +
                   kNothingChanged));
  EXPECT_EQ(read("prefs.js"), large);
  EXPECT_EQ(read("panacea.dat"), original("panacea.dat"));
  EXPECT_EQ(files(), (Names{"panacea.dat", "prefs.js"}));
}

TEST_F(FaultTest, ARerunKeepsTheOriginalInTheBackup) {
  const std::string already =
      "Nessun file modificato: il profilo e' gia' in questa forma\n";
  write_profile();
  // The second time the files are in Windows form already: nothing to
  // change, nothing written, the backups still hold the originals, and the
  // user is told.
  for (int run = 0; run < 2; ++run) {
    EXPECT_EQ(convert(), (RunResult{kToWindows, run == 0 ? "" : already, 0}));
  }
  expect_converted("panacea.dat");
  expect_converted("prefs.js");
  // A Linux-form profile converted to Linux: no backup either.
  fresh_folder();
  write_profile();
  EXPECT_EQ(run_gemmel({kExampleWindir, linuxdir_, "linux", "linux"},
                       {.cwd = dir_.path()}),
            (RunResult{kToLinux, already, 0}));
  EXPECT_EQ(files(), (Names{"panacea.dat", "prefs.js"}));
  // A file with a second name elsewhere (a snapshot made with hard links)
  // gives the backup that second name: the way back replaces it all the
  // same, and the snapshot keeps the original.
  fresh_folder();
  write_profile();
  const fs::path snapshot = dir_ / "snapshot";
  fs::create_hard_link(folder_ / "prefs.js", snapshot);
  EXPECT_EQ(convert(), (RunResult{kToWindows, "", 0}));
  EXPECT_EQ(run_gemmel({kExampleWindir, linuxdir_, "linux", "linux"},
                       {.cwd = dir_.path()}),
            (RunResult{kToLinux, "", 0}));
  EXPECT_EQ(read("prefs.js"), prefs());
  EXPECT_EQ(read_file(snapshot), prefs());
}

TEST_F(FaultTest, AFolderThatDoesNotOccurLeavesTheFilesAlone) {
  // A mistyped folder would leave prefs.js as it is and pass for converted;
  // a folder given one level above the profile would put every path in a
  // second folder named like the profile. The report shows the folder as the
  // file would hold it.
  const std::string absent =
      "La cartella di origine non compare nel file, file non modificato";
  const std::string two =
      "Le due cartelle non indicano lo stesso profilo, file non modificato";
  // The help's example folders, and the folders above them.
  const std::string up_windir = "d:\\documenti\\mozilla\\default\\";
  const std::string up_escaped = "d:\\\\documenti\\\\mozilla\\\\default\\\\";
  const std::string up_linuxdir = "/mnt/D/mozilla/default/";
  const std::string example_linuxdir = up_linuxdir + "asd6dhre.slt/";
  const std::string windows_prefs =
      "pref(\"browser.cache.disk.parent_directory\", \"" + up_escaped +
      "asd6dhre.slt\");\npref(\"mail.newsrc_root\", \"" + up_escaped +
      "asd6dhre.slt\\\\News\");";
  const std::string linux_prefs =
      "pref(\"browser.cache.disk.parent_directory\", \"" + up_linuxdir +
      "asd6dhre.slt\");\npref(\"mail.newsrc_root\", \"" + up_linuxdir +
      "asd6dhre.slt/News\");";
  const struct {
    const char* label;
    std::string windir, linuxdir, modo, panacea, prefs, sought;
    bool one_level_up = false;
  } cases[] = {
      {"a windir whose backslashes the user typed doubled, in quotes",
       "d:\\\\documenti\\\\", linuxdir_, "linux",
       "<(80 (1=d:\\\\documenti\\\\Mail)",
       "pref(\"mail.newsrc_root\", \"d:\\\\documenti\\\\News\");",
       "d:\\\\\\\\documenti\\\\\\\\"},
      {"a Linux folder that is not the profile's", kExampleWindir,
       "/mnt/other/", "win", original("panacea.dat"), prefs(), "/mnt/other/"},
      // Without its last separator a folder is the start of the stored one,
      // as the cache folder is stored: no match for the whole folder.
      {"a Windows folder that is only the start of the stored one",
       "d:\\prof\\", linuxdir_, "linux", "<(80 (1=d:\\\\profilo\\\\Mail)",
       "pref(\"browser.cache.disk.parent_directory\", \"d:\\\\profilo\");\n"
       "pref(\"mail.newsrc_root\", \"d:\\\\profilo\\\\News\");",
       "d:\\\\prof\\\\"},
      {"a Linux folder that is only the start of the stored one",
       kExampleWindir, "/mnt/prof/", "win", "<(80 (1=/mnt/profilo/Mail)",
       "pref(\"browser.cache.disk.parent_directory\", \"/mnt/profilo\");\n"
       "pref(\"mail.newsrc_root\", \"/mnt/profilo/News\");",
       "/mnt/prof/"},
      // Each occurrence followed by the target's last name and a separator,
      // a quote, a parenthesis or the end.
      {"the Windows folder one level above the profile, panacea.dat's line "
       "broken right after it",
       up_windir, example_linuxdir, "linux",
       "<(80 (1=d:\\\\documenti\\\\mozilla\\\\default\\\\\\\r\n"
       "asd6dhre.slt\\\\Mail)",
       windows_prefs, up_escaped, true},
      // The folder converted to one level up: the arguments tell.
      {"the Windows folder one level above the profile, to Windows", up_windir,
       example_linuxdir, "win", "(1=" + example_linuxdir + "Mail)", linux_prefs,
       example_linuxdir, true},
      {"the Linux folder one level below the profile", kExampleWindir,
       example_linuxdir + "Mail/", "win",
       "(1=" + example_linuxdir + "Mail/Inbox)", linux_prefs,
       example_linuxdir + "Mail/", true},
      {"the Linux folder one level above the profile", kExampleWindir,
       up_linuxdir, "win",
       "(1=" + up_linuxdir + "asd6dhre.slt/Mail)<(80 " + up_linuxdir +
           "asd6dhre.slt",
       linux_prefs, up_linuxdir, true},
      // Another folder in the file does not make the two one profile.
      {"one level above, though panacea.dat holds another folder too",
       kExampleWindir, up_linuxdir, "win",
       "<(80 (1=" + up_linuxdir + "asd6dhre.slt/Mail)(2=" + up_linuxdir +
           "Other/x)",
       "pref(\"mail.root.none\", \"" + kEscaped + "Mail\");", up_linuxdir,
       true},
      {"one level above, though panacea.dat holds a longer name too",
       kExampleWindir, up_linuxdir, "win",
       "<(80 (1=" + up_linuxdir + "asd6dhre.slt/Mail)(2=" + up_linuxdir +
           "asd6dhre.slt.old/x)",
       "pref(\"mail.root.none\", \"" + kEscaped + "Mail\");", up_linuxdir,
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    write_file(folder_ / "panacea.dat", c.panacea);
    write_file(folder_ / "prefs.js", c.prefs);
    const std::string message = c.one_level_up ? two : absent;
    const std::string sought = "Cartella cercata: " + c.sought + "\n";
    // A panacea.dat in which neither folder occurs has nothing to convert.
    EXPECT_EQ(
        run_gemmel({c.windir, c.linuxdir, "x", c.modo}, {.cwd = folder_}),
        failed((c.one_level_up ? report(message, "panacea.dat") + sought : "") +
               report(message, "prefs.js") + sought + kNothingChanged));
    EXPECT_EQ(read("panacea.dat"), c.panacea);
    EXPECT_EQ(read("prefs.js"), c.prefs);
    EXPECT_EQ(files(), (Names{"panacea.dat", "prefs.js"}));
  }
}

// What a run cut off left beside prefs.js: a new file or a partial backup
// that is a plain file of its own goes; anything else at those names stays
// and is named; a new file whole beside a missing file is renamed in place;
// a mark of an earlier version is settled or refused. Where prefs.js is
// refused before anything is written, panacea.dat is left as well.
TEST_F(FaultTest, WhatACutOffRunLeftIsRemovedFinishedOrLeftAlone) {
  const std::string torn = converted("prefs.js").substr(0, 40);
  const std::string in_the_way =
      report(kNotWritable, path("prefs.js-nuovo"), EEXIST);
  const struct {
    const char* label;
    std::string file;  // prefs.js as the cut left it; empty: none
    const char* left;  // the name left beside it
    Entry kind;        // what stands there (kEmptyFile: the text below)
    std::string text;
    std::string err;          // empty: converted
    bool stays = false;       // what was left is still there
    const char* backup = "";  // prefs.js-bak holds the original
    bool refused = false;     // prefs.js refused before anything is written
    bool mark = false;        // an earlier version's mark stands too
    bool foreign = false;     // what was left is another user's, mode 0666
  } cases[] = {
      {"a leftover new file removed", prefs(), "prefs.js-nuovo", kEmptyFile,
       torn},
      {"a leftover partial backup removed", prefs(), "prefs.js-bak-parziale",
       kEmptyFile, prefs().substr(0, 9)},
      {"a leftover that is a folder left alone", prefs(), "prefs.js-nuovo",
       kFolder, "", in_the_way, true, "", true},
      {"a leftover that is a second name of another file left alone", prefs(),
       "prefs.js-nuovo", kHardLink, "", in_the_way, true, "", true},
      {"the rename finished after a cut", "", "prefs.js-nuovo", kEmptyFile,
       converted("prefs.js"), "", false, "bak"},
      {"a new file that is no conversion of the backup kept", "",
       "prefs.js-nuovo", kEmptyFile, torn,
       report(kCannotRead, path("prefs.js"), ENOENT), true, "bak", true},
      // Nor is one that gemmel did not make, or left by an earlier version
      // that may have torn the file.
      {"another user's new file kept", "", "prefs.js-nuovo", kEmptyFile,
       converted("prefs.js"), report(kCannotRead, path("prefs.js"), ENOENT),
       true, "bak", true, false, true},
      {"a cut-off rename beside a mark kept", "", "prefs.js-nuovo", kEmptyFile,
       converted("prefs.js"), report(kInterrupted, path("prefs.js-bak")), true,
       "bak", true, true},
      // An earlier version's mark: gone where the file is its backup.
      {"a mark beside a file that is its backup", prefs(),
       "prefs.js-bak-in-corso", kEmptyFile, "", "", false, "bak"},
      {"a mark beside a torn file", torn, "prefs.js-bak-in-corso", kEmptyFile,
       "", report(kInterrupted, path("prefs.js-bak")), true, "bak", true},
      {"a folder at a mark's name, no mark", prefs(), "prefs.js-bak-in-corso",
       kFolder, "", "", true},
  };
  const fs::path outside = dir_ / "outside";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fresh_folder();
    write_profile();
    write_file(outside, "not yours");
    if (c.file.empty()) fs::remove(folder_ / "prefs.js");
    if (!c.file.empty()) write_file(folder_ / "prefs.js", c.file);
    if (*c.backup != '\0') write_file(folder_ / "prefs.js-bak", prefs());
    make_entry(c.kind, folder_ / c.left, outside);
    if (c.kind == kEmptyFile) write_file(folder_ / c.left, c.text);
    if (c.mark) write_file(folder_ / "prefs.js-bak-in-corso", "");
    if (c.foreign) {
      if (!is_root()) continue;
      ASSERT_EQ(chown((folder_ / c.left).c_str(), kNobody, kNobody), 0);
      fs::permissions(folder_ / c.left, static_cast<fs::perms>(0666));
    }
    const std::string left_was = c.kind == kFolder ? "" : read(c.left);
    EXPECT_EQ(convert(), (c.err.empty() ? RunResult{kToWindows, "", 0}
                          : c.refused   ? failed(c.err + kNothingChanged)
                                        : failed(c.err)));
    if (c.refused) {
      EXPECT_EQ(read("panacea.dat"), original("panacea.dat"));
    } else {
      expect_converted("panacea.dat");
    }
    EXPECT_EQ(fs::exists(folder_ / "prefs.js") ? read("prefs.js") : "",
              c.err.empty() ? converted("prefs.js") : c.file);
    EXPECT_EQ(fs::exists(folder_ / c.left), c.stays);
    if (c.stays && c.kind != kFolder) EXPECT_EQ(read(c.left), left_was);
    if (c.err.empty()) EXPECT_EQ(read("prefs.js-bak"), prefs());
    EXPECT_EQ(read_file(outside), "not yours");
  }
  // A panacea.dat missing beside a new file that cannot be put in place is
  // no missing file to pass over: the run stops, and prefs.js waits.
  fresh_folder();
  write_profile();
  fs::rename(folder_ / "panacea.dat", folder_ / "panacea.dat-bak");
  write_file(folder_ / "panacea.dat-nuovo", torn);
  EXPECT_EQ(convert(), failed(report(kCannotRead, path("panacea.dat"), ENOENT) +
                              kNothingChanged));
  EXPECT_EQ(read("prefs.js"), prefs());
  EXPECT_EQ(read("panacea.dat-nuovo"), torn);
}

// The program killed in the middle of writing the new prefs.js, which
// grows from 3 to 6 MiB, written in 1 MiB pieces: the kill comes at the
// second (without panacea.dat, every piece written is prefs.js's). The file
// is untouched, and the next run converts it and removes what was left.
TEST_F(FaultTest, ARunKilledWhileWritingLeavesTheFileWholeForTheNext) {
  if (std::system("strace -f -o /dev/null true >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs strace, allowed to trace";
  }
  const std::string large = prefs() + std::string(3 << 20, '/');
  write_file(folder_ / "prefs.js", large);
  const std::string kill =
      "cd " + quoted(dir_.path()) +
      " && strace -f -o /dev/null -e trace=pwrite64 "
      "-e inject=pwrite64:signal=KILL:when=2 " GEMMEL_BINARY " " +
      quoted(kExampleWindir) + " " + quoted(linuxdir_) +
      " linux win >/dev/null 2>&1";
  ASSERT_NE(std::system(kill.c_str()), 0) << "the run was not killed";
  EXPECT_EQ(read("prefs.js"), large);
  EXPECT_EQ(files(), (Names{"prefs.js", "prefs.js-nuovo"}));
  EXPECT_EQ(convert(), (RunResult{kToWindows, "", 0}));
  EXPECT_EQ(read("prefs.js-bak"), large);
  EXPECT_EQ(files(), (Names{"prefs.js", "prefs.js-bak"}));
}

TEST_F(FaultTest, FullDiskDuringTheRewrite) {
  const bool mounted = is_root() && mount("gemmel-test", folder_.c_str(),
                                          "tmpfs", 0, "size=512k") == 0;
  const Unmount disk(folder_, mounted);
  if (!mounted) GTEST_SKIP() << "needs root to mount a small tmpfs";
  fs::permissions(folder_, fs::perms::all);
  // A prefs.js that grows by half, on a disk that holds its backup but not
  // its new content.
  std::string large = "pref(\"mail.newsrc_root\", \"" + linuxdir_ + "News";
  while (large.size() < 96 * 1024) large += "/a/b/c/d/e/f/g/h";
  large += "\");\n";
  write_file(folder_ / "prefs.js", large);
  write_file(folder_ / "filler",
             std::string(
                 fs::space(folder_).available - large.size() - 16 * 1024, 'f'));
  EXPECT_EQ(convert(), failed(report(kNotWritable, path("prefs.js"), ENOSPC) +
                              kNothingChanged));
  EXPECT_EQ(read("prefs.js"), large);
  EXPECT_EQ(files(), (Names{"filler", "prefs.js"}));
}

// The setting gemmel is for: the profile on a Windows partition, here an
// image mounted through FUSE, which may refuse kernel copies, locks and
// folder syncs, so that the run takes its fallbacks. exFAT has no hard
// links: each backup is a copy.
TEST_F(FaultTest, ConvertsBothWaysOnWindowsPartitions) {
  const struct {
    const char* label;
    const char* tools;  // the programs it needs
    std::string make;   // makes the file system in the image IMG
    std::string mount;  // mounts it at DIR
  } disks[] = {
      {"NTFS", "mkfs.ntfs ntfs-3g", "mkfs.ntfs -F -Q -q IMG",
       "ntfs-3g IMG DIR"},
      // exfat-fuse mounts block devices only.
      {"exFAT", "mkfs.exfat mount.exfat-fuse losetup", "mkfs.exfat IMG",
       "mount.exfat-fuse \"$(losetup -f --show IMG)\" DIR"},
  };
  for (const auto& d : disks) {
    SCOPED_TRACE(d.label);
    if (!is_root() || access("/dev/fuse", F_OK) != 0 ||
        std::system(
            ("command -v " + std::string(d.tools) + " >/dev/null").c_str()) !=
            0) {
      std::cout << "skipped " << d.label << ": needs root, /dev/fuse and "
                << d.tools << "\n";
      continue;
    }
    fresh_folder();
    const std::string image = quoted((dir_ / "disk.img").string());
    write_file(dir_ / "disk.img", "");
    fs::resize_file(dir_ / "disk.img", 16u << 20);
    const auto command = [&](std::string text) {
      text =
          replace_all(replace_all(text, "IMG", image), "DIR", quoted(folder_));
      return std::system((text + " >/dev/null 2>&1").c_str()) == 0;
    };
    ASSERT_TRUE(command(d.make));
    // A container may have FUSE but no loop devices: then it is skipped.
    if (const bool mounted = command(d.mount); !mounted) {
      std::cout << "skipped " << d.label << ": the image cannot be mounted\n";
    } else {
      const Unmount disk(folder_, mounted);
      write_profile();
      EXPECT_EQ(convert(), (RunResult{kToWindows, "", 0}));
      expect_converted("panacea.dat");
      expect_converted("prefs.js");
      EXPECT_EQ(run_gemmel({kExampleWindir, linuxdir_, "linux", "linux"},
                           {.cwd = dir_.path()}),
                (RunResult{kToLinux, "", 0}));
      EXPECT_EQ(read("panacea.dat"), original("panacea.dat"));
      EXPECT_EQ(read("prefs.js"), prefs());
      EXPECT_EQ(read("prefs.js-bak"), converted("prefs.js"));
      EXPECT_EQ(files(), (Names{"panacea.dat", "panacea.dat-bak", "prefs.js",
                                "prefs.js-bak"}));
    }
    // A loop device still in use is detached once it is free.
    command("losetup -j IMG | cut -d: -f1 | xargs -r losetup -d");
  }
}

TEST_F(FaultTest, ARootRunKeepsTheOwnerOfTheFileAndItsBackup) {
  if (!is_root()) GTEST_SKIP() << "needs root to own files of another user";
  // The new file gets the owner, the group and the mode of the one it
  // replaces; the backup is the original itself. The lock file made gets
  // the folder's owner, so that the user's browser can still lock it.
  write_profile();
  ASSERT_EQ(chown(folder_.c_str(), kNobody, kNobody), 0);
  fs::permissions(folder_ / "prefs.js", static_cast<fs::perms>(0640));
  ASSERT_EQ(chown((folder_ / "prefs.js").c_str(), kNobody, kNobody), 0);
  EXPECT_EQ(convert(), (RunResult{kToWindows, "", 0}));
  expect_converted("prefs.js");
  for (const char* name : {"prefs.js", "prefs.js-bak"}) {
    const struct stat status = stat_of(folder_ / name);
    EXPECT_EQ(status.st_uid, kNobody) << name;
    EXPECT_EQ(status.st_gid, kNobody) << name;
    EXPECT_EQ(mode_of(folder_ / name), 0640u) << name;
  }
  EXPECT_EQ(stat_of(folder_ / ".parentlock").st_uid, kNobody);
}

}  // namespace
}  // namespace gemmel::testing
