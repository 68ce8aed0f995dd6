#include "cli/recipes.h"

#include <algorithm>
#include <iterator>

#include "cli/texts.h"
#include "profile/mork.h"
#include "profile/search.h"

namespace gemmel {
namespace {

using enum ProfileFile;
using enum Form;
using enum Operand;
using texts::kCacheDirectoryKey;
using texts::kNewsrcRootKey;
using texts::kSearchEngineKey;
using texts::kStatementEnd;

// modo "win". The untrailed step converts a cache directory stored without
// its trailing slash, as the browser writes it.
constexpr Step kLinuxToWindows[] = {
    {kPanacea, kOffset, kLinuxdir, kWindirEscaped},
    {kPrefs, kOffset, kLinuxdir, kWindirEscaped},
    {kPrefs, kBounded, kLinuxdir, kWindirEscaped, kCacheDirectoryKey,
     kStatementEnd},
    {kPrefs, kBounded, kLinuxdirUntrailed, kWindirTrimmed, kCacheDirectoryKey,
     kStatementEnd},
    {kPrefs, kBounded, kLinuxSearchplugins, kWindowsSearchplugins,
     kSearchEngineKey, kStatementEnd},
    {kPrefs, kStartKey, kLinuxdir, kWindirEscaped, kNewsrcRootKey},
};

// modo "linux".
constexpr Step kWindowsToLinux[] = {
    {kPanacea, kOffset, kWindirEscaped, kLinuxdir},
    {kPrefs, kOffset, kWindirEscaped, kLinuxdir},
    {kPrefs, kBounded, kWindirEscaped, kLinuxdir, kCacheDirectoryKey,
     kStatementEnd},
    {kPrefs, kBounded, kWindirTrimmed, kLinuxdir, kCacheDirectoryKey,
     kStatementEnd},
    {kPrefs, kBounded, kWindowsSearchplugins, kLinuxSearchplugins,
     kSearchEngineKey, kStatementEnd},
    {kPrefs, kStartKey, kWindirEscaped, kLinuxdir, kNewsrcRootKey},
};

constexpr Recipe kRecipes[] = {
    {texts::kWindows, kLinuxToWindows, texts::kDoneToWindows, kLinuxdir, kSlash,
     kWindirEscaped, kWindirName, kLinuxdirUntrailed, kWindirTrimmed, true},
    {texts::kLinux, kWindowsToLinux, texts::kDoneToLinux, kWindirEscaped,
     kEscapedSeparator, kLinuxdir, kLinuxdirName, kWindirTrimmed,
     kLinuxdirUntrailed, false},
};

// The last folder name of `folder`, which ends in `separator`; empty where
// that name lies within the first `root` bytes.
std::string last_name(std::string_view folder, char separator,
                      std::size_t root) {
  folder =
      folder.substr(0, folder.size() - std::min<std::size_t>(folder.size(), 1));
  const std::size_t start = folder.rfind(separator) + 1;  // 0 when none
  if (start < root) return {};
  return std::string(folder.substr(start));
}

// The name of the folder above the last one of `folder`, as last_name gives
// it; empty where there is none.
std::string parent_name(std::string_view folder, char separator,
                        std::size_t root) {
  const std::string_view rest =
      folder.substr(0, folder.size() - std::min<std::size_t>(folder.size(), 1));
  const std::size_t start = rest.rfind(separator) + 1;  // 0 when none
  if (start <= root) return {};
  return last_name(folder.substr(0, start), separator, root);
}

}  // namespace

std::size_t windows_root_length(std::string_view windir) {
  if (windir.starts_with("\\\\")) {
    const std::size_t server_end = windir.find('\\', 2);
    const std::size_t share_end = server_end == std::string_view::npos
                                      ? server_end
                                      : windir.find('\\', server_end + 1);
    return share_end == std::string_view::npos ? windir.size() : share_end + 1;
  }
  const bool letter =
      windir.size() >= 3 && ((windir[0] >= 'A' && windir[0] <= 'Z') ||
                             (windir[0] >= 'a' && windir[0] <= 'z'));
  return letter && windir.substr(1, 2) == ":\\" ? 3 : 0;
}

std::string escape_backslashes(std::string_view windir) {
  std::string escaped;
  escaped.reserve(windir.size() * 2);
  for (const char c : windir) {
    escaped += c;
    if (c == '\\') escaped += c;
  }
  return escaped;
}

Directories prepare_directories(std::string_view windir,
                                std::string_view linuxdir) {
  std::string escaped = escape_backslashes(windir);
  const std::string_view trimmed = std::string_view(escaped).substr(
      0, escaped.size() - std::min<std::size_t>(escaped.size(), 2));
  const std::string_view untrailed = linuxdir.substr(
      0, linuxdir.size() - std::min<std::size_t>(linuxdir.size(), 1));
  return {escaped,
          std::string(linuxdir),
          std::string(trimmed),
          std::string(untrailed),
          last_name(windir, '\\', windows_root_length(windir)),
          last_name(linuxdir, '/', 1),
          parent_name(windir, '\\', windows_root_length(windir)),
          parent_name(linuxdir, '/', 1)};
}

const Recipe* find_recipe(std::string_view modo) {
  const auto* found = std::ranges::find(kRecipes, modo, &Recipe::modo);
  return found == std::end(kRecipes) ? nullptr : found;
}

std::string resolve(Operand operand, const Directories& dirs) {
  switch (operand) {
    case kWindirEscaped:
      return dirs.windir_escaped;
    case kLinuxdir:
      return dirs.linuxdir;
    case kWindirTrimmed:
      return dirs.windir_trimmed;
    case kLinuxdirUntrailed:
      return dirs.linuxdir_untrailed;
    case kWindirName:
      return dirs.windir_name;
    case kLinuxdirName:
      return dirs.linuxdir_name;
    case kSlash:
      return std::string(texts::kSlash);
    case kEscapedSeparator:
      return std::string(texts::kEscapedSeparator);
    case kWindowsSearchplugins:
      return std::string(texts::kWindowsSearchplugins);
    case kLinuxSearchplugins:
      return std::string(texts::kLinuxSearchplugins);
  }
  return {};
}

bool is_folder(Operand operand) {
  switch (operand) {
    case kWindirEscaped:
    case kLinuxdir:
    case kWindirTrimmed:
    case kLinuxdirUntrailed:
      return true;
    case kWindirName:
    case kLinuxdirName:
    case kSlash:
    case kEscapedSeparator:
    case kWindowsSearchplugins:
    case kLinuxSearchplugins:
      return false;
  }
  return false;
}

bool is_windows(Operand operand) {
  return operand == kWindirEscaped || operand == kWindirTrimmed ||
         operand == kWindirName;
}

namespace {

// `operand` as `which` stores it: panacea.dat, as Mork writes every value,
// escapes a closing parenthesis and a dollar in a folder with a backslash
// ("D:\\Posta (vecchia\)\\"); its backslashes are doubled already.
std::string stored(Operand operand, ProfileFile which,
                   const Directories& dirs) {
  std::string value = resolve(operand, dirs);
  const bool named =
      is_folder(operand) || operand == kWindirName || operand == kLinuxdirName;
  if (which != kPanacea || !named) return value;
  std::string escaped;
  for (const char c : value) {
    if (c == ')' || c == '$') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

// A file's text as the steps read it: panacea.dat decoded where it holds
// continuations or bytes in hex (mork.h).
class Reading {
 public:
  Reading(std::string_view text, ProfileFile which) : view_(text) {
    if (which == kPanacea && has_mork_forms(text)) {
      decoded_ = decode(text);
      view_ = decoded_;
    }
  }
  std::string_view view() const { return view_; }

 private:
  Text decoded_;
  std::string_view view_;
};

// True when `folder` occurs in `view`, or, where `untrailed` is not empty,
// `untrailed` followed by a quote.
bool occurs(std::string_view view, const std::string& folder,
            const std::string& untrailed, bool any_case) {
  if (Finder(folder, any_case).find(view, 0) != kNotFound) return true;
  return !untrailed.empty() &&
         Finder(untrailed + '"', any_case).find(view, 0) != kNotFound;
}

bool occurs_in(Operand folder, Operand untrailed, ProfileFile which,
               const Directories& dirs, std::string_view view) {
  return occurs(view, stored(folder, which, dirs),
                which == kPrefs ? resolve(untrailed, dirs) : std::string(),
                is_windows(folder));
}

// True when every occurrence of the source folder in `view` is followed by
// the target's last folder name and then by the end of a folder name.
bool source_is_one_level_up(const Recipe& recipe, ProfileFile which,
                            const Directories& dirs, std::string_view view) {
  const std::string name = stored(recipe.target_name, which, dirs);
  if (name.empty()) return false;
  const std::string source = stored(recipe.source, which, dirs);
  const std::string separator = resolve(recipe.separator, dirs);
  const Finder finder(source, is_windows(recipe.source));
  bool found = false;
  for (std::size_t at = finder.find(view, 0); at != kNotFound;
       at = finder.find(view, at + source.size())) {
    std::string_view after = view.substr(at + source.size());
    if (after.size() < name.size() ||
        !same_text(after.substr(0, name.size()), name,
                   is_windows(recipe.target_name))) {
      return false;
    }
    after.remove_prefix(name.size());
    if (!after.empty() && !after.starts_with(separator) &&
        after.front() != '"' && after.front() != ')') {
      return false;
    }
    found = true;
  }
  return found;
}

// True when the last names of the two folders differ and the folder above
// one is named like the other: one of them was given one level off.
bool one_level_apart(const Directories& dirs) {
  const auto named = [](const std::string& a, const std::string& b) {
    return !a.empty() && same_text(a, b, true);
  };
  return !same_text(dirs.windir_name, dirs.linuxdir_name, true) &&
         (named(dirs.windir_parent_name, dirs.linuxdir_name) ||
          named(dirs.linuxdir_parent_name, dirs.windir_name));
}

// Calls `apply` with each change of `recipe` for `which`, in order: its
// steps, then the separators.
template <typename Apply>
void for_each_change(const Recipe& recipe, ProfileFile which,
                     const Directories& dirs, Apply apply) {
  for (const Step& step : recipe.steps) {
    if (step.file != which) continue;
    const std::string target = stored(step.target, which, dirs);
    const std::string replacement = stored(step.replacement, which, dirs);
    apply(ReplaceCall{.form = step.form,
                      .target = target,
                      .replacement = replacement,
                      .start = 0,
                      .start_key = step.start_key,
                      .end_key = step.end_key,
                      .any_case = is_windows(step.target),
                      .mork = is_folder(step.target) && which == kPanacea});
  }
  const std::string folder = stored(recipe.target, which, dirs);
  apply(SeparatorPass{.folder = folder,
                      .to_windows = recipe.to_windows,
                      .any_case = is_windows(recipe.target),
                      .mork = which == kPanacea});
}

}  // namespace

Conversion convert_file(const Recipe& recipe, ProfileFile which,
                        const Directories& dirs, File& file) {
  {
    const Reading read(file.text(), which);
    // A Windows folder given one level above the profile, or a Linux one,
    // would bury every path one level deeper in a folder named like the
    // profile, ".../asd6dhre.slt/asd6dhre.slt/Mail".
    const bool source_occurs = occurs_in(recipe.source, recipe.source_untrailed,
                                         which, dirs, read.view());
    if (source_is_one_level_up(recipe, which, dirs, read.view()) ||
        ((source_occurs || which == kPrefs) && one_level_apart(dirs))) {
      return {.refusal = Refusal::kTwoProfiles};
    }
    // A mistyped folder would leave a prefs.js as it is and pass for
    // converted.
    if (!source_occurs && !occurs_in(recipe.target, recipe.target_untrailed,
                                     which, dirs, read.view())) {
      return {.refusal =
                  which == kPrefs ? Refusal::kFolderAbsent : Refusal::kNone};
    }
  }
  for_each_change(recipe, which, dirs,
                  [&](const auto& change) { file.replace(change); });
  const Reading converted(file.text(), which);
  return {.holds_target = occurs_in(recipe.target, recipe.target_untrailed,
                                    which, dirs, converted.view())};
}

std::optional<Text> convert_text(const Recipe& recipe, ProfileFile which,
                                 const Directories& dirs, Text text) {
  auto length = static_cast<std::int32_t>(text.size());
  Text spare;
  bool fits = true;
  for_each_change(recipe, which, dirs, [&](const auto& change) {
    if constexpr (std::is_same_v<std::decay_t<decltype(change)>, ReplaceCall>) {
      fits = fits && apply_replace(change, text, length, spare);
    } else {
      fits = fits && convert_separators(change, text, spare);
    }
  });
  if (!fits) return std::nullopt;
  return text;
}

}  // namespace gemmel
