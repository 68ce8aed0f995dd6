// The built program end to end: each test runs it in a fresh folder and
// checks its standard output, standard error, exit status and the files'
// bytes exactly.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support.h"

namespace gemmel::testing {
namespace {

namespace fs = std::filesystem;

const std::string kHelpText =
    "Gemmel\n"
    "Cambia i percorsi dei file di configurazione di Mozilla\n"
    "in modo da usare la stessa cartella per la versione di Windows e di "
    "Linux\n\n"
    "uso:\n"
    "\tgemmel [windir] [linuxdir] [ambiente] [modo]\n"
    "con:\n"
    "\t[windir]:\tpercorso completo della cartella windows di mozilla\n"
    "\t\t\t(es. d:\\documenti\\mozilla\\default\\asd6dhre.slt\\)\n"
    "\t[linuxdir]:\tpercorso completo della cartella linux di mozilla\n"
    "\t\t\t(es. /mnt/D/mozilla/default/asd6dhre.slt/)\n"
    "\t[ambiente]:\twin (windows), linux (linux)\n"
    "\t[modo]:\t\twin (da linux a windows), linux (da windows a linux)\n";
const std::string kReminder =
    "Numero di parametri errato!\nScrivi:\n\tgemmel --help\nper l'help\n";

std::string source_file(const std::string& relative) {
  return read_file(fs::path(GEMMEL_SOURCE_DIR) / relative);
}

class CliTest : public ::testing::Test {
 protected:
  RunResult run(const std::vector<std::string>& args) {
    return run_gemmel(args, {.cwd = dir_.path()});
  }

