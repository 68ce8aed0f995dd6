// The profile file buffer: loading with its backup, the three forms of
// replace, and writing back.
#include "profile/file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "support.h"

namespace gemmel::testing {
namespace {

namespace fs = std::filesystem;
using enum Form;

// One call of replace on a fresh file: its text before and after.
struct ReplaceCase {
  std::string text;
  Form form;
  std::string target, replacement, expected;
  std::string start_key = "",
              end_key = "";  // NOLINT(readability-redundant-string-init)
  std::int32_t start = 0;
};

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

  // Each case through the replace of its form; the tracked length must
  // agree with the text after every call.
  void expect_replaced(const std::vector<ReplaceCase>& cases) {
    for (const ReplaceCase& c : cases) {
      SCOPED_TRACE(c.text);
      File& f = load(c.text);
      if (c.form == kOffset) f.replace(c.target, c.replacement, c.start);
      if (c.form == kStartKey) f.replace(c.target, c.replacement, c.start_key);
      if (c.form == kBounded) {
        f.replace(c.target, c.replacement, c.start_key, c.end_key);
      }
      EXPECT_EQ(text(), c.expected);
      EXPECT_EQ(static_cast<std::size_t>(f.length()), c.expected.size());
    }
  }

  ScopedTempDir dir_;
  std::optional<File> file_;
};

TEST_F(FileTest, OffsetFormReplacesEveryOccurrenceFromTheStart) {
  expect_replaced({
      {"axbx", kOffset, "x", "yy", "ayybyy"},
      // The replacement's end and the bytes after it form a new match.
      {"abb", kOffset, "ab", "a", "a"},
      // A start in the middle leaves earlier matches; a negative one counts
      // as 0; one beyond the end changes nothing.
      {"x.x.x", kOffset, "x", "y", "x.y.y", "", "", 2},
      {"x.x", kOffset, "x", "y", "y.y", "", "", -5},
      {"xx", kOffset, "x", "y", "xx", "", "", 3},
  });
}

TEST_F(FileTest, StartKeyFormLeavesWhatStandsBeforeTheKey) {
  expect_replaced({
      {"a/b K/c/d", kStartKey, "/", "AB", "a/b KABcABd", "K"},
      {"xKy Ky", kStartKey, "Ky", "Z", "xZ Z", "K"},  // the key is searched
      {"a/b", kStartKey, "/", "-", "a/b", "K"},       // a key not there
      {"a/b/", kStartKey, "/", "-", "a-b-", ""},      // an empty key is at 0
      {"/K/K/", kStartKey, "/", "-", "/K-K-", "K"},   // the first key counts
  });
}

TEST_F(FileTest, BoundedFormWorksWithinOneStatement) {
  expect_replaced({
      // A match that begins before the end key and runs past it.
      {"k ab);cd", kBounded, "b);c", "X", "k aXd", "k", ");"},
      // Growing, the fixed limit cuts the region short; shrinking, bytes
      // after the end key come into it.
      {"k//;", kBounded, "/", "ABC", "kABC/;", "k", ";"},
      {"kab;ab", kBounded, "ab", "x", "kx;ab", "k", ";"},
      {"kabab;ab", kBounded, "ab", "x", "kxx;x", "k", ";"},
      // A replacement containing its target further on is searched again.
      {"kbx;", kBounded, "b", "ab", "kaabx;", "k", ";"},
      // No start key, no end key, the end key only before the start key.
      {"a/b;", kBounded, "/", "-", "a/b;", "k", ";"},
      {"k/b", kBounded, "/", "-", "k/b", "k", ";"},
      {"/;k/", kBounded, "/", "-", "/;k/", "k", ";"},
      // An empty end key occurs at the start key: the region is empty.
      {"k/;", kBounded, "k", "-", "k/;", "k", ""},
      // The end key is searched from the start key's own offset.
      {"k/k;", kBounded, "/", "-", "k/k;", "k", "k"},
  });
}

TEST_F(FileTest, CallsThatWouldNeverEndStopAfterTheirInsertions) {
  expect_replaced({
      // An empty target has no occurrence.
      {"abc", kOffset, "", "x", "abc"},
      {"abc", kBounded, "", "x", "abc", "", "c"},
      // A replacement that begins with its target, in every form.
      {"xx", kOffset, "x", "xy", "xyxy"},
      {"-xx", kStartKey, "x", "xx", "-xxxx", "-"},
      {"kxx;", kBounded, "x", "xz", "kxzx;", "k", ";"},
      // One that contains it, in the two unbounded forms.
      {"x.x", kOffset, "x", "yx", "yx.yx"},
      {"K/a/", kStartKey, "/", "\\/", "K\\/a\\/", "K"},
      // The bounded form keeps the resume rule, and ends because the fixed
      // limit stops it.
      {"kxx;", kBounded, "x", "yx", "kyyxx;", "k", ";"},
  });
}

TEST_F(FileTest, BytesAreKeptAsTheyAre) {
  const std::string binary("a\0b\r\nc\0\xff\r\n", 10);
  File& f = load(binary);
  EXPECT_EQ(f.length(), 10);
  f.replace(std::string("\0", 1), "N", 0);
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
  const struct stat before = stat_of(dir_ / "a.txt");
  ASSERT_TRUE(f.write());
  EXPECT_EQ(f.state(), FileState::kUnchanged);
  EXPECT_EQ(stat_of(dir_ / "a.txt").st_mtim.tv_nsec, before.st_mtim.tv_nsec);
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
  EXPECT_EQ(f.replace(ReplaceCall{.form = kBounded,
                                  .target = "x",
                                  .replacement = multiplier,
                                  .start_key = "k",
                                  .end_key = ";"}),
            0);
  EXPECT_EQ(f.state(), FileState::kTooLarge);
  // A file no longer ready is left alone.
  EXPECT_EQ(f.replace(ReplaceCall{.target = "y", .replacement = "z"}), 0);
  EXPECT_TRUE(text() == big);
  EXPECT_EQ(static_cast<std::size_t>(f.length()), big.size());
}

// The new file takes the exact mode of the one it replaces, whatever the
// umask; the backup is the original itself. A symbolic link stays one: the
// file it leads to is replaced in its own folder, the backup stays beside
// the link, and other hard links of the file keep the original.
TEST_F(FileTest, ModesKeptAndASymbolicLinksTargetReplaced) {
  const auto convert = [&](const std::string& name) {
    File f((dir_ / name).c_str());
    f.replace("x", "y", 0);
    ASSERT_TRUE(f.write());
  };
  const mode_t old_umask = umask(077);
  for (const unsigned mode : {0666u, 0640u, 0604u}) {
    write_file(dir_ / "a.txt", "x");
    fs::permissions(dir_ / "a.txt", static_cast<fs::perms>(mode));
    convert("a.txt");
    EXPECT_EQ(mode_of(dir_ / "a.txt"), mode);
    EXPECT_EQ(mode_of(dir_ / "a.txt-bak"), mode);
  }
  umask(old_umask);

  fs::create_directory(dir_ / "real");
  write_file(dir_ / "real" / "target.txt", "a/x");
  fs::create_hard_link(dir_ / "real" / "target.txt", dir_ / "other.txt");
  fs::create_symlink("target.txt", dir_ / "real" / "inner.txt");
  fs::create_symlink("real/inner.txt", dir_ / "link.txt");
  write_file(dir_ / "link.txt-bak", "an older backup");
  convert("link.txt");
  EXPECT_EQ(fs::read_symlink(dir_ / "link.txt"), "real/inner.txt");
  EXPECT_EQ(fs::read_symlink(dir_ / "real" / "inner.txt"), "target.txt");
  EXPECT_EQ(read_file(dir_ / "real" / "target.txt"), "a/y");
  EXPECT_EQ(read_file(dir_ / "link.txt-bak"), "a/x");
  EXPECT_EQ(read_file(dir_ / "other.txt"), "a/x");
  EXPECT_EQ(list_dir(dir_ / "real"),
            (std::vector<std::string>{"inner.txt", "target.txt"}));
}

}  // namespace
}  // namespace gemmel::testing
