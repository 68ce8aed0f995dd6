// The write path seen through the table of system calls: the order in which
// the backup is made durable and the file changed, what each failing call
// leaves, and a file changed by someone else while it was converted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "profile/file.h"
#include "profile/posix_io.h"
#include "support.h"

namespace gemmel {
namespace {

using testing::read_file;
using testing::ScopedTempDir;
using testing::write_file;
namespace fs = std::filesystem;

// What the calls did, each as "<call> <file>", where the file is the name
// opened ("a.txt-bak"), followed by " w" where it was opened for writing, or
// "dir" for a directory.
struct Recorder {
  std::vector<std::string> log;
  std::map<int, std::string> names;
  // The entries to fail, each with how many matching calls go through first.
  std::map<std::string, int> fail;
  int code = EIO;  // the errno of the failures
  // Runs before the entry's call, for changes made from outside meanwhile.
  std::function<void(const std::string& entry)> before;
  posix::Calls real = posix::calls();

  bool record(const std::string& entry) {
    log.push_back(entry);
    if (before) before(entry);
    const auto failing = fail.find(entry);
    if (failing == fail.end() || failing->second-- > 0) return false;
    errno = code;
    return true;
  }
  bool record(const char* call, int fd) {
    return record(std::string(call) + " " + names[fd]);
  }
};
Recorder* recorder = nullptr;

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
      if (recorder->record("open " + name)) return -1;
      const int fd = recorder->real.openat(folder, path, flags, mode);
      if (fd >= 0) recorder->names[fd] = name;
      return fd;
    };
    calls.close = [](int fd) {
      const bool fail = recorder->record("close", fd);
      const int result = recorder->real.close(fd);
      return fail ? -1 : result;
    };
    calls.fsync = [](int fd) {
      return recorder->record("fsync", fd) ? -1 : recorder->real.fsync(fd);
    };
    calls.pwrite = [](int fd, const void* data, std::size_t size,
                      off_t offset) -> ssize_t {
      if (recorder->record("write", fd)) return -1;
      return recorder->real.pwrite(fd, data, size, offset);
    };
    calls.ftruncate = [](int fd, off_t length) {
      return recorder->record("ftruncate", fd)
                 ? -1
                 : recorder->real.ftruncate(fd, length);
    };
    calls.fallocate = [](int fd, int mode, off_t offset, off_t length) {
      return recorder->record("fallocate", fd)
                 ? -1
                 : recorder->real.fallocate(fd, mode, offset, length);
    };
    calls.copy_file_range = [](int from, off_t* from_offset, int to,
                               off_t* to_offset, std::size_t size,
                               unsigned flags) -> ssize_t {
      if (recorder->record("copy", to)) return -1;
      return recorder->real.copy_file_range(from, from_offset, to, to_offset,
                                            size, flags);
    };
    calls.linkat = [](int from_folder, const char* from, int to_folder,
                      const char* to, int flags) {
      return recorder->record(std::string("link ") + from)
                 ? -1
                 : recorder->real.linkat(from_folder, from, to_folder, to,
                                         flags);
    };
    calls.flock = [](int fd, int operation) {
      return recorder->record("flock", fd)
                 ? -1
                 : recorder->real.flock(fd, operation);
    };
  }
  RecordedCalls(const RecordedCalls&) = delete;
  RecordedCalls& operator=(const RecordedCalls&) = delete;
  ~RecordedCalls() {
    posix::calls() = recorder_.real;
    recorder = nullptr;
  }
  Recorder& operator*() { return recorder_; }
  Recorder* operator->() { return &recorder_; }

 private:
  Recorder recorder_;
};

// Three pieces of a megabyte each, and then some: the rewrite takes several
// writes, and the result is longer than the original.
const std::string kOriginal(3 * (1 << 20) + 100, 'x');

class WritePathTest : public ::testing::Test {
 protected:
  // Converts a.txt (every x becomes yy) with the calls recorded; returns
  // what write() said.
  bool convert() {
    write_file(dir_ / "a.txt", kOriginal);
    File file((dir_ / "a.txt").c_str());
    EXPECT_EQ(file.state(), FileState::kReady);
    file.replace("x", "yy", 0);
    const bool written = file.write();
    state_ = file.state();
    return written;
  }
  std::size_t position(const Recorder& calls, const std::string& entry) const {
    const auto found = std::ranges::find(calls.log, entry);
    EXPECT_NE(found, calls.log.end()) << entry << " was not called";
    return static_cast<std::size_t>(found - calls.log.begin());
  }

  ScopedTempDir dir_;
  FileState state_ = FileState::kReady;
};

