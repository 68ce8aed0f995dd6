// Every fault that can be made real here, run through the built program: the
// messages, the status, and the promise that the original content of each
// profile file is still complete on disk, in the file or in its backup,
// while the other file is converted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support.h"

namespace gemmel::testing {
namespace {

namespace fs = std::filesystem;

const std::string kWindir = "d:\\documenti\\mozilla\\default\\asd6dhre.slt\\";
const std::string kWindirEscaped =
    "d:\\\\documenti\\\\mozilla\\\\default\\\\asd6dhre.slt\\\\";
const std::string kToWindows = "Esportazione linux->windows terminata!\n";
const std::string kToLinux = "Esportazione windows->linux terminata!\n";
const std::string kCannotRead = "Impossibile leggere il file";
const std::string kCannotBackUp =
    "Impossibile scrivere la copia di sicurezza, file non modificato";
const std::string kCannotWrite =
    "Impossibile scrivere il file, l'originale e' in";
const std::string kBusy =
    "File in uso da un'altra conversione, file non modificato";
const std::string kNoMemory = "Memoria insufficiente, file non modificato";

// One failure as reported: the message, the path and, when a system call
// failed, the system's words for it.
std::string report(const std::string& message, const std::string& path,
                   int code = 0) {
  std::string text = message + "\n" + path + "\n";
  if (code != 0) text += std::string("Motivo: ") + std::strerror(code) + "\n";
  return text;
}

bool is_root() { return geteuid() == 0; }

// A Linux-form profile in its own folder, converted to Windows form with the
// profile opened under its Linux path.
class FaultTest : public ::testing::Test {
 protected:
  FaultTest() : folder_(dir_ / "profile"), linuxdir_(folder_.string() + "/") {
    fs::create_directory(folder_);
    fs::permissions(folder_, fs::perms::all);
  }

  std::string panacea() const {
    return "(1=" + linuxdir_ + "a)<(80 (2=" + linuxdir_ + "b/c)";
  }
  std::string panacea_converted() const {
    return "(1=" + kWindirEscaped + "a)<(80 (2=" + kWindirEscaped + "b\\\\c)";
  }
  std::string prefs() const {
    return "pref(\"mail.newsrc_root\", \"" + linuxdir_ + "News/a/b/c/d\");\n";
  }
  std::string prefs_converted() const {
    return "pref(\"mail.newsrc_root\", \"" + kWindirEscaped +
           "News\\\\a\\\\b\\\\c\\\\d\");\n";
  }
  void write_profile() {
    write_file(folder_ / "panacea.dat", panacea());
    write_file(folder_ / "prefs.js", prefs());
  }
  std::string path(const std::string& name) const { return linuxdir_ + name; }
  std::string read(const std::string& name) const {
    return read_file(folder_ / name);
  }
  std::vector<std::string> files() const { return list_dir(folder_); }

  // The file converted, its original in the backup.
  void expect_converted(const std::string& name) const {
    EXPECT_EQ(read(name),
              name == "prefs.js" ? prefs_converted() : panacea_converted());
    EXPECT_EQ(read(name + "-bak"), name == "prefs.js" ? prefs() : panacea());
  }

  RunResult convert(RunOptions options = {}) {
    options.cwd = dir_.path();
    return run_gemmel({kWindir, linuxdir_, "linux", "win"}, options);
  }

  ScopedTempDir dir_;
  const fs::path folder_;
  const std::string linuxdir_;
};

TEST_F(FaultTest, MissingFilesAndFolders) {
  // A folder that does not exist: prefs.js is reported, the optional
  // panacea.dat is not, and nothing is created.
  const std::string absent = (dir_ / "absent").string() + "/";
  EXPECT_EQ(
      run_gemmel({kWindir, absent, "linux", "win"}, {.cwd = dir_.path()}),
      (RunResult{"", report(kCannotRead, absent + "prefs.js", ENOENT), 1}));
  EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{"profile"});

  // A profile without mail has no panacea.dat: a complete conversion.
  write_file(folder_ / "prefs.js", prefs());
  EXPECT_EQ(convert(), (RunResult{kToWindows, "", 0}));
  expect_converted("prefs.js");
  EXPECT_EQ(files(), (std::vector<std::string>{"prefs.js", "prefs.js-bak"}));

