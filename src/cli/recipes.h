// The two conversions as data: each recipe is the ordered list of
// replacements that turns a profile's files from one system's form into the
// other's, followed by the separators of the profile's own paths
// (separators.h).
#ifndef GEMMEL_CLI_RECIPES_H_
#define GEMMEL_CLI_RECIPES_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "profile/file.h"
#include "profile/replace.h"

namespace gemmel {

enum class ProfileFile { kPanacea, kPrefs };

// The strings a step can use as its target or replacement.
enum class Operand {
  kWindirEscaped,      // windir with every backslash doubled
  kLinuxdir,           // linuxdir as given
  kWindirTrimmed,      // windirEscaped without its trailing separator
  kLinuxdirUntrailed,  // linuxdir without its trailing slash
  kWindirName,         // the last folder name of windir; empty for a root
  kLinuxdirName,       // the last folder name of linuxdir; empty for a root
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
  Operand separator;            // the separator of the files before
  Operand target;               // the folder that the files hold after
  Operand target_name;          // the last folder name of `target`
  Operand source_untrailed;     // `source` without its last separator
  Operand target_untrailed;     // `target` without its last separator
  bool to_windows;              // the separators become Windows ones
};

// The directory strings of one run.
struct Directories {
  std::string windir_escaped;
  std::string linuxdir;
  std::string windir_trimmed;
  std::string linuxdir_untrailed;
  std::string windir_name;
  std::string linuxdir_name;
  std::string windir_parent_name;    // the folder above windir's last one
  std::string linuxdir_parent_name;  // the same for linuxdir
};

// The length of the root that `windir` begins with: 3 for a drive (a letter
// A to Z or a to z, a colon and a backslash); for a network share (two
// backslashes, a server, a backslash, a share, a backslash), up to and with
// that last backslash, or all of `windir` where it stops short of it. 0 when
// `windir` begins with neither, and so is no full path.
std::size_t windows_root_length(std::string_view windir);

// Doubles every backslash, including those already doubled.
std::string escape_backslashes(std::string_view windir);
// `windir` must end in a backslash and `linuxdir` in a slash, as the run
// checks before it calls this.
Directories prepare_directories(std::string_view windir,
                                std::string_view linuxdir);

// The recipe that `modo` selects, or nullptr.
const Recipe* find_recipe(std::string_view modo);

// The value of `operand` in this run.
std::string resolve(Operand operand, const Directories& dirs);

// True for the operands that name the profile folder.
bool is_folder(Operand operand);
// True for the operands taken from windir, whose letters match either case.
bool is_windows(Operand operand);

// Why the conversion of one file was refused.
enum class Refusal { kNone, kFolderAbsent, kTwoProfiles };
// What converting one file in memory came to.
struct Conversion {
  Refusal refusal = Refusal::kNone;
  bool holds_target =
      false;  // the converted text holds the folder converted to
};

// Converts the text of `file` (kReady) in memory by the steps of `recipe` for
// `which`, then converts the separators of the paths that begin with the
// folder converted to; or refuses it, leaving the text as it was read. The
// file's state tells a result too large.
//
// A folder occurs in a file where the steps would find it: windir's letters
// in either case, and in panacea.dat across line continuations and with its
// bytes in hex. In prefs.js a folder without its last separator, followed by
// a quote, occurs too: the cache folder as the browser stores it. Refused:
// - kTwoProfiles: the source folder occurs, and every occurrence is followed
//   by the target's last folder name and then by the source's separator, a
//   '"', a ')' or the end of the text: the source is the folder above a
//   profile named like the target, one level away from it. Not checked where
//   the target is a root, which has no last name. Refused too, where the
//   file holds the source folder or is prefs.js: two folders whose last
//   names differ where the folder above one is named like the other (letters
//   in either case), one level apart whatever the file holds.
// - kFolderAbsent: a prefs.js in which neither the source folder nor the
//   target folder occurs. A panacea.dat in which neither occurs holds
//   nothing to convert and is left as it is.
Conversion convert_file(const Recipe& recipe, ProfileFile which,
                        const Directories& dirs, File& file);

// What the same conversion, without its checks, makes of `text` (less than
// 2 GiB long): the bytes that a finished conversion of a file that held it
// holds, or nothing where they would reach 2 GiB.
std::optional<Text> convert_text(const Recipe& recipe, ProfileFile which,
                                 const Directories& dirs, Text text);

}  // namespace gemmel

#endif  // GEMMEL_CLI_RECIPES_H_