TEST_F(WritePathTest, TheBackupIsOnDiskBeforeTheFileIsOpenedForWriting) {
  RecordedCalls calls;
  ASSERT_TRUE(convert());
  EXPECT_EQ(read_file(dir_ / "a.txt"), std::string(2 * kOriginal.size(), 'y'));
  EXPECT_EQ(read_file(dir_ / "a.txt-bak"), kOriginal);
  const std::size_t opened = position(*calls, "open a.txt w");
  EXPECT_LT(position(*calls, "flock a.txt"),
            position(*calls, "open a.txt-bak w"));
  EXPECT_LT(position(*calls, "fsync a.txt-bak w"), opened);
  EXPECT_LT(position(*calls, "close a.txt-bak w"), opened);
  EXPECT_LT(position(*calls, "fsync dir"), opened);
  // The file is never emptied or cut before its new content is in.
  EXPECT_EQ(std::ranges::count(calls->log, "ftruncate a.txt w"), 0);
  EXPECT_GE(std::ranges::count(calls->log, "write a.txt w"), 3);
}

TEST_F(WritePathTest, EachFailingCallLeavesTheOriginalOnDisk) {
  const std::string converted(2 * kOriginal.size(), 'y');
  const struct {
    std::map<std::string, int> fail;
    int code;
    FileState state;
    const char* file;  // "original", "converted", or "" for neither
    bool backup_kept;
    bool marker_kept;
  } cases[] = {
      {{{"fsync a.txt-bak w", 0}},
       EIO,
       FileState::kBackupFailed,
       "original",
       false,
       false},
      {{{"close a.txt-bak w", 0}},
       EIO,
       FileState::kBackupFailed,
       "original",
       false,
       false},
      {{{"fsync dir", 0}},
       EIO,
       FileState::kBackupFailed,
       "original",
       true,
       false},
      {{{"open a.txt w", 0}},
       EACCES,
       FileState::kWriteFailed,
       "original",
       true,
       false},
      {{{"fallocate a.txt w", 0}},
       ENOSPC,
       FileState::kWriteFailed,
       "original",
       true,
       false},
      // Part of the new content is in when the disk fails: the original is
      // put back from the backup.
      {{{"write a.txt w", 1}},
       EIO,
       FileState::kWriteFailed,
       "original",
       true,
       false},
      // Where it cannot be put back, the backup keeps its second name, and
      // the next run will not overwrite it.
      {{{"write a.txt w", 1}, {"copy a.txt w", 0}},
       EIO,
       FileState::kWriteFailed,
       "",
       true,
       true},
      // The same where the file system has no hard links: the mark is an
      // empty file.
      {{{"link a.txt-bak", 0}, {"write a.txt w", 1}, {"copy a.txt w", 0}},
       EPERM,
       FileState::kWriteFailed,
       "",
       true,
       true},
      // No mark, no rewrite.
      {{{"link a.txt-bak", 0}, {"open a.txt-bak-in-corso w", 0}},
       EPERM,
       FileState::kWriteFailed,
       "original",
       true,
       false},
      // A failing close may come after every byte went in; what is on disk
      // is not known.
      {{{"close a.txt w", 0}}, EIO, FileState::kWriteFailed, "", true, true},
      // Calls the run can do without.
      {{{"copy a.txt-bak w", 0}},
       EXDEV,
       FileState::kWritten,
       "converted",
       true,
       false},
      {{{"fallocate a.txt w", 0}},
       EOPNOTSUPP,
       FileState::kWritten,
       "converted",
       true,
       false},
      {{{"flock a.txt", 0}},
       ENOLCK,
       FileState::kWritten,
       "converted",
       true,
       false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fail.begin()->first + ", " + std::to_string(c.fail.size()) +
                 " failing");
    fs::remove(dir_ / "a.txt-bak");
    fs::remove(dir_ / "a.txt-bak-in-corso");
    RecordedCalls calls;
    calls->fail = c.fail;
    calls->code = c.code;
    EXPECT_EQ(convert(), c.state == FileState::kWritten);
    EXPECT_EQ(state_, c.state);
    const std::string now = read_file(dir_ / "a.txt");
    if (*c.file != '\0') {
      EXPECT_EQ(now == kOriginal   ? "original"
                : now == converted ? "converted"
                                   : "other",
                std::string(c.file));
    }
    EXPECT_EQ(fs::exists(dir_ / "a.txt-bak"), c.backup_kept);
    if (c.backup_kept) EXPECT_EQ(read_file(dir_ / "a.txt-bak"), kOriginal);
    EXPECT_EQ(fs::exists(dir_ / "a.txt-bak-in-corso"), c.marker_kept);
  }
  // A run after one that was killed half-way keeps the original in the
  // backup, whatever stands at the name of the mark.
  const struct {
    const char* label;
    void (*mark)(const fs::path& backup, const fs::path& marker);
  } marks[] = {
      {"a second name of the backup",
       [](const fs::path& backup, const fs::path& marker) {
         fs::create_hard_link(backup, marker);
       }},
      {"an empty file", [](const fs::path& /*backup*/,
                           const fs::path& marker) { write_file(marker, ""); }},
      {"a dangling link",
       [](const fs::path& /*backup*/, const fs::path& marker) {
         fs::create_symlink("nowhere", marker);
       }},
  };
  for (const auto& m : marks) {
    SCOPED_TRACE(m.label);
    fs::remove(dir_ / "a.txt-bak-in-corso");
    write_file(dir_ / "a.txt-bak", kOriginal);
    m.mark(dir_ / "a.txt-bak", dir_ / "a.txt-bak-in-corso");
    write_file(dir_ / "a.txt", "half written");
    File rerun((dir_ / "a.txt").c_str());
    rerun.replace("half", "all", 0);
    EXPECT_FALSE(rerun.write());
    EXPECT_EQ(rerun.state(), FileState::kBackupFailed);
    EXPECT_EQ(read_file(dir_ / "a.txt-bak"), kOriginal);
    EXPECT_EQ(read_file(dir_ / "a.txt"), "half written");
  }
}