  // Without prefs.js the run fails, though panacea.dat is converted.
  fs::remove(folder_ / "prefs.js");
  fs::remove(folder_ / "prefs.js-bak");
  write_file(folder_ / "panacea.dat", panacea());
  EXPECT_EQ(convert(),
            (RunResult{"", report(kCannotRead, path("prefs.js"), ENOENT), 1}));
  expect_converted("panacea.dat");
}

TEST_F(FaultTest, SomethingOtherThanAFileInItsPlace) {
  const struct {
    const char* label;
    std::function<void(const fs::path&)> make;
    int reason;
  } kinds[] = {
      {"directory", [](const fs::path& at) { fs::create_directory(at); }, 0},
      {"FIFO",
       [](const fs::path& at) { ASSERT_EQ(mkfifo(at.c_str(), 0666), 0); }, 0},
      // A link to a disk that is not mounted is no missing file.
      {"dangling link",
       [](const fs::path& at) { fs::create_symlink("nowhere", at); }, ENOENT},
      {"device",
       [](const fs::path& at) { fs::create_symlink("/dev/null", at); }, 0},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.label);
    fs::remove_all(folder_);
    fs::create_directory(folder_);
    write_file(folder_ / "prefs.js", prefs());
    kind.make(folder_ / "panacea.dat");
    EXPECT_EQ(
        convert(),
        (RunResult{"", report(kCannotRead, path("panacea.dat"), kind.reason),
                   1}));
    expect_converted("prefs.js");
    EXPECT_EQ(files(), (std::vector<std::string>{"panacea.dat", "prefs.js",
                                                 "prefs.js-bak"}));
  }
}

TEST_F(FaultTest, FilesOf2GiBOrMoreAreNotRead) {
  write_profile();
  // Sparse: it takes no room on the disk.
  fs::resize_file(folder_ / "panacea.dat", std::uintmax_t{1} << 31);
  EXPECT_EQ(convert(),
            (RunResult{"", report(kCannotRead, path("panacea.dat")), 1}));
  EXPECT_EQ(fs::file_size(folder_ / "panacea.dat"), std::uintmax_t{1} << 31);
  expect_converted("prefs.js");
}

