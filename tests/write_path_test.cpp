// The write path seen through the table of system calls: the order in which
// the backup is made durable and the file changed, what each failing call
// leaves, and a file changed by someone else while it was converted.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <functional>
#include <map>
#include <ranges>
#include <string>
#include <tuple>
#include <vector>

#include "profile/file.h"
#include "profile/posix_io.h"
#include "support.h"

namespace gemmel::testing {
namespace {

using enum FileState;
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

  // Records `entry`; true where the call is to fail.
  bool fails(const std::string& entry) {
    log.push_back(entry);
    if (before) before(entry);
    const auto failing = fail.find(entry);
    if (failing == fail.end() || failing->second-- > 0) return false;
    errno = code;
    return true;
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
    if (recorder->fails(std::string(name.text) + " " + recorder->names[file])) {
      return -1;
    }
    return (recorder->real.*member)(args...);
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
      return fd;
    };
    // A failing close closes all the same.
    calls.close = [](int fd) {
      const bool fail = recorder->fails("close " + recorder->names[fd]);
      const int result = recorder->real.close(fd);
      return fail ? -1 : result;
    };
    calls.linkat = [](int from_folder, const char* from, int to_folder,
                      const char* to, int flags) {
      if (recorder->fails(std::string("link ") + from)) return -1;
      return recorder->real.linkat(from_folder, from, to_folder, to, flags);
    };
    using posix::Calls;
    calls.fsync = Recorded<"fsync", 0, &Calls::fsync>::call;
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

TEST_F(WritePathTest, TheBackupIsOnDiskBeforeTheFileIsOpenedForWriting) {
  RecordedCalls calls;
  ASSERT_TRUE(convert());
  EXPECT_EQ(read_file(dir_ / "a.txt"), kConverted);
  EXPECT_EQ(read_file(dir_ / "a.txt-bak"), kOriginal);
  const auto position = [&](const std::string& entry) {
    const auto found = std::ranges::find(calls->log, entry);
    EXPECT_NE(found, calls->log.end()) << entry << " was not called";
    return found - calls->log.begin();
  };
  const auto opened = position("open a.txt w");
  EXPECT_LT(position("flock a.txt"), position("open a.txt-bak w"));
  EXPECT_LT(position("fsync a.txt-bak w"), opened);
  EXPECT_LT(position("close a.txt-bak w"), opened);
  EXPECT_LT(position("fsync dir"), opened);
  // The file is never emptied or cut before its new content is in.
  EXPECT_EQ(std::ranges::count(calls->log, "ftruncate a.txt w"), 0);
  EXPECT_GE(std::ranges::count(calls->log, "write a.txt w"), 3);
}

TEST_F(WritePathTest, EachFailingCallLeavesTheOriginalOnDisk) {
  const struct {
    // The calls to fail, each on its first call ("write a.txt w#2": on the
    // second), with the errno.
    std::string fail;
    int code;
    FileState state;
    const char* file;  // "original" or "converted"; nullptr: not known
    const char* kept;  // what else is left: "bak" (the backup), "bak mark"
  } cases[] = {
      {"fsync a.txt-bak w", EIO, kBackupFailed, "original", ""},
      {"close a.txt-bak w", EIO, kBackupFailed, "original", ""},
      {"fsync dir", EIO, kBackupFailed, "original", "bak"},
      {"open a.txt w", EACCES, kWriteFailed, "original", "bak"},
      {"fallocate a.txt w", ENOSPC, kWriteFailed, "original", "bak"},
      // Part of the new content is in when the disk fails: the original is
      // put back from the backup.
      {"write a.txt w#2", EIO, kWriteFailed, "original", "bak"},
      // Where it cannot be put back, the backup keeps its second name, and
      // the next run will not overwrite it.
      {"write a.txt w#2;copy a.txt w", EIO, kWriteFailed, nullptr, "bak mark"},
      // The same where the file system has no hard links: the mark is an
      // empty file.
      {"link a.txt-bak;write a.txt w#2;copy a.txt w", EPERM, kWriteFailed,
       nullptr, "bak mark"},
      // No mark, no rewrite.
      {"link a.txt-bak;open a.txt-bak-in-corso w", EPERM, kWriteFailed,
       "original", "bak"},
      // A failing close may come after every byte went in; what is on disk
      // is not known.
      {"close a.txt w", EIO, kWriteFailed, nullptr, "bak mark"},
      // Calls the run can do without.
      {"copy a.txt-bak w", EXDEV, kWritten, "converted", "bak"},
      {"fallocate a.txt w", EOPNOTSUPP, kWritten, "converted", "bak"},
      {"flock a.txt", ENOLCK, kWritten, "converted", "bak"},
  };
  const fs::path backup = dir_ / "a.txt-bak";
  const fs::path marker = dir_ / "a.txt-bak-in-corso";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fail);
    fs::remove(backup);
    fs::remove(marker);
    RecordedCalls calls;
    for (const auto piece : std::views::split(c.fail, ';')) {
      const std::string entry(piece.begin(), piece.end());
      const std::size_t hash = entry.find('#');
      calls->fail[entry.substr(0, hash)] =
          hash == std::string::npos ? 0 : std::stoi(entry.substr(hash + 1)) - 1;
    }
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
                  (fs::exists(marker) ? " mark" : ""),
              c.kept);
    if (fs::exists(backup)) EXPECT_EQ(read_file(backup), kOriginal);
  }
  // A run after one that was killed half-way keeps the original in the
  // backup, whatever stands at the name of the mark.
  const struct {
    const char* label;
    Entry kind;
  } marks[] = {{"a second name of the backup", Entry::kHardLink},
               {"an empty file", Entry::kEmptyFile},
               {"a dangling link", Entry::kSymlink}};
  for (const auto& m : marks) {
    SCOPED_TRACE(m.label);
    fs::remove(marker);
    write_file(backup, kOriginal);
    make_entry(m.kind, marker,
               m.kind == Entry::kHardLink ? backup : dir_ / "nowhere");
    write_file(dir_ / "a.txt", "half written");
    File rerun((dir_ / "a.txt").c_str());
    rerun.replace("half", "all", 0);
    EXPECT_FALSE(rerun.write());
    EXPECT_EQ(rerun.state(), kBackupFailed);
    EXPECT_EQ(read_file(backup), kOriginal);
    EXPECT_EQ(read_file(dir_ / "a.txt"), "half written");
  }
}

