// Command lines and files chosen to break the program: directories that make
// a replacement find its own insertion, empty and huge arguments, newlines,
// files made of keys and separators, binary files. Each run must end with
// the result the replacement rule defines.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "cli/recipes.h"
#include "plain_conversion.h"
#include "support.h"

namespace gemmel::testing {
namespace {

const std::string kToWindows = "Esportazione linux->windows terminata!\n";
const std::string kToLinux = "Esportazione windows->linux terminata!\n";

struct Case {
  const char* label;
  std::string windir, linuxdir, modo;
  std::string panacea, prefs;              // before
  std::string panacea_after, prefs_after;  // after
};

class HostileTest : public ::testing::Test {
 protected:
  // Converts the two texts in the current folder (an unknown ambiente).
  void expect_conversion(const Case& c) {
    SCOPED_TRACE(c.label);
    write_file(dir_ / "panacea.dat", c.panacea);
    write_file(dir_ / "prefs.js", c.prefs);
    const std::string done = c.modo == "win" ? kToWindows : kToLinux;
    EXPECT_EQ(run_gemmel({c.windir, c.linuxdir, "here", c.modo},
                         {.cwd = dir_.path()}),
              (RunResult{done, "", 0}));
    EXPECT_EQ(read_file(dir_ / "panacea.dat"), c.panacea_after);
    EXPECT_EQ(read_file(dir_ / "prefs.js"), c.prefs_after);
    EXPECT_EQ(read_file(dir_ / "panacea.dat-bak"), c.panacea);
    EXPECT_EQ(read_file(dir_ / "prefs.js-bak"), c.prefs);
  }

  ScopedTempDir dir_;
};

TEST_F(HostileTest, DirectoriesThatWouldMakeAReplacementEndless) {
  const Case cases[] = {
      {"empty linuxdir: only the separator steps act", "d:\\p\\", "", "win",
       "a/b<(80/c", "x/y mail.newsrc_root/z",  //
       "a/b<(80\\\\c", "x/y mail.newsrc_root\\\\z"},
      {"windirEscaped contains linuxdir: each insertion is passed over",
       "d:\\a\\", "a", "win",  //
       "a<(80a/", "a;a",       //
       "d:\\\\a\\\\<(80d:\\\\a\\\\\\\\", "d:\\\\a\\\\;d:\\\\a\\\\"},
      {"empty windir: only the separator steps act", "", "/p/", "linux",
       "a\\\\b<(80\\\\c", "x\\\\y mail.newsrc_root\\\\z",  //
       "a\\\\b<(80/c", "x\\\\y mail.newsrc_root/z"},
      {"linuxdir contains windirEscaped", "b", "/abc/", "linux",  //
       "b<(80b", "b;b",                                           //
       "/abc/<(80/abc/", "/abc/;/abc/"},
      {"linuxdir begins with windirTrimmed", "d:\\x\\", "d:\\\\x/", "linux", "",
       "browser.cache.disk.parent_directory d:\\\\x);",  //
       "", "browser.cache.disk.parent_directory d:\\\\x/);"},
      {"a lone backslash: windirTrimmed is empty", "\\", "/p/", "linux",
       "a\\\\b<(80\\\\c", "browser.cache.disk.parent_directory \\\\);",  //
       "a/p/b<(80/p/c", "browser.cache.disk.parent_directory /p/);"},
  };
  for (const Case& c : cases) expect_conversion(c);
}

TEST_F(HostileTest, HugeArgumentsAndNewlines) {
  const std::string inner(64 * 1024, 'w');
  const std::string linux_inner(64 * 1024, 'l');
  expect_conversion(
      {"64 KiB directories", "c:\\" + inner + "\\", "/" + linux_inner + "/",
       "linux",  //
       "<(80 c:\\\\" + inner + "\\\\a\\\\b",
       "pref(\"mail.newsrc_root\", \"c:\\\\" + inner + "\\\\News\");",
       "<(80 /" + linux_inner + "/a/b",
       "pref(\"mail.newsrc_root\", \"/" + linux_inner + "/News\");"});
  expect_conversion({"newlines in the directories", "d:\\a\nb\\", "/a\nb/",
                     "win",  //
                     "<(80 /a\nb/c", "pref(\"mail.newsrc_root\", \"/a\nb/N\");",
                     "<(80 d:\\\\a\nb\\\\c",
                     "pref(\"mail.newsrc_root\", \"d:\\\\a\nb\\\\N\");"});
}

TEST_F(HostileTest, InsertionsThatHoldOrBeginTheNextMatch) {
  // Each pass of these finds its next match in, or starting in, the text it
  // has just inserted: thousands of passes, which must all be done and give
  // what the plain loop gives.
  const std::string run(5000, 'a');
  const struct {
    const char* label;
    std::string windir, linuxdir, modo, prefs;
  } cases[] = {
      {"windirTrimmed inside linuxdir, a long cache statement", "a\\", "/aa/",
       "linux", "browser.cache.disk.parent_directory \"" + run + "\");"},
      {"windirEscaped ends with the start of linuxdir", "b" + run, run + "a",
       "win", run + run + "a"},
  };
  for (const auto& c : cases) {
    const Directories dirs = prepare_directories(c.windir, c.linuxdir);
    const Recipe& recipe = *find_recipe(c.modo);
    expect_conversion(
        {c.label, c.windir, c.linuxdir, c.modo, "", c.prefs, "",
         plain_convert(recipe, ProfileFile::kPrefs, dirs, c.prefs)});
  }
}

// Texts made of the pieces the recipes look for, in random order, and
// random bytes; compared with the plain loop doing the same recipe.
std::string random_text(std::mt19937& random, std::size_t pieces, bool binary) {
  const std::string parts[] = {"mail.newsrc_root",
                               "browser.cache.disk.parent_directory",
                               "browser.search.defaultengine",
                               "<(80",
                               ");",
                               "\\\\",
                               "\\",
                               "/",
                               "d:\\\\p\\\\",
                               "/p/",
                               "C%3A%5CPROGRA%7E1%5CMOZILLA.ORG%5CMOZILLA%5C"
                               "searchplugins%5C",
                               "/usr/local/mozilla/searchplugins/"};
  std::string text;
  for (std::size_t i = 0; i < pieces; ++i) {
    if (binary) {
      text += static_cast<char>(random() & 0xff);
    } else {
      text += parts[random() % std::size(parts)];
    }
  }
  return text;
}

TEST_F(HostileTest, FilesOfKeysSeparatorsAndBinaryBytes) {
  std::mt19937 random(42);
  const Directories dirs = prepare_directories("d:\\p\\", "/p/");
  for (const std::string modo : {"win", "linux"}) {
    for (const bool binary : {false, true}) {
      SCOPED_TRACE(modo + (binary ? " binary" : " keys and separators"));
      const std::string panacea = random_text(random, 3000, binary);
      const std::string prefs = random_text(random, 3000, binary);
      const Recipe& recipe = *find_recipe(modo);
      expect_conversion(
          {"generated", "d:\\p\\", "/p/", modo, panacea, prefs,
           plain_convert(recipe, ProfileFile::kPanacea, dirs, panacea),
           plain_convert(recipe, ProfileFile::kPrefs, dirs, prefs)});
    }
  }
}

}  // namespace
}  // namespace gemmel::testing
