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
       "the rest of each path; a URL, a contract ID, a pref name with a "
       "slash, a relative pref and a path elsewhere kept; an escaped quote "
       "inside a value",
       "d:\\p\\", "/p/", "win",
       "(1=/p/a)<(80 (2=/p/b/c)(3=mailbox://nobody@Local%20Folders/Junk)",
       R"(pref("browser.cache.disk.parent_directory", "/p");
pref("browser.search.defaultengine", "engine:///usr/local/mozilla/searchplugins/g.src");
pref("h", "http://x/");
pref("d", "/p/Download/a b");
pref("mail.newsrc_root", "/p/News");
pref("mail.server.server1.storeContractID", "@mozilla.org/msgstore/berkeleystore;1");
pref("mail.server.server1.directory-rel", "[ProfD]Mail/pop.libero.it");
pref("print.printer_PostScript/default.print_bgcolor", false);
pref("u", "https://x/y");
pref("q", "/p/a\"b/c");
pref("o", "/other/q/x");
)",
       R"((1=d:\\p\\a)<(80 (2=d:\\p\\b\\c)(3=mailbox://nobody@Local%20Folders/Junk))",
       R"(pref("browser.cache.disk.parent_directory", "d:\\p");
pref("browser.search.defaultengine", "engine://C%3A%5CPROGRA%7E1%5CMOZILLA.ORG%5CMOZILLA%5Csearchplugins%5Cg.src");
pref("h", "http://x/");
pref("d", "d:\\p\\Download\\a b");
pref("mail.newsrc_root", "d:\\p\\News");
pref("mail.server.server1.storeContractID", "@mozilla.org/msgstore/berkeleystore;1");
pref("mail.server.server1.directory-rel", "[ProfD]Mail/pop.libero.it");
pref("print.printer_PostScript/default.print_bgcolor", false);
pref("u", "https://x/y");
pref("q", "d:\\p\\a\"b\\c");
pref("o", "/other/q/x");
)"},
      {"linux to windows: the cache step finishes what step 3 began",
       "c:\\x/\\", "/c:\\\\x/", "win", "",
       "pref(\"browser.cache.disk.parent_directory\", \"//c:\\\\x/\");\n"
       "pref(\"mail.newsrc_root\", \"//c:\\\\x/\");",
       "",
       "pref(\"browser.cache.disk.parent_directory\", \"c:\\\\x/\\\\\\\\\");\n"
       "pref(\"mail.newsrc_root\", \"c:\\\\x/\\\\\\\\\");"},
      {"windows to linux: windirTrimmed, the search engine, the rest of each "
       "path; a path elsewhere kept",
       "d:\\p\\", "/p/", "linux", R"((1=d:\\p\\a)<(80 (2=d:\\p\\b\\c))",
       R"(pref("browser.cache.disk.parent_directory", "d:\\p");
pref("browser.search.defaultengine", "engine://C%3A%5CPROGRA%7E1%5CMOZILLA.ORG%5CMOZILLA%5Csearchplugins%5Cg.src");
pref("h", "e:\\x");
pref("d", "d:\\p\\Download");
pref("mail.newsrc_root", "d:\\p\\News");
pref("u", "e:\\x");
)",
       "(1=/p/a)<(80 (2=/p/b/c)",
       R"(pref("browser.cache.disk.parent_directory", "/p/");
pref("browser.search.defaultengine", "engine:///usr/local/mozilla/searchplugins/g.src");
pref("h", "e:\\x");
pref("d", "/p/Download");
pref("mail.newsrc_root", "/p/News");
pref("u", "e:\\x");
)"},
      {"windows to linux: a mail-only profile (no mail.newsrc_root), the "
       "Windows folder in two spellings, neither the one given, a relative "
       "pref kept",
       "D:\\Documenti\\p\\", "/mnt/d/p/", "linux", "",
       R"(user_pref("mail.server.server1.directory", "d:\\documenti\\p\\Mail\\pop.libero.it");
user_pref("mail.server.server1.directory-rel", "[ProfD]Mail/pop.libero.it");
user_pref("mail.server.server2.directory", "D:\\DOCUMENTI\\P\\Mail\\Local Folders");
user_pref("browser.download.dir", "d:\\documenti\\scaricati");
)",
       "",
       R"(user_pref("mail.server.server1.directory", "/mnt/d/p/Mail/pop.libero.it");
