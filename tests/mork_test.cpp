// panacea.dat read as Mork writes it: folder names broken by line
// continuations, as it stores long values, and bytes written in hex. The
// replacement reads across continuations, drops those inside a replaced
// folder and keeps every other one where it was; a hex byte matches its byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "profile/file.h"
#include "profile/replace.h"
#include "support.h"

namespace gemmel::testing {
namespace {

// A folder name in its Linux form and its Windows form as stored (every
// backslash doubled).
constexpr std::string_view kLinux = "/a/b/";
constexpr std::string_view kWindows = R"(d:\\a\\b\\)";

struct Case {
  const char* label;
  std::string_view target, replacement;
  std::string text, expected;
  std::int64_t count;
};

TEST(MorkTest, FolderNamesAreFoundAcrossContinuationsAndInHexAndOthersStay) {
  const Case cases[] = {
      {"broken once, LF", kLinux, kWindows, "=/a\\\n/b/x)", R"(=d:\\a\\b\\x))",
       1},
      {"broken twice, CR LF", kLinux, kWindows, "=/\\\r\na/b\\\r\n/x)",
       R"(=d:\\a\\b\\x))", 1},
      {"broken once, CR", kLinux, kWindows, "=/a/\\\rb/x)", R"(=d:\\a\\b\\x))",
       1},
      {"two continuations in a row", kLinux, kWindows, "/a\\\n\\\r\n/b/",
       std::string(kWindows), 1},
      {"just before and just after an occurrence stay", kLinux, kWindows,
       "=\\\n/a/b/\\\nx", "=\\\nd:\\\\a\\\\b\\\\\\\nx", 1},
      {"at both ends of the text", kLinux, kWindows, "\\\n/a/b/\\\r",
       "\\\nd:\\\\a\\\\b\\\\\\\r", 1},
      {"between two occurrences, in the one insertion both touch", kLinux, "",
       "/a/b/\\\n/a/b/", "\\\n", 2},
      {"outside any occurrence, untouched", kLinux, kWindows,
       "/a/Loc\\\nal /a/b/", "/a/Loc\\\nal d:\\\\a\\\\b\\\\", 1},
      {"Windows folder broken after a, LF", kWindows, kLinux,
       "=d:\\\\a\\\n\\\\b\\\\x", "=/a/b/x", 1},
      {"three backslashes then LF: the last is a continuation", kWindows,
       kLinux, "=d:\\\\a\\\\\\\nb\\\\x", "=/a/b/x", 1},
      {"escaped backslash before LF: a line end, no match", kWindows, kLinux,
       "=d:\\\\a\\\\\nb\\\\x", "=d:\\\\a\\\\\nb\\\\x", 0},
      {"escaped backslash before LF, one backslash in the target", "x\\y", "z",
       "x\\\\\ny", "x\\\\\ny", 0},
      {"backslash LF then CR: the CR stays, no match", kLinux, kWindows,
       "/a\\\n\r/b/", "/a\\\n\r/b/", 0},
      {"no occurrence leaves the continuations", kLinux, kWindows, "/a/\\\nc/",
       "/a/\\\nc/", 0},
      // "ab" -> "xa" in "ab\<LF>b": the second match is the inserted "a" and
      // the old "b", with the continuation between them.
      {"between the inserted and the old part of a match", "ab", "xa",
       "ab\\\nb\\\nc", "xxa\\\nc", 2},
      // A folder in hex, both ways, is in the recipes' worked examples.
      {"a dollar a backslash escapes is no hex byte", "x\xc3", "y",
       R"(x\$C3 x$C3)", R"(x\$C3 y)", 1},
      {"hex digits cut by a continuation are read as they stand", "\xc3", "y",
       "$C\\\n3", "$C\\\n3", 0},
  };
  Text scratch;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    Text text(c.text.begin(), c.text.end());
    std::int32_t length = static_cast<std::int32_t>(c.text.size());
    const ReplaceCall call{
        .target = c.target, .replacement = c.replacement, .mork = true};
    EXPECT_EQ(apply_replace(call, text, length, scratch), c.count);
    EXPECT_EQ(std::string_view(text), c.expected);
    EXPECT_EQ(static_cast<std::size_t>(length), text.size());
  }
}

TEST(MorkTest, RealPanaceaWithItsFolderBrokenConvertsAsUnbroken) {
  const auto real = real_profiles();
  if (!real) GTEST_SKIP() << "the real profile files are not present";
  const std::string unbroken =
      read_file(*real / "panacea-linux-commcentral.dat");
  const std::string folder = "/foo/bar/profile-default/";
  const std::string windows =
      R"(C:\\Documents and Settings\\mario\\Application Data\\Mozilla\\)"
      R"(Profiles\\default\\abcd1234.slt\\)";
  // The file's own folder never overlaps itself.
  int expected_count = 0;
  const std::string expected =
      replace_all(unbroken, folder, windows, &expected_count);
  ASSERT_GT(expected_count, 3);

  // The folder broken where a writer might break it, differently in the
  // first three occurrences; the file's own continuations stay as they are.
  std::string broken = unbroken;
  const std::pair<std::size_t, const char*> breaks[] = {
      {6, "\\\n"}, {20, "\\\r\n"}, {1, "\\\r"}};
  std::size_t from = 0;
  for (const auto& [offset, line_end] : breaks) {
    const std::size_t at = broken.find(folder, from);
    ASSERT_NE(at, std::string::npos);
    broken.insert(at + offset, line_end);
    from = at + folder.size();
  }

  ScopedTempDir dir;
  write_file(dir / "panacea.dat", broken);
  File file((dir / "panacea.dat").c_str());
  ASSERT_EQ(file.state(), FileState::kReady);
  EXPECT_EQ(file.replace(ReplaceCall{
                .target = folder, .replacement = windows, .mork = true}),
            expected_count);
  EXPECT_EQ(std::string_view(file.text()), expected);
  EXPECT_EQ(static_cast<std::size_t>(file.length()), expected.size());
}

}  // namespace
}  // namespace gemmel::testing
