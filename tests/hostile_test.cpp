// Command lines and files chosen to break the program: directories that make
// a replacement find its own insertion, empty and huge arguments, newlines,
// files made of keys and separators, binary files. Each run must end with
// the result the replacement rule defines.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "conversion_oracle.h"
#include "support.h"

namespace gemmel::testing {
namespace {

// Directories that make a replacement find its own insertion again, or are
// 64 KiB long (a replacement much longer than
// the text it goes into outgrows any first guess of the result's size): each
// run must end with what the loop defines.
TEST(HostileTest, DirectoriesThatWouldMakeAReplacementEndlessOrHuge) {
  ScopedTempDir dir;
  const std::string huge(64 * 1024, 'l');
  std::string drives;  // what each pass of the last case leaves behind
  for (int pass = 0; pass < 5000; ++pass) drives += "c:\\\\";
  const ConversionCase cases[] = {
      {"windirEscaped contains linuxdir: each insertion is passed over",
       "d:\\/a/\\", "/a/", "win",  //
       "/a/<(80/a/b", "/a/;/a/",   //
       "d:\\\\/a/\\\\<(80d:\\\\\\\\a\\\\\\\\b",
       "d:\\\\/a/\\\\;d:\\\\\\\\a\\\\\\\\"},
      {"linuxdir contains windirEscaped", "c:\\b\\", "/ac:\\\\b\\\\c/",
       "linux",                                                  //
       "c:\\\\b\\\\<(80c:\\\\b\\\\", "c:\\\\b\\\\;c:\\\\b\\\\",  //
       "/ac:\\\\b\\\\c/<(80/ac:/b/c/", "/ac:\\\\b\\\\c/;/ac:/b/c/"},
      {"a bare network prefix: windirEscaped is four backslashes, "
       "windirTrimmed two",
       "\\\\", "/p/", "linux", "a\\\\\\\\\\\\b<(80\\\\\\\\\\\\c",
       "browser.cache.disk.parent_directory \\\\\\\\\\\\);",  //
       "a/p//b<(80/p//c", "browser.cache.disk.parent_directory /p//p/);"},
      {"windirTrimmed inside linuxdir, a long cache statement: thousands of "
       "passes",
       "c:\\a\\", "/c:\\\\a/", "linux", "",
       "browser.cache.disk.parent_directory \"c:\\\\a\"" +
           std::string(5000, ' ') + ");"},
      {"windirEscaped ends with the start of linuxdir: thousands of passes",
       "c:\\/" + std::string(5000, 'a') + "\\",
       "/" + std::string(5000, 'a') + "\\\\/", "win", "",
       "/" + std::string(5000, 'a') + "\\\\" + std::string(5000, '/'), "",
       drives + "/" + std::string(5000, 'a') + "\\\\"},
      {"newlines in the directories", "d:\\a\nb\\", "/a\nb/", "win",
       "<(80 /a\nb/c", "pref(\"mail.newsrc_root\", \"/a\nb/N\");",
       "<(80 d:\\\\a\nb\\\\c",
       "pref(\"mail.newsrc_root\", \"d:\\\\a\nb\\\\N\");"},
      {"an 8-byte panacea.dat grows by a 64 KiB linuxdir", "d:\\",
       "/" + huge + "/", "linux", "ab=d:\\\\;",
       "pref(\"mail.newsrc_root\", \"d:\\\\x\");", "ab=/" + huge + "/;",
       "pref(\"mail.newsrc_root\", \"/" + huge + "/x\");"},
      {"a 64 KiB linuxdir as the target", "d:\\", "/" + huge + "/", "win",
       "<(80 /" + huge + "/a/b", "/" + huge + "/", "<(80 d:\\\\a\\\\b",
       "d:\\\\"},
  };
  for (const ConversionCase& c : cases) expect_conversion(dir.path(), c);
}

// Texts made of the pieces the recipes look for, in random order, and
// random bytes.
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

TEST(HostileTest, FilesOfKeysSeparatorsAndBinaryBytes) {
  ScopedTempDir dir;
  std::mt19937 random(42);
  for (const std::string modo : {"win", "linux"}) {
    for (const bool binary : {false, true}) {
      expect_conversion(dir.path(),
                        {binary ? "binary" : "keys and separators", "d:\\p\\",
                         "/p/", modo, random_text(random, 3000, binary),
                         (modo == "win" ? "/p/" : "d:\\\\p\\\\") +
                             random_text(random, 3000, binary)});
    }
  }
}

}  // namespace
}  // namespace gemmel::testing