TEST_F(WritePathTest, AFileChangedWhileItWasConvertedIsLeftAsItIs) {
  const struct {
    const char* label;
    void (*change)(const fs::path& file);
  } cases[] = {
      {"replaced by rename",
       [](const fs::path& file) {
         write_file(file.string() + ".new", "new text");
         fs::rename(file.string() + ".new", file);
       }},
      {"written in place",
       [](const fs::path& file) {
         std::FILE* out = std::fopen(file.c_str(), "a");
         ASSERT_NE(out, nullptr);
         std::fputs("new text", out);
         std::fclose(out);
       }},
      {"removed", [](const fs::path& file) { fs::remove(file); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    const fs::path file = dir_ / "a.txt";
    write_file(file, "x");
    File loaded(file.c_str());
    loaded.replace("x", "y", 0);
    c.change(file);
    const std::string changed = fs::exists(file) ? read_file(file) : "";
    EXPECT_FALSE(loaded.write());
    EXPECT_EQ(loaded.state(), FileState::kChanged);
    EXPECT_EQ(fs::exists(file) ? read_file(file) : "", changed);
    EXPECT_FALSE(fs::exists(dir_ / "a.txt-bak"));
  }
}

// Changes made from outside at the worst moments of the write.
TEST_F(WritePathTest, ChangesFromOutsideDuringTheWrite) {
  const fs::path real = dir_ / "real";
  const fs::path elsewhere = dir_ / "elsewhere";
  const struct {
    const char* label;
    const char* at;  // the call before which the change is made
    std::function<void()> change;
    FileState state;
  } cases[] = {
      // The folder swapped for a link to another one: the backup still goes
      // beside the file that was read, never into the other folder.
      {"folder swapped for a link", "open a.txt-bak w",
       [&] {
         fs::rename(dir_ / "p", real);
         fs::create_symlink(elsewhere, dir_ / "p");
       },
       FileState::kChanged},
      // A new file renamed into place while the old one is written.
      {"file replaced while written", "write a.txt w",
       [&] {
         write_file(dir_ / "p" / "new", "new text");
         fs::rename(dir_ / "p" / "new", dir_ / "p" / "a.txt");
       },
       FileState::kChanged},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    for (const fs::path& folder : {dir_ / "p", real, elsewhere}) {
      fs::remove_all(folder);
    }
    fs::create_directory(dir_ / "p");
    fs::create_directory(elsewhere);
    write_file(dir_ / "p" / "a.txt", "x");
    RecordedCalls calls;
    calls->before = [&, done = false](const std::string& entry) mutable {
      if (entry != c.at || done) return;
      done = true;
      c.change();
    };
    File file((dir_ / "p" / "a.txt").c_str());
    file.replace("x", "yy", 0);
    EXPECT_FALSE(file.write());
    EXPECT_EQ(file.state(), c.state);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    const fs::path folder = fs::exists(real) ? real : dir_ / "p";
    EXPECT_EQ(read_file(folder / "a.txt-bak"), "x");
  }
  EXPECT_EQ(read_file(dir_ / "p" / "a.txt"), "new text");
}

// Ctrl-C or a shutdown while the file is half written takes effect once it is
// whole again, with its backup's second name gone.
TEST_F(WritePathTest, TerminationWaitsUntilTheFileIsWhole) {
  static std::uintmax_t size_when_signalled = 0;
  static bool marked_when_signalled = true;
  static const fs::path* folder = nullptr;
  folder = &dir_.path();
  struct sigaction handler {};
  handler.sa_handler = [](int) {
    size_when_signalled = fs::file_size(*folder / "a.txt");
    marked_when_signalled = fs::exists(*folder / "a.txt-bak-in-corso");
  };
  struct sigaction before {};
  ASSERT_EQ(sigaction(SIGTERM, &handler, &before), 0);
  {
    RecordedCalls calls;
    calls->before = [](const std::string& entry) {
      if (entry == "write a.txt w") raise(SIGTERM);
    };
    EXPECT_TRUE(convert());
  }
  sigaction(SIGTERM, &before, nullptr);
  EXPECT_EQ(size_when_signalled, 2 * kOriginal.size());
  EXPECT_FALSE(marked_when_signalled);
}

}  // namespace
}  // namespace gemmel