  ScopedTempDir dir_;
};

TEST_F(CliTest, HelpAndWrongCommandLinesTouchNothing) {
  // A small profile in Linux form whose folder is /p/ (d:\p\ under Windows).
  const std::string panacea = "(1=/p/a)<(80 (2=/p/b/c)";
  const std::string prefs = "pref(\"mail.newsrc_root\", \"/p/News\");";
  write_file(dir_ / "panacea.dat", panacea);
  write_file(dir_ / "prefs.js", prefs);
  EXPECT_EQ(run({"--help"}), (RunResult{kHelpText, "", 1}));
  // Any other single argument is refused by name, the empty one included,
  // and so is a modo that is not one of the two, compared case-sensitively,
  // before the folders are looked at.
  const std::vector<std::vector<std::string>> refused = {
      {"-h"},
      {"help"},
      {"--HELP"},
      {"--help "},
      {""},
      {"d:\\p", "", "x", "Win"},
      {"d:\\p\\", "/p/", "linux", ""}};
  for (const auto& args : refused) {
    EXPECT_EQ(run(args),
              (RunResult{report("Parametro sconosciuto", args.back()), "", 1}))
        << "argument '" << args.back() << "'";
  }
  // A folder without its own separator, an empty one included; of two, the
  // Windows one is named. An empty folder that ambiente picks would open the
  // files here. Then, with both separators in place, a folder that is no
  // full path: the Windows one needs a drive letter, a colon and a backslash,
  // or two backslashes; the Linux one a leading slash.
  const std::string windows =
      "La cartella windows deve finire con una barra rovesciata";
  const std::string linux = "La cartella linux deve finire con una barra";
  const std::string windows_full =
      "La cartella windows deve essere un percorso completo";
  const std::string linux_full =
      "La cartella linux deve essere un percorso completo";
  const struct {
    std::vector<std::string> args;
    std::string message, argument;
  } folders[] = {
      {{"d:\\p", "/p/", "linux", "linux"}, windows, "d:\\p"},
      {{"d:\\p/", "/p/", "x", "win"}, windows, "d:\\p/"},
      {{"", "/p/", "win", "win"}, windows, ""},
      {{"d:\\p\\", "/p", "win", "linux"}, linux, "/p"},
      {{"d:\\p\\", "/p\\", "x", "linux"}, linux, "/p\\"},
      {{"d:\\p\\", "", "linux", "win"}, linux, ""},
      {{"d:\\p", "", "linux", "win"}, windows, "d:\\p"},
      {{"", "/p\\", "x", "linux"}, windows, ""},
      {{"p\\", "p", "x", "linux"}, linux, "p"},
      {{"p\\", "/p/", "linux", "linux"}, windows_full, "p\\"},
      {{"\\p\\", "/p/", "win", "win"}, windows_full, "\\p\\"},
      {{"d:p\\", "/p/", "x", "linux"}, windows_full, "d:p\\"},
      {{"d:/p\\", "/p/", "x", "win"}, windows_full, "d:/p\\"},
      {{"1:\\p\\", "/p/", "x", "win"}, windows_full, "1:\\p\\"},
      {{"p\\", "p/", "x", "win"}, windows_full, "p\\"},
      {{"d:\\p\\", "p/", "linux", "linux"}, linux_full, "p/"},
  };
  for (const auto& f : folders) {
    EXPECT_EQ(run(f.args), failed(report(f.message, f.argument)))
        << f.args[0] << " " << f.args[1];
  }
  // Every count but one and four gets the reminder, never the help, and,
  // where an argument is a Windows folder whose backslashes the shell took
  // (D:\p\ typed without quotes, its "\ " gluing two arguments), how to
  // write it.
  const std::string hint =
      "La cartella windows va scritta tra apici singoli: 'D:\\...\\'\n";
  const struct {
    std::vector<std::string> args;
    bool hint = false;
  } counts[] = {
      {{}},
      {{"--help", "--help"}},
      {{"a", "b", "c"}},
      {{"a", "b", "c", "d", "e"}},
      {{"D:p /mnt/d/p/", "linux", "linux"}, true},
      {{"/p/", "x", "d:"}, true},
      {{"D:\\p\\", "/p/", "x"}},
      {{"1:p", "/p/", "x"}},
      {{":p", "/p/", "x"}},
  };
  for (const auto& c : counts) {
    EXPECT_EQ(run(c.args), (RunResult{kReminder, c.hint ? hint : "", 1}))
        << c.args.size() << " arguments";
  }
  EXPECT_EQ(list_dir(dir_.path()),
            (std::vector<std::string>{"panacea.dat", "prefs.js"}));
  EXPECT_EQ(read_file(dir_ / "panacea.dat"), panacea);
  EXPECT_EQ(read_file(dir_ / "prefs.js"), prefs);
}

TEST_F(CliTest, ConvertsTheSampleProfileBothWays) {
  // The profile folder is a real one here, so the Linux form of every path
  // names it instead of /mnt/D/mozilla/default/asd6dhre.slt/.
  const fs::path folder = dir_ / "asd6dhre.slt";
  const std::string linuxdir = folder.string() + "/";
  const std::string windows_prefs = source_file("examples/profile/prefs.js");
  const std::string windows_panacea =
      source_file("examples/profile/panacea.dat");
  fs::create_directory(folder);
  write_file(folder / "prefs.js", windows_prefs);
  write_file(folder / "panacea.dat", windows_panacea);
  const std::string example_linuxdir = "/mnt/D/mozilla/default/asd6dhre.slt/";

  EXPECT_EQ(run({kExampleWindir, linuxdir, "linux", "linux"}),
            (RunResult{kToLinux, "", 0}));
  const std::string linux_prefs = read_file(folder / "prefs.js");
  EXPECT_EQ(linux_prefs, replace_all(source_file("tests/data/prefs-linux.js"),
                                     example_linuxdir, linuxdir));
  EXPECT_EQ(read_file(folder / "panacea.dat"),
            replace_all(source_file("tests/data/panacea-linux.dat"),
                        example_linuxdir, linuxdir));
  EXPECT_EQ(read_file(folder / "prefs.js-bak"), windows_prefs);
  EXPECT_EQ(read_file(folder / "panacea.dat-bak"), windows_panacea);

  // Back to Windows: the original again, but the cache directory now keeps
  // the trailing separator it gained on the way to Linux.
  EXPECT_EQ(run({kExampleWindir, linuxdir, "linux", "win"}),
            (RunResult{kToWindows, "", 0}));
  EXPECT_EQ(read_file(folder / "panacea.dat"), windows_panacea);
  EXPECT_EQ(
      read_file(folder / "prefs.js"),
      replace_all(windows_prefs, "asd6dhre.slt\");", "asd6dhre.slt\\\\\");"));
  // Each run replaced the backups with the files as it found them.
  EXPECT_EQ(read_file(folder / "prefs.js-bak"), linux_prefs);
}

// A statement whose replacement holds its target further on is replaced
// again inside each insertion up to the statement's end: 30 KB of statement
// times 100 KB of linuxdir would pass 2 GiB. Here linuxdir holds windirTrimmed
// one byte in. panacea.dat, which would be converted, and its backup stay as
// they were.
TEST_F(CliTest, AResultOf2GiBLeavesBothFilesAndSaysSo) {
  const std::string linuxdir = "/c:\\\\a" + std::string(100000, 'x') + "/";
  const std::string prefs =
      "user_pref(\"k\", \"c:\\\\a\\\\Mail\");\n"
      "user_pref(\"browser.cache.disk.parent_directory\", \"c:\\\\a\"" +
      std::string(30000, 'y') + ");\n";
  write_file(dir_ / "panacea.dat", "(c:\\\\a\\\\)");
  write_file(dir_ / "panacea.dat-bak", "earlier");
  write_file(dir_ / "prefs.js", prefs);
  EXPECT_EQ(run({"c:\\a\\", linuxdir, "x", "linux"}),
            failed(report("Il file convertito raggiungerebbe 2 GiB, file "
                          "non modificato",
                          "prefs.js") +
                   "Nessun file modificato: il profilo resta com'era\n"));
  EXPECT_EQ(read_file(dir_ / "prefs.js"), prefs);
  EXPECT_EQ(read_file(dir_ / "panacea.dat"), "(c:\\\\a\\\\)");
  EXPECT_EQ(read_file(dir_ / "panacea.dat-bak"), "earlier");
}

TEST_F(CliTest, AmbienteChoosesWhereTheFilesAreOpened) {
  // "win" opens them under the escaped Windows folder: on Linux that is a
  // name in the current folder, backslashes and all.
  write_file(dir_ / "d:\\\\p\\\\panacea.dat", "<(80 d:\\\\p\\\\b");
  write_file(dir_ / "d:\\\\p\\\\prefs.js", "(\"d:\\\\p\\\\x\")");
  EXPECT_EQ(run({"d:\\p\\", "/p/", "win", "linux"}),
            (RunResult{kToLinux, "", 0}));
  EXPECT_EQ(read_file(dir_ / "d:\\\\p\\\\panacea.dat"), "<(80 /p/b");
  EXPECT_EQ(read_file(dir_ / "d:\\\\p\\\\prefs.js"), "(\"/p/x\")");
  EXPECT_EQ(read_file(dir_ / "d:\\\\p\\\\panacea.dat-bak"),
            "<(80 d:\\\\p\\\\b");
}

// `text` without its Mork line continuations: a backslash that ends an odd
// run of them, and the line end after it.
std::string joined(const std::string& text) {
  std::string result;
  std::size_t run = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && run % 2 == 0 && i + 1 < text.size() &&
        (text[i + 1] == '\n' || text[i + 1] == '\r')) {
      i += text.compare(i + 1, 2, "\r\n") == 0 ? 2 : 1;
      run = 0;
      continue;
    }
    run = text[i] == '\\' ? run + 1 : 0;
    result += text[i];
  }
  return result;
}

