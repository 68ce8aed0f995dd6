// The profile file buffer: loading with its backup, the three forms of
// replace, and writing back.
#include "profile/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "support.h"

namespace gemmel {
namespace {

using testing::mode_of;
using testing::read_file;
using testing::ScopedTempDir;
using testing::write_file;
namespace fs = std::filesystem;

class FileTest : public ::testing::Test {
 protected:
  // A ready File holding `content`, loaded from a fresh file.
  File& load(const std::string& content) {
    write_file(dir_ / "a.txt", content);
    file_.emplace((dir_ / "a.txt").c_str());
    EXPECT_EQ(file_->state(), FileState::kReady);
    return *file_;
  }
  std::string text() const { return std::string(file_->text()); }
  // The tracked length must agree with the text after every call.
  void expect_length_tracked() const {
    EXPECT_EQ(static_cast<std::size_t>(file_->length()), file_->text().size());
  }

  ScopedTempDir dir_;
  std::optional<File> file_;
};

TEST_F(FileTest, OffsetFormReplacesEveryOccurrenceFromTheStart) {
  // The basic case; length goes from 4 to 6.
  File& f = load("axbx");
  EXPECT_EQ(f.length(), 4);
  f.replace("x", "yy", 0);
  EXPECT_EQ(text(), "ayybyy");
  EXPECT_EQ(f.length(), 6);
  // The replacement's end and the bytes after it form a new match.
  load("abb").replace("ab", "a", 0);
  EXPECT_EQ(text(), "a");
  expect_length_tracked();
  // A start in the middle leaves earlier matches; a negative one counts as 0.
  load("x.x.x").replace("x", "y", 2);
  EXPECT_EQ(text(), "x.y.y");
  load("x.x").replace("x", "y", -5);
  EXPECT_EQ(text(), "y.y");
  // A start beyond the end changes nothing.
  load("xx").replace("x", "y", 3);
  EXPECT_EQ(text(), "xx");
}

TEST_F(FileTest, StartKeyFormLeavesWhatStandsBeforeTheKey) {
  File& f = load("a/b K/c/d");
  f.replace("/", "AB", std::string("K"));
  EXPECT_EQ(text(), "a/b KABcABd");
  expect_length_tracked();
  // The key itself is searched: a target that begins with it is replaced.
  load("xKy Ky").replace("Ky", "Z", std::string("K"));
  EXPECT_EQ(text(), "xZ Z");
  // A key that does not occur leaves the text alone; an empty one is at 0.
  load("a/b").replace("/", "-", std::string("K"));
  EXPECT_EQ(text(), "a/b");
  load("a/b/").replace("/", "-", std::string());
  EXPECT_EQ(text(), "a-b-");
  // Only the first occurrence of the key counts.
  load("/K/K/").replace("/", "-", std::string("K"));
  EXPECT_EQ(text(), "/K-K-");
}

TEST_F(FileTest, BoundedFormWorksWithinOneStatement) {
  // A match that begins before the end key and runs past it is replaced.
  load("k ab);cd").replace("b);c", "X", "k", ");");
  EXPECT_EQ(text(), "k aXd");
  // Growing replacement: the fixed limit cuts the region short.
  load("k//;").replace("/", "ABC", "k", ";");
  EXPECT_EQ(text(), "kABC/;");
  expect_length_tracked();
  // Shrinking replacement: bytes after the end key come into the region.
  load("kab;ab").replace("ab", "x", "k", ";");
  EXPECT_EQ(text(), "kx;ab");
  load("kabab;ab").replace("ab", "x", "k", ";");
  EXPECT_EQ(text(), "kxx;x");
  expect_length_tracked();
  // A replacement containing its target further on is searched again.
  load("kbx;").replace("b", "ab", "k", ";");
  EXPECT_EQ(text(), "kaabx;");
  // Missing start key, missing end key, end key only before the start key.
  load("a/b;").replace("/", "-", "k", ";");
  EXPECT_EQ(text(), "a/b;");
  load("k/b").replace("/", "-", "k", ";");
  EXPECT_EQ(text(), "k/b");
  load("/;k/").replace("/", "-", "k", ";");
  EXPECT_EQ(text(), "/;k/");
  // An empty end key occurs at the start key: the region is empty.
  load("k/;").replace("k", "-", "k", "");
  EXPECT_EQ(text(), "k/;");
  // The end key is searched from the start key's own offset.
  load("k/k;").replace("/", "-", "k", "k");
  EXPECT_EQ(text(), "k/k;");
}

TEST_F(FileTest, CallsThatWouldNeverEndStopAfterTheirInsertions) {
  // An empty target has no occurrence.
  load("abc").replace("", "x", 0);
  EXPECT_EQ(text(), "abc");
  load("abc").replace("", "x", "", "c");
  EXPECT_EQ(text(), "abc");
  // A replacement that begins with its target, in every form.
  load("xx").replace("x", "xy", 0);
  EXPECT_EQ(text(), "xyxy");
  load("-xx").replace("x", "xx", std::string("-"));
  EXPECT_EQ(text(), "-xxxx");
  load("kxx;").replace("x", "xz", "k", ";");
  EXPECT_EQ(text(), "kxzx;");
  expect_length_tracked();
  // A replacement that contains its target, in the two unbounded forms.
  load("x.x").replace("x", "yx", 0);
  EXPECT_EQ(text(), "yx.yx");
  load("K/a/").replace("/", "\\/", std::string("K"));
  EXPECT_EQ(text(), "K\\/a\\/");
  // The same replacement in the bounded form keeps the resume rule, and ends
  // because the fixed limit stops it.
  load("kxx;").replace("x", "yx", "k", ";");
  EXPECT_EQ(text(), "kyyxx;");
  expect_length_tracked();
}

TEST_F(FileTest, BytesAreKeptAsTheyAre) {
  const std::string binary("a\0b\r\nc\0\xff\r\n", 10);
  File& f = load(binary);
  EXPECT_EQ(f.length(), 10);
  f.replace(std::string("\0", 1), "N", 0);
  EXPECT_EQ(text(), "aNb\r\ncN\xff\r\n");
  ASSERT_TRUE(f.write());
  EXPECT_EQ(read_file(dir_ / "a.txt"), "aNb\r\ncN\xff\r\n");
  EXPECT_EQ(read_file(dir_ / "a.txt-bak"), binary);
  // CRLF is not a line end to the buffer: "\r\n" can be a target.
  load("a\r\nb").replace("\r\n", "\n", 0);
  EXPECT_EQ(text(), "a\nb");
}

TEST_F(FileTest, AConversionThatChangesNothingWritesNothing) {
  // Not even when replacements were made that put the same bytes back.
  write_file(dir_ / "a.txt-bak", "the original, from an earlier run");
  File& f = load("content\n");
  f.replace("content", "other", 0);
  f.replace("other", "content", 0);
  struct stat before {};
  ASSERT_EQ(stat((dir_ / "a.txt").c_str(), &before), 0);
  ASSERT_TRUE(f.write());
  EXPECT_EQ(f.state(), FileState::kUnchanged);
  struct stat after {};
  ASSERT_EQ(stat((dir_ / "a.txt").c_str(), &after), 0);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_EQ(read_file(dir_ / "a.txt-bak"), "the original, from an earlier run");
  // Destroying a File never writes it.
  load("before").replace("before", "after", 0);
  file_.reset();
  EXPECT_EQ(read_file(dir_ / "a.txt"), "before");
}

TEST_F(FileTest, ReplaceCountsAndAResultTooLargeCountsNothing) {
  EXPECT_EQ(
      load("axbxcx").replace(ReplaceCall{.target = "x", .replacement = "yy"}),
      3);
  // Bounded: every insertion holds the next match one byte on, up to the
  // ";" a MiB away, and each adds 4 KiB: far beyond 2 GiB.
  const std::string big = "kx" + std::string(std::size_t{1} << 20, 'y') + ";";
  const std::string multiplier = "ax" + std::string(4096, 'z');
  File& f = load(big);
  EXPECT_EQ(f.replace(ReplaceCall{.form = Form::kBounded,
                                  .target = "x",
                                  .replacement = multiplier,
                                  .start_key = "k",
                                  .end_key = ";"}),
            0);
  EXPECT_EQ(f.state(), FileState::kTooLarge);
  // A file no longer ready is left alone.
  EXPECT_EQ(f.replace(ReplaceCall{.target = "y", .replacement = "z"}), 0);
  EXPECT_TRUE(text() == big);
  expect_length_tracked();
}

// Loads `name`, changes every x to y and writes it back.
void convert_in_place(const fs::path& name) {
  File f(name.c_str());
  ASSERT_EQ(f.state(), FileState::kReady);
  f.replace("x", "y", 0);
  ASSERT_TRUE(f.write());
}

TEST_F(FileTest, BackupAndRewriteKeepModesOwnersAndLinks) {
  const mode_t old_umask = umask(0);
  // A new backup is 0664, never more open than the file it copies.
  for (const auto& [name, mode, backup_mode] :
       {std::tuple{"open.txt", 0666u, 0664u}, {"private.txt", 0600u, 0600u}}) {
    write_file(dir_ / name, "x");
    fs::permissions(dir_ / name, static_cast<fs::perms>(mode));
    convert_in_place(dir_ / name);
    EXPECT_EQ(mode_of(dir_ / (std::string(name) + "-bak")), backup_mode);
  }
  umask(old_umask);

  // An existing backup keeps its mode and inode; the rewritten file keeps
  // its inode, and a link in its place stays a link.
  write_file(dir_ / "target.txt", "a/x");
  fs::permissions(dir_ / "target.txt", static_cast<fs::perms>(0640));
  fs::create_symlink("target.txt", dir_ / "link.txt");
  write_file(dir_ / "link.txt-bak", "");
  fs::permissions(dir_ / "link.txt-bak", static_cast<fs::perms>(0620));
  struct stat before {};
  ASSERT_EQ(stat((dir_ / "target.txt").c_str(), &before), 0);
  struct stat backup_before {};
  ASSERT_EQ(stat((dir_ / "link.txt-bak").c_str(), &backup_before), 0);
  convert_in_place(dir_ / "link.txt");
  struct stat after {};
  ASSERT_EQ(stat((dir_ / "target.txt").c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(mode_of(dir_ / "target.txt"), 0640u);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.txt"));
  EXPECT_EQ(read_file(dir_ / "target.txt"), "a/y");
  struct stat backup_after {};
  ASSERT_EQ(stat((dir_ / "link.txt-bak").c_str(), &backup_after), 0);
  EXPECT_EQ(backup_after.st_ino, backup_before.st_ino);
  EXPECT_EQ(mode_of(dir_ / "link.txt-bak"), 0620u);
  EXPECT_EQ(read_file(dir_ / "link.txt-bak"), "a/x");
}

}  // namespace
}  // namespace gemmel
