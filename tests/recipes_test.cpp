// The directory strings a run prepares from its arguments.
#include "cli/recipes.h"

#include <gtest/gtest.h>

namespace gemmel {
namespace {

TEST(DirectoriesTest, EveryBackslashIsDoubled) {
  EXPECT_EQ(escape_backslashes("d:\\a\\b\\"), "d:\\\\a\\\\b\\\\");
  EXPECT_EQ(escape_backslashes("d:\\\\a"), "d:\\\\\\\\a");  // already doubled
  EXPECT_EQ(escape_backslashes("/no/backslash"), "/no/backslash");
  EXPECT_EQ(escape_backslashes(""), "");
}

TEST(DirectoriesTest, TrimmedDropsTheLastSeparatorWhereverItStands) {
  // The help's folder loses its trailing separator.
  EXPECT_EQ(prepare_directories(
                "d:\\documenti\\mozilla\\default\\asd6dhre.slt\\", "/mnt/D/")
                .windir_trimmed,
            "d:\\\\documenti\\\\mozilla\\\\default\\\\asd6dhre.slt");
  // Without a trailing backslash it goes from the middle.
  EXPECT_EQ(prepare_directories("d:\\a\\b", "/x/").windir_trimmed, "d:\\\\ab");
  // A lone backslash trims to nothing; no backslash, no trimmed form.
  EXPECT_EQ(prepare_directories("\\", "/x/").windir_trimmed, "");
  EXPECT_EQ(prepare_directories("d:", "/x/").windir_trimmed, std::nullopt);
}

TEST(DirectoriesTest, UntrailedFormsNeedBothTrailingSeparators) {
  const Directories both = prepare_directories("d:\\a\\", "/mnt/a/");
  EXPECT_EQ(both.linuxdir_untrailed, "/mnt/a");
  EXPECT_EQ(both.windir_escaped_untrailed, "d:\\\\a");
  EXPECT_EQ(prepare_directories("d:\\a", "/mnt/a/").linuxdir_untrailed,
            std::nullopt);
  EXPECT_EQ(prepare_directories("d:\\a\\", "/mnt/a").windir_escaped_untrailed,
            std::nullopt);
}

TEST(RecipesTest, ModoSelectsTheDirectionCaseSensitively) {
  ASSERT_NE(find_recipe("win"), nullptr);
  EXPECT_EQ(find_recipe("win")->completion,
            "Esportazione linux->windows terminata!");
  ASSERT_NE(find_recipe("linux"), nullptr);
  EXPECT_EQ(find_recipe("linux")->completion,
            "Esportazione windows->linux terminata!");
  EXPECT_EQ(find_recipe("Win"), nullptr);
  EXPECT_EQ(find_recipe(""), nullptr);
}

}  // namespace
}  // namespace gemmel