// Changes made from outside between the reading and the writing, or at the
// worst moments of the write: the file is left as the change left it.
TEST_F(WritePathTest, AFileChangedWhileItWasConvertedIsLeftAsItIs) {
  const fs::path folder = dir_ / "p";
  const fs::path file = folder / "a.txt";
  const fs::path real = dir_ / "real";
  const fs::path elsewhere = dir_ / "elsewhere";
  const auto replace_by_rename = [&] {
    write_file(folder / "new", "new text");
    fs::rename(folder / "new", file);
  };
  const struct {
    const char* label;
    const char* at;  // the call before which it changes; nullptr: before
    std::function<void()> change;
  } cases[] = {
      {"replaced by rename", nullptr, replace_by_rename},
      {"written in place", nullptr,
       [&] { write_file(file, read_file(file) + "new text"); }},
      {"removed", nullptr, [&] { fs::remove(file); }},
      // The backup still goes beside the file that was read, never into the
      // other folder.
      {"folder swapped for a link", "open a.txt-bak w",
       [&] {
         fs::rename(folder, real);
         fs::create_symlink(elsewhere, folder);
       }},
      {"file replaced while written", "write a.txt w", replace_by_rename},
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
    EXPECT_FALSE(loaded.write());
    EXPECT_EQ(loaded.state(), kChanged);
    EXPECT_EQ(fs::exists(file) ? read_file(file) : "", changed);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    // A backup made before the change holds the file as it was read.
    const fs::path backup = (fs::exists(real) ? real : folder) / "a.txt-bak";
    EXPECT_EQ(fs::exists(backup) ? read_file(backup) : "none",
              c.at == nullptr ? "none" : "x");
  }
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
  EXPECT_EQ(size_when_signalled, kConverted.size());
  EXPECT_FALSE(marked_when_signalled);
}

}  // namespace
}  // namespace gemmel::testing
