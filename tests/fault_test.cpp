// Every fault that can be made real here, run through the built program: the
// message, the status, and the promise that the original content of each
// profile file is still complete on disk, in the file or in its backup,
// while the other file is converted and nothing else is left behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.h"

namespace gemmel::testing {
namespace {

namespace fs = std::filesystem;

const std::string kWindir = "d:\\documenti\\mozilla\\default\\asd6dhre.slt\\";
const std::string kWindirEscaped =
    "d:\\\\documenti\\\\mozilla\\\\default\\\\asd6dhre.slt\\\\";
const std::string kDone = "Esportazione linux->windows terminata!\n";

std::string cannot_read(const std::string& path) {
  return "Impossibile leggere il file\n" + path + "\n";
}
std::string cannot_back_up(const std::string& path) {
  return "Impossibile scrivere la copia di sicurezza, file non modificato\n" +
         path + "-bak\n";
}
std::string cannot_write(const std::string& path) {
  return "Impossibile scrivere il file, l'originale e' in\n" + path + "-bak\n";
}

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

  // Both backups failed: both files as they were, nothing new beside them.
  void expect_no_backup_taken(const RunResult& result) const {
    EXPECT_EQ(result, (RunResult{"",
                                 cannot_back_up(path("panacea.dat")) +
                                     cannot_back_up(path("prefs.js")),
                                 1}));
    EXPECT_EQ(read("panacea.dat"), panacea());
    EXPECT_EQ(read("prefs.js"), prefs());
    EXPECT_EQ(files(), (std::vector<std::string>{"panacea.dat", "prefs.js"}));
  }

  RunResult convert(RunOptions options = {}) {
    options.cwd = dir_.path();
    return run_gemmel({kWindir, linuxdir_, "linux", "win"}, options);
  }