// The lines of `after` that differ from those of `before`, which must have
// as many once continuations are joined, where `before`'s line does not
// hold `folder`.
std::vector<std::string> changed_elsewhere(std::string before,
                                           std::string after,
                                           const std::string& folder) {
  before = joined(before);
  after = joined(after);
  std::vector<std::string> changed;
  std::size_t a = 0;
  std::size_t b = 0;
  while (a < before.size() && b < after.size()) {
    const std::size_t a_end = std::min(before.find('\n', a), before.size());
    const std::size_t b_end = std::min(after.find('\n', b), after.size());
    const std::string line = before.substr(a, a_end - a);
    if (line != after.substr(b, b_end - b) &&
        line.find(folder) == std::string::npos) {
      changed.push_back(line);
    }
    a = a_end + 1;
    b = b_end + 1;
  }
  if ((a < before.size()) != (b < after.size()))
    changed.emplace_back("(lines)");
  return changed;
}

// Files the browser and its mail client wrote: from Linux to Windows only
// the values that hold the profile's folder change, and the way back gives
// the original, but for the cache folder's trailing separator and the line
// breaks inside the folder in panacea.dat.
TEST_F(CliTest, RealProfilesChangeOnlyTheirPathsAndSurviveARoundTrip) {
  const auto real = real_profiles();
  if (!real) GTEST_SKIP() << "no real profiles beside the project";
  // prefs.js of a profile that never used mail: no panacea.dat.
  const std::string prefs = read_file(*real / "prefs-linux-webthumb.js");
  write_file(dir_ / "prefs.js", prefs);
  const std::string windir = "c:\\profilo\\";
  const std::string linuxdir = "/home/user01/.mozilla/user01/tzfyduwh.slt/";
  const std::string untrailed = linuxdir.substr(0, linuxdir.size() - 1);

  EXPECT_EQ(run({windir, linuxdir, "x", "win"}),
            (RunResult{kToWindows, "", 0}));
  const std::string windows_prefs = read_file(dir_ / "prefs.js");
  EXPECT_EQ(changed_elsewhere(prefs, windows_prefs, untrailed),
            std::vector<std::string>{});
  // The cache folder is stored without its trailing slash.
  EXPECT_NE(windows_prefs.find("\"browser.cache.disk.parent_directory\", "
                               "\"c:\\\\profilo\");"),
            std::string::npos);
  EXPECT_NE(windows_prefs.find("\"mail.newsrc_root\", "
                               "\"c:\\\\profilo\\\\News\");"),
            std::string::npos);
  EXPECT_EQ(windows_prefs.find(untrailed), std::string::npos);
  EXPECT_EQ(run({windir, linuxdir, "x", "linux"}),
            (RunResult{kToLinux, "", 0}));
  EXPECT_EQ(read_file(dir_ / "prefs.js"),
            replace_all(prefs, "tzfyduwh.slt\");", "tzfyduwh.slt/\");"));

  // The mail folder cache, with a Windows folder long enough that the
  // browser's writer breaks it across lines.
  const std::string panacea =
      read_file(*real / "panacea-linux-commcentral.dat");
  const std::string mail_dir = "/foo/bar/profile-default/";
  const std::string mail_prefs =
      "user_pref(\"mail.root.none\", \"" + mail_dir + "Mail\");\n";
  write_file(dir_ / "panacea.dat", panacea);
  write_file(dir_ / "prefs.js", mail_prefs);
  const std::string long_windir =
      "C:\\Documents and Settings\\mario\\Application Data\\Mozilla\\"
      "Profiles\\default\\abcd1234.slt\\";
  EXPECT_EQ(run({long_windir, mail_dir, "x", "win"}),
            (RunResult{kToWindows, "", 0}));
  std::string windows_panacea = read_file(dir_ / "panacea.dat");
  EXPECT_EQ(changed_elsewhere(panacea, windows_panacea, mail_dir),
            std::vector<std::string>{});
  EXPECT_EQ(windows_panacea.find(mail_dir), std::string::npos);
  const std::size_t broken = windows_panacea.find("Application Da");
  ASSERT_NE(broken, std::string::npos);
  windows_panacea.insert(broken + 14, "\\\n");
  write_file(dir_ / "panacea.dat", windows_panacea);
  EXPECT_EQ(run({long_windir, mail_dir, "x", "linux"}),
            (RunResult{kToLinux, "", 0}));
  EXPECT_EQ(read_file(dir_ / "panacea.dat"), panacea);
  EXPECT_EQ(read_file(dir_ / "prefs.js"), mail_prefs);

  // A CR-only file in which no folder occurs is left byte for byte.
  const std::string mac = read_file(*real / "panacea-mac-jmork.dat");
  write_file(dir_ / "panacea.dat", mac);
  EXPECT_EQ(run({long_windir, mail_dir, "x", "win"}),
            (RunResult{kToWindows, "", 0}));
  EXPECT_EQ(read_file(dir_ / "panacea.dat"), mac);
}

}  // namespace
}  // namespace gemmel::testing