// Whatever stands at a backup path that is not a plain file of its own is
// refused and left as it is: the file it was for is not changed, and the
// other file is converted.
TEST_F(FaultTest, BackupPathsThatAreNoPlainFileOfTheirOwnAreRefused) {
  const fs::path outside = dir_ / "outside";
  const struct {
    const char* label;
    const char* refused;  // the profile file whose backup is refused
    std::function<void(const fs::path&)> plant;
    int reason;
  } cases[] = {
      {"a directory", "prefs.js",
       [](const fs::path& f) { fs::create_directory(f / "prefs.js-bak"); },
       EISDIR},
      {"a FIFO, which must not hang the run", "prefs.js",
       [](const fs::path& f) {
         ASSERT_EQ(mkfifo((f / "prefs.js-bak").c_str(), 0666), 0);
       },
       0},
      {"a link to a device", "prefs.js",
       [](const fs::path& f) {
         fs::create_symlink("/dev/null", f / "prefs.js-bak");
       },
       0},
      // Root only: no one else may make a device node.
      {"a device", "prefs.js",
       [](const fs::path& f) {
         if (is_root()) {
           ASSERT_EQ(mknod((f / "prefs.js-bak").c_str(), S_IFCHR | 0666,
                           makedev(1, 3)),
                     0);
         } else {
           ASSERT_EQ(mkfifo((f / "prefs.js-bak").c_str(), 0666), 0);
         }
       },
       0},
      {"a link to the other profile file, written first", "panacea.dat",
       [](const fs::path& f) {
         fs::create_symlink("prefs.js", f / "panacea.dat-bak");
       },
       0},
      {"a hard link to the other profile file", "panacea.dat",
       [](const fs::path& f) {
         fs::create_hard_link(f / "prefs.js", f / "panacea.dat-bak");
       },
       0},
      {"a link to the file itself", "prefs.js",
       [](const fs::path& f) {
         fs::create_symlink("prefs.js", f / "prefs.js-bak");
       },
       0},
      {"a link to a file elsewhere", "prefs.js",
       [&](const fs::path& f) {
         write_file(outside, "not yours");
         fs::create_symlink(outside, f / "prefs.js-bak");
       },
       0},
      {"a hard link to a file elsewhere", "prefs.js",
       [&](const fs::path& f) {
         write_file(outside, "not yours");
         fs::create_hard_link(outside, f / "prefs.js-bak");
       },
       0},
      {"the other profile file, which is a link to it", "panacea.dat",
       [](const fs::path& f) {
         fs::rename(f / "prefs.js", f / "panacea.dat-bak");
         fs::create_symlink("panacea.dat-bak", f / "prefs.js");
       },
       0},
      {"a dangling link", "prefs.js",
       [&](const fs::path& f) {
         fs::create_symlink(outside, f / "prefs.js-bak");
       },
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    fs::remove_all(folder_);
    fs::remove(outside);
    fs::create_directory(folder_);
    write_profile();
    c.plant(folder_);
    const std::string refused = c.refused;
    const std::string other =
        refused == "prefs.js" ? "panacea.dat" : "prefs.js";
    const fs::path planted = folder_ / (refused + "-bak");
    const fs::file_status before = fs::symlink_status(planted);
    EXPECT_EQ(
        convert(),
        (RunResult{"", report(kCannotBackUp, path(refused) + "-bak", c.reason),
                   1}));
    EXPECT_EQ(read(refused), refused == "prefs.js" ? prefs() : panacea());
    expect_converted(other);
    EXPECT_EQ(fs::symlink_status(planted).type(), before.type());
    // Nothing was written through a link, nor created where one pointed.
    if (fs::exists(outside)) EXPECT_EQ(read_file(outside), "not yours");
  }
}

TEST_F(FaultTest, PermissionsRefusedToAnotherUser) {
  if (!is_root()) GTEST_SKIP() << "needs root to run as another user";
  // The user may create files in the folder but not write prefs.js.
  write_profile();
  fs::permissions(folder_ / "prefs.js", static_cast<fs::perms>(0644));
  fs::permissions(folder_ / "panacea.dat", static_cast<fs::perms>(0666));
  EXPECT_EQ(
      convert({.user = kNobody}),
      (RunResult{"", report(kCannotWrite, path("prefs.js") + "-bak", EACCES),
                 1}));
  EXPECT_EQ(read("prefs.js"), prefs());
  EXPECT_EQ(read("prefs.js-bak"), prefs());
  expect_converted("panacea.dat");

  // A folder the user may not write: no backup, no change.
  fs::remove(folder_ / "prefs.js-bak");
  fs::remove(folder_ / "panacea.dat-bak");
  write_profile();
  fs::permissions(folder_ / "prefs.js", static_cast<fs::perms>(0666));
  fs::permissions(folder_, static_cast<fs::perms>(0755));
  EXPECT_EQ(
      convert({.user = kNobody}),
      (RunResult{"",
                 report(kCannotBackUp, path("panacea.dat") + "-bak", EACCES) +
                     report(kCannotBackUp, path("prefs.js") + "-bak", EACCES),
                 1}));
  EXPECT_EQ(read("panacea.dat"), panacea());
  EXPECT_EQ(read("prefs.js"), prefs());
}

TEST_F(FaultTest, FileSizeLimit) {
  // Both backups hit the limit: nothing changes and no partial backup stays.
  write_profile();
  EXPECT_EQ(
      convert({.file_size_limit = 8}),
      (RunResult{"",
                 report(kCannotBackUp, path("panacea.dat") + "-bak", EFBIG) +
                     report(kCannotBackUp, path("prefs.js") + "-bak", EFBIG),
                 1}));
  EXPECT_EQ(read("panacea.dat"), panacea());
  EXPECT_EQ(read("prefs.js"), prefs());
  EXPECT_EQ(files(), (std::vector<std::string>{"panacea.dat", "prefs.js"}));

  // The original fits under the limit, the converted prefs.js does not: the
  // room is reserved before a byte changes. panacea.dat has no folder to
  // convert, and is left alone.
  ASSERT_GT(prefs_converted().size(), prefs().size());
  write_file(folder_ / "panacea.dat", "(1=x)<(80 (2=y)");
  EXPECT_EQ(
      convert({.file_size_limit = prefs().size() + 1}),
      (RunResult{"", report(kCannotWrite, path("prefs.js") + "-bak", EFBIG),
                 1}));
  EXPECT_EQ(read("prefs.js"), prefs());
  EXPECT_EQ(read("prefs.js-bak"), prefs());
}

TEST_F(FaultTest, AnotherRunHoldsTheLock) {
  write_profile();
  const int held = open((folder_ / "prefs.js").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(held, 0);
  ASSERT_EQ(flock(held, LOCK_EX), 0);
  const RunResult result = convert();
  close(held);
  EXPECT_EQ(result, (RunResult{"", report(kBusy, path("prefs.js")), 1}));
  EXPECT_EQ(read("prefs.js"), prefs());
  expect_converted("panacea.dat");
  EXPECT_FALSE(fs::exists(folder_ / "prefs.js-bak"));
}

TEST_F(FaultTest, ClosedStandardDescriptorsReceiveNoMessage) {
  // The refused backup would be opened as descriptor 2 and its message
  // written into prefs.js itself.
  write_profile();
  fs::create_symlink("prefs.js", folder_ / "prefs.js-bak");
  EXPECT_EQ(convert({.standard_closed = true}), (RunResult{"", "", 1}));
  EXPECT_EQ(read("prefs.js"), prefs());
  expect_converted("panacea.dat");
}

TEST_F(FaultTest, StderrWithoutAReaderDoesNotStopTheRun) {
  write_file(folder_ / "prefs.js", prefs());
  fs::create_directory(folder_ / "panacea.dat");
  EXPECT_EQ(convert({.stderr_unread = true}), (RunResult{"", "", 1}));
  expect_converted("prefs.js");
}

TEST_F(FaultTest, MemoryRunsOutForOneFile) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "AddressSanitizer needs more address space than the limit";
#endif
  // 24 MiB of separators after the key: converting needs a second buffer
  // that the limit leaves no room for.
  write_file(folder_ / "panacea.dat", panacea());
  const std::string large = prefs() + std::string(24 << 20, '/');
  write_file(folder_ / "prefs.js", large);
  EXPECT_EQ(convert({.address_space = 48ul << 20}),
            (RunResult{"", report(kNoMemory, path("prefs.js")), 1}));
  EXPECT_EQ(read("prefs.js"), large);
  EXPECT_FALSE(fs::exists(folder_ / "prefs.js-bak"));
  expect_converted("panacea.dat");
}

TEST_F(FaultTest, ARerunKeepsTheOriginalInTheBackup) {
  write_profile();
  EXPECT_EQ(convert(), (RunResult{kToWindows, "", 0}));
  // The files are in Windows form already: nothing to change, nothing
  // written, and the backups still hold the originals.
  EXPECT_EQ(convert(), (RunResult{kToWindows, "", 0}));
  expect_converted("panacea.dat");
  expect_converted("prefs.js");
}

TEST_F(FaultTest, AFolderThatDoesNotOccurLeavesTheFilesAlone) {
  // Converting only the separators would leave each file half in one form,
  // half in the other.
  const std::string absent =
      "La cartella di origine non compare nel file, file non modificato";
  const struct {
    const char* label;
    std::string windir, linuxdir, modo, panacea, prefs;
  } cases[] = {
      {"a windir the shell stripped of its backslashes",
       "d:documentimozilladefaultasd6dhre.slt", linuxdir_, "linux",
       "<(80 (1=" + kWindirEscaped + "Mail)",
       "pref(\"mail.newsrc_root\", \"" + kWindirEscaped + "News\");"},
      {"a Windows folder in other letter case", "D:\\DOCUMENTI\\", linuxdir_,
       "linux", "<(80 (1=d:\\\\documenti\\\\Mail)",
       "pref(\"mail.newsrc_root\", \"d:\\\\documenti\\\\News\");"},
      {"a Linux folder that is not the profile's", kWindir, "/mnt/other/",
       "win", panacea(), prefs()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    write_file(folder_ / "panacea.dat", c.panacea);
    write_file(folder_ / "prefs.js", c.prefs);
    EXPECT_EQ(
        run_gemmel({c.windir, c.linuxdir, "x", c.modo}, {.cwd = folder_}),
        (RunResult{"",
                   report(absent, "panacea.dat") + report(absent, "prefs.js"),
                   1}));
    EXPECT_EQ(read("panacea.dat"), c.panacea);
    EXPECT_EQ(read("prefs.js"), c.prefs);
    EXPECT_EQ(files(), (std::vector<std::string>{"panacea.dat", "prefs.js"}));
  }
}

// A folder mounted for the test, unmounted and removed afterwards; skips the
// test where it cannot be mounted.
class MountedFolder {
 public:
  explicit MountedFolder(fs::path at) : at_(std::move(at)) {
    fs::create_directories(at_);
  }
  MountedFolder(const MountedFolder&) = delete;
  MountedFolder& operator=(const MountedFolder&) = delete;
  ~MountedFolder() {
    if (mounted_) umount2(at_.c_str(), MNT_DETACH);
  }
  bool mount_tmpfs(const std::string& options) {
    mounted_ =
        ::mount("gemmel-test", at_.c_str(), "tmpfs", 0, options.c_str()) == 0;
    return mounted_;
  }
  bool run(const std::string& command) {
    mounted_ = std::system(command.c_str()) == 0;
    return mounted_;
  }
  const fs::path& path() const { return at_; }

 private:
  fs::path at_;
  bool mounted_ = false;
};

TEST_F(FaultTest, FullDiskDuringTheRewrite) {
  MountedFolder disk(folder_);
  if (!is_root() || !disk.mount_tmpfs("size=512k")) {
    GTEST_SKIP() << "needs root to mount a small tmpfs";
  }
  fs::permissions(folder_, fs::perms::all);
  // A prefs.js that grows by half, on a disk that holds its backup but not
  // the growth.
  std::string large = prefs();
  while (large.size() < 96 * 1024) large += "/a/b/c/d/e/f/g/h";
  write_file(folder_ / "prefs.js", large);
  struct statvfs room {};
  ASSERT_EQ(statvfs(folder_.c_str(), &room), 0);
  const std::uintmax_t free = room.f_bavail * room.f_frsize;
  write_file(folder_ / "filler",
             std::string(free - large.size() - 16 * 1024, 'f'));
  EXPECT_EQ(
      convert(),
      (RunResult{"", report(kCannotWrite, path("prefs.js") + "-bak", ENOSPC),
                 1}));
  EXPECT_EQ(read("prefs.js"), large);
  EXPECT_EQ(read("prefs.js-bak"), large);
}

// The setting gemmel is for: the profile on a Windows partition, here an NTFS
// image mounted through FUSE, which may refuse space reservation, kernel
// copies and locks, so that the run takes its fallbacks.
TEST_F(FaultTest, ConvertsBothWaysOnAnNtfsPartition) {
  if (!is_root() || access("/dev/fuse", F_OK) != 0 ||
      std::system("command -v mkfs.ntfs ntfs-3g >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "needs root, /dev/fuse, mkfs.ntfs and ntfs-3g";
  }
  const fs::path image = dir_ / "ntfs.img";
  {
    std::FILE* made = std::fopen(image.c_str(), "w");
    ASSERT_NE(made, nullptr);
    std::fclose(made);
  }
  fs::resize_file(image, 16u << 20);
  ASSERT_EQ(
      std::system(("mkfs.ntfs -F -Q -q " + image.string() + " >/dev/null 2>&1")
                      .c_str()),
      0);
  MountedFolder disk(folder_);
  ASSERT_TRUE(disk.run("ntfs-3g " + image.string() + " " + folder_.string()));
  write_profile();
  EXPECT_EQ(convert(), (RunResult{kToWindows, "", 0}));
  expect_converted("panacea.dat");
  expect_converted("prefs.js");
  EXPECT_EQ(
      run_gemmel({kWindir, linuxdir_, "linux", "linux"}, {.cwd = dir_.path()}),
      (RunResult{kToLinux, "", 0}));
  EXPECT_EQ(read("panacea.dat"), panacea());
  EXPECT_EQ(read("prefs.js"), prefs());
  EXPECT_EQ(read("prefs.js-bak"), prefs_converted());
}

TEST_F(FaultTest, ARootRunLeavesBackupsTheOwnerCanRead) {
  if (!is_root()) GTEST_SKIP() << "needs root to own files of another user";
  write_profile();
  fs::permissions(folder_ / "prefs.js", static_cast<fs::perms>(0600));
  ASSERT_EQ(chown((folder_ / "prefs.js").c_str(), kNobody, kNobody), 0);
  EXPECT_EQ(convert(), (RunResult{kToWindows, "", 0}));
  struct stat backup {};
  ASSERT_EQ(stat((folder_ / "prefs.js-bak").c_str(), &backup), 0);
  EXPECT_EQ(backup.st_uid, kNobody);
  EXPECT_EQ(backup.st_gid, kNobody);
  EXPECT_EQ(backup.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace gemmel::testing
