// The write path seen through the table of system calls: the order in which
// the backup is made durable and the file changed, what each failing call
// leaves, and a file changed by someone else while it was converted.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
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
  std::string fail;  // the entry to fail
  int skip = 0;      // how many matching entries go through first
  int code = EIO;    // the errno of the failure
  posix::Calls real = posix::calls();

  bool record(const std::string& entry) {
    log.push_back(entry);
    if (entry != fail || skip-- > 0) return false;
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
    calls.open = [](const char* path, int flags, mode_t mode) {
      std::string name = (flags & O_DIRECTORY) != 0
                             ? "dir"
                             : fs::path(path).filename().string();
      if ((flags & O_ACCMODE) != O_RDONLY) name += " w";
      if (recorder->record("open " + name)) return -1;
      const int fd = recorder->real.open(path, flags, mode);
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
    const char* fail;
    int skip;
    int code;
    FileState state;
    bool backup_kept;
  } cases[] = {
      {"fsync a.txt-bak w", 0, EIO, FileState::kBackupFailed, false},
      {"close a.txt-bak w", 0, EIO, FileState::kBackupFailed, false},
      {"fsync dir", 0, EIO, FileState::kBackupFailed, true},
      {"open a.txt w", 0, EACCES, FileState::kWriteFailed, true},
      {"fallocate a.txt w", 0, ENOSPC, FileState::kWriteFailed, true},
      // Part of the new content is in when the disk fails: the original is
      // put back from the backup.
      {"write a.txt w", 1, EIO, FileState::kWriteFailed, true},
      {"close a.txt w", 0, EIO, FileState::kWriteFailed, true},
      // Calls the run can do without.
      {"copy a.txt-bak w", 0, EXDEV, FileState::kWritten, true},
      {"fallocate a.txt w", 0, EOPNOTSUPP, FileState::kWritten, true},
      {"flock a.txt", 0, ENOLCK, FileState::kWritten, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fail) + ", skip " + std::to_string(c.skip));
    fs::remove(dir_ / "a.txt-bak");
    RecordedCalls calls;
    calls->fail = c.fail;
    calls->skip = c.skip;
    calls->code = c.code;
    const bool written = convert();
    EXPECT_EQ(state_, c.state);
    EXPECT_EQ(written, c.state == FileState::kWritten);
    // A failing close may come after every byte went in.
    if (c.state != FileState::kWritten &&
        std::string(c.fail) != "close a.txt w") {
      EXPECT_EQ(read_file(dir_ / "a.txt"), kOriginal);
    }
    if (c.state == FileState::kWritten) {
      EXPECT_EQ(read_file(dir_ / "a.txt"), converted);
    }
    EXPECT_EQ(fs::exists(dir_ / "a.txt-bak"), c.backup_kept);
    if (c.backup_kept) EXPECT_EQ(read_file(dir_ / "a.txt-bak"), kOriginal);
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

}  // namespace
}  // namespace gemmel
