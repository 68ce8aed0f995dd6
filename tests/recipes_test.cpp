// The two conversion recipes, run by the built program and compared with the
// recipes written out by hand: worked examples, and command lines under which
// dropping or reordering any one step changes the result.
#include <gtest/gtest.h>

#include <string>

#include "conversion_oracle.h"
#include "support.h"

namespace gemmel::testing {
namespace {

TEST(RecipesTest, WorkedExamplesShowAWrongStepOrFolderForm) {
  ScopedTempDir dir;
  const ConversionCase cases[] = {
      {"linux to windows: the untrailed cache folder, the search engine, "
       "every separator after mail.newsrc_root",
       "d:\\p\\", "/p/", "win", "(1=/p/a)<(80 (2=/p/b/c)",
       "pref(\"browser.cache.disk.parent_directory\", \"/p\");\n"
       "pref(\"browser.search.defaultengine\", "
       "\"engine:///usr/local/mozilla/searchplugins/g.src\");\n"
       "pref(\"h\", \"http://x/\");\n"
       "pref(\"d\", \"/p/Download\");\n"
       "pref(\"mail.newsrc_root\", \"/p/News\");\n"
       "pref(\"u\", \"http://x/\");\n",
       "(1=d:\\\\p\\\\a)<(80 (2=d:\\\\p\\\\b\\\\c)",
       "pref(\"browser.cache.disk.parent_directory\", \"d:\\\\p\");\n"
       "pref(\"browser.search.defaultengine\", \"engine://"
       "C%3A%5CPROGRA%7E1%5CMOZILLA.ORG%5CMOZILLA%5Csearchplugins%5C"
       "g.src\");\n"
       "pref(\"h\", \"http://x/\");\n"
       "pref(\"d\", \"d:\\\\p\\\\Download\");\n"
       "pref(\"mail.newsrc_root\", \"d:\\\\p\\\\News\");\n"
       "pref(\"u\", \"http:\\\\\\\\x\\\\\");\n"},
      {"linux to windows: the cache step finishes what step 3 began",
       "c:\\x/\\", "/c:\\\\x/", "win", "",
       "pref(\"browser.cache.disk.parent_directory\", \"//c:\\\\x/\");\n"
       "pref(\"mail.newsrc_root\", \"//c:\\\\x/\");",
       "",
       "pref(\"browser.cache.disk.parent_directory\", \"c:\\\\x/\\\\\\\\\");\n"
       "pref(\"mail.newsrc_root\", \"c:\\\\x\\\\\\\\\\\\\");"},
      {"windows to linux: windirTrimmed, the search engine, every separator "
       "after mail.newsrc_root",
       "d:\\p\\", "/p/", "linux", "(1=d:\\\\p\\\\a)<(80 (2=d:\\\\p\\\\b\\\\c)",
       "pref(\"browser.cache.disk.parent_directory\", \"d:\\\\p\");\n"
       "pref(\"browser.search.defaultengine\", \"engine://"
       "C%3A%5CPROGRA%7E1%5CMOZILLA.ORG%5CMOZILLA%5Csearchplugins%5C"
       "g.src\");\n"
       "pref(\"h\", \"e:\\\\x\");\n"
       "pref(\"d\", \"d:\\\\p\\\\Download\");\n"
       "pref(\"mail.newsrc_root\", \"d:\\\\p\\\\News\");\n"
       "pref(\"u\", \"e:\\\\x\");\n",
       "(1=/p/a)<(80 (2=/p/b/c)",
       "pref(\"browser.cache.disk.parent_directory\", \"/p/\");\n"
       "pref(\"browser.search.defaultengine\", "
       "\"engine:///usr/local/mozilla/searchplugins/g.src\");\n"
       "pref(\"h\", \"e:\\\\x\");\n"
       "pref(\"d\", \"/p/Download\");\n"
       "pref(\"mail.newsrc_root\", \"/p/News\");\n"
       "pref(\"u\", \"e:/x\");\n"},
      {"a backslash typed twice is doubled again, in the untrailed cache "
       "folder too",
       "e:\\\\x\\", "/x/", "win", "(/x/a)",
       "pref(\"browser.cache.disk.parent_directory\", \"/x\");",
       "(e:\\\\\\\\x\\\\a)",
       "pref(\"browser.cache.disk.parent_directory\", \"e:\\\\\\\\x\");"},
  };
  for (const ConversionCase& c : cases) expect_conversion(dir.path(), c);
}

// Each case is named after the steps whose loss or swap it shows, numbered as
// the design's tables number them; 4b is the untrailed cache step. The worked
// examples above show the rest. Steps on different files cannot interact.
TEST(RecipesTest, AStepDroppedOrSwappedShows) {
  ScopedTempDir dir;
  // Two linuxdirs below hold the Windows searchplugins prefix, so that the
  // search-engine step and the folder steps meet.
  const std::string windows_plugins =
      "C%3A%5CPROGRA%7E1%5CMOZILLA.ORG%5CMOZILLA%5Csearchplugins%5C";
  const ConversionCase cases[] = {
      {"to windows: swap 3/4 or 4/4b (the untrailed step)", "d:\\/a/\\", "/a/",
       "win", "", "pref(\"browser.cache.disk.parent_directory\", \"/a/\");"},
      {"to windows: swap 4b/5", "d:\\p\\", "/usr/lo/", "win", "/usr/lo/",
       "/usr/lo/ pref(\"browser.cache.disk.parent_directory "
       "browser.search.defaultengine\", "
       "\"engine:///usr/local/mozilla/searchplugins/g.src\");"},
      {"to windows: swap 5/6", "d:\\", "/" + windows_plugins + "/", "win", "",
       "pref(\"mail.newsrc_root\", \"\");\n"
       "pref(\"browser.search.defaultengine\", "
       "\"//usr/local/mozilla/searchplugins//g\");"},
      {"to linux: drop 4 or 7, swap 4/5 or 7/8", "d:\\/\\", "/\\\\x/", "linux",
       "d:\\\\/\\\\",
       "pref(\"browser.cache.disk.parent_directory\", \"d:\\\\d:\\\\/\\\\\");\n"
       "pref(\"mail.newsrc_root\", \"d:\\\\d:\\\\/\\\\x\");"},
      {"to linux: swap 3/4", "c:\\q\\", "/c:\\\\q\\\\/", "linux", "",
       "pref(\"browser.cache.disk.parent_directory\", \"c:\\\\q\\\\\");"},
      {"to linux: swap 5/6", "c:\\p\\", "/" + windows_plugins + "/", "linux",
       "c:\\\\p\\\\",
       "c:\\\\p\\\\ pref(\"browser.cache.disk.parent_directory "
       "browser.search.defaultengine\", \"c:\\\\p\");"},
      {"to linux: swap 6/7", "c:\\/\\", "/\\\\" + windows_plugins + "/",
       "linux", "",
       "pref(\"mail.newsrc_root\", \"\");\n"
       "pref(\"browser.search.defaultengine\", \"c:\\\\c:\\\\/\\\\\");"},
  };
  for (const ConversionCase& c : cases) expect_conversion(dir.path(), c);
}

}  // namespace
}  // namespace gemmel::testing
