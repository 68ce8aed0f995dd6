// The two conversions as data: each recipe is the ordered list of
// replacements that turns a profile's files from one system's form into the
// other's.
#ifndef GEMMEL_CLI_RECIPES_H_
#define GEMMEL_CLI_RECIPES_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "profile/file.h"
#include "profile/replace.h"

namespace gemmel {

enum class ProfileFile { kPanacea, kPrefs };

// The strings a step can use as its target or replacement.
enum class Operand {
  kWindirEscaped,           // windir with every backslash doubled
  kLinuxdir,                // linuxdir as given
  kWindirTrimmed,           // windirEscaped without its last separator
  kWindirEscapedUntrailed,  // windirEscaped without its trailing separator
  kLinuxdirUntrailed,       // linuxdir without its trailing slash
  kSlash,
  kEscapedSeparator,
  kWindowsSearchplugins,
  kLinuxSearchplugins,
};

struct Step {
  ProfileFile file;
  Form form;
  Operand target;
  Operand replacement;
  std::string_view start_key = {};  // kStartKey and kBounded
  std::string_view end_key = {};    // kBounded; offset steps start at 0
};

struct Recipe {
  std::string_view modo;        // the argument that selects it
  std::span<const Step> steps;  // in the order they run
  std::string_view completion;  // printed after a conversion without failures
  Operand source;               // the folder that the files hold before
};

// The directory strings of one run.
struct Directories {
  std::string windir_escaped;
  std::string linuxdir;
  // Absent when windirEscaped holds no backslash: the steps that use it are
  // skipped.
  std::optional<std::string> windir_trimmed;
  // Present only when linuxdir ends in a slash and windir in a backslash.
  std::optional<std::string> linuxdir_untrailed;
  std::optional<std::string> windir_escaped_untrailed;
};

// Doubles every backslash, including those already doubled.
std::string escape_backslashes(std::string_view windir);
Directories prepare_directories(std::string_view windir,
                                std::string_view linuxdir);

// The recipe that `modo` selects, or nullptr.
const Recipe* find_recipe(std::string_view modo);

// The value of `operand` in this run; empty when it cannot be formed.
std::optional<std::string> resolve(Operand operand, const Directories& dirs);

// True for the operands that name the profile folder.
bool is_folder(Operand operand);

// Applies, in order, the steps of `recipe` for `which` to `file`, and returns
// the number of replacements made by the steps whose target is a folder
// name; one without its last separator counts only where a value (a quoted
// string) ends with it. In panacea.dat those steps match across line
// continuations. A step whose target or replacement cannot be formed is
// skipped.
std::int64_t convert(const Recipe& recipe, ProfileFile which,
                     const Directories& dirs, File& file);

// What the same steps make of `text` (less than 2 GiB long) on its own:
// the bytes that a finished conversion of a file that held it holds, or
// nothing where they would reach 2 GiB.
std::optional<Text> convert_text(const Recipe& recipe, ProfileFile which,
                                 const Directories& dirs, Text text);

}  // namespace gemmel

#endif  // GEMMEL_CLI_RECIPES_H_