  ScopedTempDir dir_;
  const fs::path folder_;
  const std::string linuxdir_;
};

const std::vector<std::string> kBothConverted = {
    "panacea.dat", "panacea.dat-bak", "prefs.js", "prefs.js-bak"};

bool is_root() { return geteuid() == 0; }

TEST_F(FaultTest, MissingFolderOrFile) {
  // A folder that does not exist: both files reported, nothing created.
  const std::string absent = (dir_ / "absent").string() + "/";
  EXPECT_EQ(run_gemmel({kWindir, absent, "linux", "win"}, {.cwd = dir_.path()}),
            (RunResult{"",
                       cannot_read(absent + "panacea.dat") +
                           cannot_read(absent + "prefs.js"),
                       1}));
  EXPECT_EQ(list_dir(dir_.path()), std::vector<std::string>{"profile"});

  // One file missing: the other is converted.
  write_file(folder_ / "prefs.js", prefs());
  EXPECT_EQ(convert(), (RunResult{"", cannot_read(path("panacea.dat")), 1}));
  EXPECT_EQ(read("prefs.js"), prefs_converted());
  EXPECT_EQ(read("prefs.js-bak"), prefs());
  EXPECT_EQ(files(), (std::vector<std::string>{"prefs.js", "prefs.js-bak"}));
}

TEST_F(FaultTest, SomethingOtherThanAFileInItsPlace) {
  const struct {
    const char* label;
    void (*make)(const fs::path& at);
  } kinds[] = {
      {"directory", [](const fs::path& at) { fs::create_directory(at); }},
      {"FIFO",
       [](const fs::path& at) { ASSERT_EQ(mkfifo(at.c_str(), 0666), 0); }},
      {"dangling link",
       [](const fs::path& at) { fs::create_symlink("nowhere", at); }},
      {"device",
       [](const fs::path& at) { fs::create_symlink("/dev/null", at); }},
  };
  for (const auto& kind : kinds) {
    SCOPED_TRACE(kind.label);
    fs::remove_all(folder_);
    fs::create_directory(folder_);
    write_file(folder_ / "prefs.js", prefs());
    kind.make(folder_ / "panacea.dat");
    EXPECT_EQ(convert(), (RunResult{"", cannot_read(path("panacea.dat")), 1}));
    EXPECT_EQ(read("prefs.js"), prefs_converted());
    EXPECT_EQ(files(), (std::vector<std::string>{"panacea.dat", "prefs.js",
                                                 "prefs.js-bak"}));
  }
}

TEST_F(FaultTest, FilesOf2GiBOrMoreAreNotRead) {
  write_profile();
  // Sparse: it takes no room on the disk.
  fs::resize_file(folder_ / "panacea.dat", std::uintmax_t{1} << 31);
  EXPECT_EQ(convert(), (RunResult{"", cannot_read(path("panacea.dat")), 1}));
  EXPECT_EQ(fs::file_size(folder_ / "panacea.dat"), std::uintmax_t{1} << 31);
  EXPECT_EQ(read("prefs.js"), prefs_converted());
  EXPECT_EQ(files(), (std::vector<std::string>{"panacea.dat", "prefs.js",
                                               "prefs.js-bak"}));
}

TEST_F(FaultTest, DirectoryWhereTheBackupGoes) {
  write_profile();
  fs::create_directory(folder_ / "prefs.js-bak");
  EXPECT_EQ(convert(), (RunResult{"", cannot_back_up(path("prefs.js")), 1}));
  EXPECT_EQ(read("prefs.js"), prefs());
  EXPECT_TRUE(fs::is_empty(folder_ / "prefs.js-bak"));
  EXPECT_EQ(read("panacea.dat"), panacea_converted());
  EXPECT_EQ(read("panacea.dat-bak"), panacea());
}

TEST_F(FaultTest, ReadOnlyFileCannotBeRewritten) {
  if (!is_root()) GTEST_SKIP() << "needs root to run as another user";
  write_profile();
  // The user may create files in the folder but not write this one.
  fs::permissions(folder_ / "prefs.js", static_cast<fs::perms>(0644));
  fs::permissions(folder_ / "panacea.dat", static_cast<fs::perms>(0666));
  EXPECT_EQ(convert({.user = kNobody}),
            (RunResult{"", cannot_write(path("prefs.js")), 1}));
  EXPECT_EQ(read("prefs.js"), prefs());
  EXPECT_EQ(read("prefs.js-bak"), prefs());
  EXPECT_EQ(read("panacea.dat"), panacea_converted());
  EXPECT_EQ(files(), kBothConverted);
}

TEST_F(FaultTest, ReadOnlyFolderTakesNoBackup) {
  if (!is_root()) GTEST_SKIP() << "needs root to run as another user";
  write_profile();
  fs::permissions(folder_ / "prefs.js", static_cast<fs::perms>(0666));
  fs::permissions(folder_ / "panacea.dat", static_cast<fs::perms>(0666));
  fs::permissions(folder_, static_cast<fs::perms>(0755));
  expect_no_backup_taken(convert({.user = kNobody}));
}

TEST_F(FaultTest, FileSizeLimitDuringTheBackup) {
  // Both backups hit the limit: nothing changes and no partial backup stays.
  write_profile();
  expect_no_backup_taken(convert({.file_size_limit = 8}));

  // Only the larger file's backup hits it; an older backup of it, emptied
  // for the new one, goes too rather than stay half written.
  const std::string small = "(1=x)<(80 (2=y)";  // converts to itself
  write_file(folder_ / "panacea.dat", small);
  write_file(folder_ / "prefs.js-bak", "older backup");
  EXPECT_EQ(convert({.file_size_limit = small.size()}),
            (RunResult{"", cannot_back_up(path("prefs.js")), 1}));
  EXPECT_EQ(read("prefs.js"), prefs());
  EXPECT_EQ(read("panacea.dat-bak"), small);
  EXPECT_EQ(files(), (std::vector<std::string>{"panacea.dat", "panacea.dat-bak",
                                               "prefs.js"}));
}

TEST_F(FaultTest, FileSizeLimitDuringTheRewrite) {
  write_profile();
  const std::string small = "(1=x)<(80 (2=y)";
  write_file(folder_ / "panacea.dat", small);
  ASSERT_GT(prefs_converted().size(), prefs().size());
  // The original fits under the limit, the converted prefs.js does not.
  EXPECT_EQ(convert({.file_size_limit = prefs().size()}),
            (RunResult{"", cannot_write(path("prefs.js")), 1}));
  EXPECT_EQ(read("prefs.js-bak"), prefs());
  EXPECT_EQ(read("panacea.dat"), small);
  EXPECT_EQ(files(), kBothConverted);
}

TEST_F(FaultTest, ABackupThatIsTheFileItselfIsRefused) {
  write_profile();
  fs::create_symlink("prefs.js", folder_ / "prefs.js-bak");
  EXPECT_EQ(convert(), (RunResult{"", cannot_back_up(path("prefs.js")), 1}));
  EXPECT_EQ(read("prefs.js"), prefs());
  EXPECT_EQ(read("panacea.dat"), panacea_converted());
}

}  // namespace
}  // namespace gemmel::testing