user_pref("mail.server.server1.directory-rel", "[ProfD]Mail/pop.libero.it");
user_pref("mail.server.server2.directory", "/mnt/d/p/Mail/Local Folders");
user_pref("browser.download.dir", "d:\\documenti\\scaricati");
)"},
      {"windows to linux: a non-ASCII folder in panacea.dat's hex, in other "
       "letter case, a continuation inside the rest of a path, an escaped "
       "parenthesis",
       "D:\\Niccol\xc3\xb2\\", "/mnt/d/Niccol\xc3\xb2/", "linux",
       "<(80=d:\\\\NICCOL$c3$b2\\\\Mail\\\\Loc\\\nal Folders\\\\Inbox.msf)"
       "(81=D:\\\\Niccol$C3$B2\\\\x\\\\y\\)z\\\\w)",
       "user_pref(\"mail.root.none\", \"D:\\\\Niccol\xc3\xb2\\\\Mail\");\n",
       "<(80=/mnt/d/Niccol$C3$B2/Mail/Loc\\\nal Folders/Inbox.msf)"
       "(81=/mnt/d/Niccol$C3$B2/x/y\\)z/w)",
       "user_pref(\"mail.root.none\", \"/mnt/d/Niccol\xc3\xb2/Mail\");\n"},
      {"linux to windows: a non-ASCII folder goes into panacea.dat in hex",
       "D:\\Niccol\xc3\xb2\\", "/mnt/d/Niccol\xc3\xb2/", "win",
       "(1=/mnt/d/Niccol$C3$B2/Mail/x)",
       "user_pref(\"mail.root.none\", \"/mnt/d/Niccol\xc3\xb2/Mail\");\n",
       R"((1=D:\\Niccol$C3$B2\\Mail\\x))",
       "user_pref(\"mail.root.none\", \"D:\\\\Niccol\xc3\xb2\\\\Mail\");\n"},
      {"windows to linux: a folder with parentheses, which panacea.dat "
       "escapes",
       "D:\\Posta (vecchia)\\p\\", "/mnt/d/Posta (vecchia)/p/", "linux",
       R"((80=D:\\Posta (vecchia\)\\p\\Mail\\Inbox))",
       R"(user_pref("mail.root.none", "D:\\Posta (vecchia)\\p\\Mail");)",
       R"((80=/mnt/d/Posta (vecchia\)/p/Mail/Inbox))",
       R"(user_pref("mail.root.none", "/mnt/d/Posta (vecchia)/p/Mail");)"},
      {"linux to windows: a folder with a dollar, which panacea.dat escapes",
       "D:\\a$b\\", "/mnt/d/a$b/", "win", R"((1=/mnt/d/a\$b/x))",
       R"(user_pref("d", "/mnt/d/a$b/x");)", R"((1=D:\\a\$b\\x))",
       R"(user_pref("d", "D:\\a$b\\x");)"},
      {"windows to linux: a profile half converted by an earlier version is "
       "mended",
       "d:\\p\\", "/mnt/d/p/", "linux", "",
       R"(user_pref("mail.server.server1.directory", "/mnt/d/p/Mail\\pop.libero.it");)",
       "",
       R"(user_pref("mail.server.server1.directory", "/mnt/d/p/Mail/pop.libero.it");)"},
      {"linux to windows: a profile at a drive's root has no last name to "
       "compare",
       "d:\\", "/mnt/d/", "win", "",
       "pref(\"browser.cache.disk.parent_directory\", \"/mnt/d/\");", "",
       "pref(\"browser.cache.disk.parent_directory\", \"d:\\\\\");"},
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
       "pref(\"mail.newsrc_root\", \"d:\\\\\");\n"
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
