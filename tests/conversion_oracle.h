// The two conversions written out by hand, as the design's recipe tables give
// them, run with the plain replacement loop, and a check of the built program
// against them. Nothing here comes from the program's own recipes: a change
// to a step of theirs shows as a difference.
#ifndef GEMMEL_TESTS_CONVERSION_ORACLE_H_
#define GEMMEL_TESTS_CONVERSION_ORACLE_H_

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "plain_replace.h"
#include "support.h"

namespace gemmel::testing {

struct OracleStep {
  bool prefs;  // otherwise panacea.dat
  Form form;
  std::string target, replacement;
  std::string start_key, end_key;
  bool windows;  // the target is the Windows folder: its letters in any case
};

// The steps of the direction `modo` selects, in their order.
inline std::vector<OracleStep> oracle_recipe(const std::string& windir,
                                             const std::string& linuxdir,
                                             const std::string& modo) {
  using enum Form;
  std::string escaped;  // windirEscaped
  for (const char c : windir) escaped += c == '\\' ? "\\\\" : std::string{c};
  const std::string cache = "browser.cache.disk.parent_directory",
                    engine = "browser.search.defaultengine",
                    newsrc = "mail.newsrc_root", sep = "\\\\",
                    linux_plugins = "/usr/local/mozilla/searchplugins/",
                    windows_plugins =
                        "C%3A%5CPROGRA%7E1%5CMOZILLA.ORG%5CMOZILLA%5C"
                        "searchplugins%5C";
  // Both folders end in their separator (the program refuses others): the
  // untrailed forms and windirTrimmed lose it.
  const std::string linux_untrailed = linuxdir.substr(0, linuxdir.size() - 1),
                    windows_untrailed = escaped.substr(0, escaped.size() - 2);
  if (modo == "win") {
    return {
        {false, kOffset, linuxdir, escaped, "", "", false},
        {true, kOffset, linuxdir, escaped, "", "", false},
        {true, kBounded, linuxdir, escaped, cache, ");", false},
        {true, kBounded, linux_untrailed, windows_untrailed, cache, ");",
         false},
        {true, kBounded, linux_plugins, windows_plugins, engine, ");", false},
        {true, kStartKey, linuxdir, escaped, newsrc, "", false},
    };
  }
  return {
      {false, kOffset, escaped, linuxdir, "", "", true},
      {true, kOffset, escaped, linuxdir, "", "", true},
      {true, kBounded, escaped, linuxdir, cache, ");", true},
      {true, kBounded, windows_untrailed, linuxdir, cache, ");", true},
      {true, kBounded, windows_plugins, linux_plugins, engine, ");", false},
      {true, kStartKey, escaped, linuxdir, newsrc, "", true},
  };
}

// The steps, then the separators of the paths of the folder converted to.
// In panacea.dat the folder steps read the file as Mork writes it.
inline std::string oracle_convert(const std::vector<OracleStep>& steps,
                                  const std::string& windir,
                                  const std::string& linuxdir,
                                  const std::string& modo, bool prefs,
                                  std::string text) {
  // Mork escapes a closing parenthesis and a dollar with a backslash.
  const auto as_stored = [&](const std::string& folder) {
    if (prefs) return folder;
    std::string escaped;
    for (const char c : folder) {
      escaped += c == ')' || c == '$' ? std::string{'\\', c} : std::string{c};
    }
    return escaped;
  };
  for (const OracleStep& step : steps) {
    if (step.prefs != prefs) continue;
    // panacea.dat's steps all replace a folder.
    const std::string target = as_stored(step.target);
    const std::string replacement = as_stored(step.replacement);
    const ReplaceCall call{.form = step.form,
                           .target = target,
                           .replacement = replacement,
                           .start_key = step.start_key,
                           .end_key = step.end_key,
                           .any_case = step.windows};
    std::int64_t length = static_cast<std::int64_t>(text.size());
    std::int64_t count = 0;
    if (prefs) {
      plain_replace(call, text, length);
    } else {
      plain_replace_mork(call, text, length, &count);
    }
  }
  std::string escaped;
  for (const char c : windir) escaped += c == '\\' ? "\\\\" : std::string{c};
  plain_separators({.folder = as_stored(modo == "win" ? escaped : linuxdir),
                    .to_windows = modo == "win",
                    .any_case = modo == "win",
                    .mork = !prefs},
                   text);
  return text;
}

struct ConversionCase {
  const char* label;
  std::string windir, linuxdir, modo;
  std::string panacea, prefs;
  // Written by hand where given; the oracle must agree with them.
  std::optional<std::string> panacea_after = {}, prefs_after = {};
};

// Runs the built program on the case's two files in `dir` and compares
// everything with the oracle. The ambiente "Linux" names no system (the
// names are compared case-sensitively): the files are opened in `dir`. A file
// left as it was may or may not get a backup; one that changes must.
inline void expect_conversion(const std::filesystem::path& dir,
                              const ConversionCase& c) {
  SCOPED_TRACE(c.label);
  ASSERT_TRUE(c.windir.ends_with('\\') && c.linuxdir.ends_with('/'))
      << "a command line the program refuses";
  const std::vector<OracleStep> steps =
      oracle_recipe(c.windir, c.linuxdir, c.modo);
  const struct {
    std::string name, before;
    std::optional<std::string> by_hand;
    std::string expected;
  } files[] = {
      {"panacea.dat", c.panacea, c.panacea_after,
       oracle_convert(steps, c.windir, c.linuxdir, c.modo, false, c.panacea)},
      {"prefs.js", c.prefs, c.prefs_after,
       oracle_convert(steps, c.windir, c.linuxdir, c.modo, true, c.prefs)}};
  for (const auto& file : files) {
    if (file.by_hand) ASSERT_EQ(file.expected, *file.by_hand) << "oracle";
    write_file(dir / file.name, file.before);
  }
  EXPECT_EQ(run_gemmel({c.windir, c.linuxdir, "Linux", c.modo}, {.cwd = dir}),
            (RunResult{c.modo == "win" ? kToWindows : kToLinux, "", 0}));
  for (const auto& file : files) {
    const std::filesystem::path backup = dir / (file.name + "-bak");
    EXPECT_EQ(read_file(dir / file.name), file.expected) << file.name;
    if (file.expected != file.before || std::filesystem::exists(backup)) {
      EXPECT_EQ(read_file(backup), file.before) << file.name;
    }
    std::filesystem::remove(backup);
  }
}

}  // namespace gemmel::testing

#endif  // GEMMEL_TESTS_CONVERSION_ORACLE_H_
