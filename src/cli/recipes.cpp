#include "cli/recipes.h"

#include <algorithm>
#include <iterator>

#include "cli/texts.h"
#include "profile/continuation.h"

namespace gemmel {
namespace {

using enum ProfileFile;
using enum Form;
using enum Operand;
using texts::kCacheDirectoryKey;
using texts::kMailCacheAnchor;
using texts::kNewsrcRootKey;
using texts::kSearchEngineKey;
using texts::kStatementEnd;

// modo "win". The untrailed step converts a cache directory stored without
// its trailing slash, as the browser writes it.
constexpr Step kLinuxToWindows[] = {
    {kPanacea, kOffset, kLinuxdir, kWindirEscaped},
    {kPanacea, kStartKey, kSlash, kEscapedSeparator, kMailCacheAnchor},
    {kPrefs, kOffset, kLinuxdir, kWindirEscaped},
    {kPrefs, kBounded, kLinuxdir, kWindirEscaped, kCacheDirectoryKey,
     kStatementEnd},
    {kPrefs, kBounded, kLinuxdirUntrailed, kWindirTrimmed, kCacheDirectoryKey,
     kStatementEnd},
    {kPrefs, kBounded, kLinuxSearchplugins, kWindowsSearchplugins,
     kSearchEngineKey, kStatementEnd},
    {kPrefs, kStartKey, kLinuxdir, kWindirEscaped, kNewsrcRootKey},
    {kPrefs, kStartKey, kSlash, kEscapedSeparator, kNewsrcRootKey},
};

// modo "linux".
constexpr Step kWindowsToLinux[] = {
    {kPanacea, kOffset, kWindirEscaped, kLinuxdir},
    {kPanacea, kStartKey, kEscapedSeparator, kSlash, kMailCacheAnchor},
    {kPrefs, kOffset, kWindirEscaped, kLinuxdir},
    {kPrefs, kBounded, kWindirEscaped, kLinuxdir, kCacheDirectoryKey,
     kStatementEnd},
    {kPrefs, kBounded, kWindirTrimmed, kLinuxdir, kCacheDirectoryKey,
     kStatementEnd},
    {kPrefs, kBounded, kWindowsSearchplugins, kLinuxSearchplugins,
     kSearchEngineKey, kStatementEnd},
    {kPrefs, kStartKey, kWindirEscaped, kLinuxdir, kNewsrcRootKey},
    {kPrefs, kStartKey, kEscapedSeparator, kSlash, kNewsrcRootKey},
};

constexpr Recipe kRecipes[] = {
    {texts::kWindows, kLinuxToWindows, texts::kDoneToWindows, kLinuxdir, kSlash,
     kWindirEscaped, kWindirName},
    {texts::kLinux, kWindowsToLinux, texts::kDoneToLinux, kWindirEscaped,
     kEscapedSeparator, kLinuxdir, kLinuxdirName},
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
          last_name(linuxdir, '/', 1)};
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

bool source_is_one_level_up(const Recipe& recipe, ProfileFile which,
                            const Directories& dirs, std::string_view text) {
  const std::string name = resolve(recipe.target_name, dirs);
  if (name.empty()) return false;
  const std::string source = resolve(recipe.source, dirs);
  const std::string separator = resolve(recipe.separator, dirs);
  // Whether the occurrence whose end is at `at` is followed by the name and
  // then by the end of a folder name.
  const auto one_level_up = [&](std::string_view searched, std::size_t at) {
    std::string_view after = searched.substr(at);
    if (!after.starts_with(name)) return false;
    after.remove_prefix(name.size());
    return after.empty() || after.starts_with(separator) ||
           after.front() == '"' || after.front() == ')';
  };
  Text joined;
  if (which == kPanacea) {
    // The joined text reads as the file up to its first continuation. A
    // first occurrence that, with what follows it, stands before any tells
    // at once, in the common case, that the folders are right, without a
    // look through the whole file for continuations.
    const std::size_t first = text.find(source);
    if (first != std::string_view::npos) {
      std::size_t end = std::min(
          text.size(), first + source.size() + name.size() + separator.size());
      while (end < text.size() && text[end - 1] == '\\') ++end;
      if (!Continuations(text.substr(0, std::min(end + 1, text.size())))
               .next() &&
          !one_level_up(text, first + source.size())) {
        return false;
      }
    }
    if (Continuations(text).next()) {
      joined = join(text);
      text = joined;
    }
  }
  bool found = false;
  for (std::size_t at = text.find(source); at != std::string_view::npos;
       at = text.find(source, at + source.size())) {
    if (!one_level_up(text, at + source.size())) return false;
    found = true;
  }
  return found;
}

namespace {

// Calls `apply` with each step of `recipe` for `which`, in order, and the
// replacement it makes.
template <typename Apply>
void for_each_call(const Recipe& recipe, ProfileFile which,
                   const Directories& dirs, Apply apply) {
  for (const Step& step : recipe.steps) {
    if (step.file != which) continue;
    const std::string target = resolve(step.target, dirs);
    const std::string replacement = resolve(step.replacement, dirs);
    apply(step, ReplaceCall{.form = step.form,
                            .target = target,
                            .replacement = replacement,
                            .start = 0,
                            .start_key = step.start_key,
                            .end_key = step.end_key,
                            .across_continuations =
                                is_folder(step.target) && which == kPanacea});
  }
}

}  // namespace

std::int64_t convert(const Recipe& recipe, ProfileFile which,
                     const Directories& dirs, File& file) {
  std::int64_t folders_replaced = 0;
  for_each_call(
      recipe, which, dirs, [&](const Step& step, const ReplaceCall& call) {
        // A folder without its last separator also matches the start of a
        // longer name, so that a mistyped ".../asd6dhre\" for
        // ".../asd6dhre.slt\" would pass for found: it counts only where a
        // value ends with it.
        const bool found = step.target == kWindirEscaped ||
                           step.target == kLinuxdir ||
                           (is_folder(step.target) &&
                            std::string_view(file.text())
                                    .find(std::string(call.target) + '"') !=
                                std::string_view::npos);
        const std::int64_t count = file.replace(call);
        if (found) folders_replaced += count;
      });
  return folders_replaced;
}

Conversion convert_file(const Recipe& recipe, ProfileFile which,
                        const Directories& dirs, File& file) {
  // A Windows folder given one level above the profile, or a Linux one,
  // would bury every path one level deeper in a folder named like the
  // profile, ".../asd6dhre.slt/asd6dhre.slt/Mail".
  if (source_is_one_level_up(recipe, which, dirs, file.text())) {
    return {.refusal = Refusal::kTwoProfiles};
  }
  const std::int64_t folders = convert(recipe, which, dirs, file);
  // Separators converted where the folder never occurs would leave the file
  // half in one form, half in the other: a mistyped folder, which the user
  // sees at once in the form the file would hold it.
  if (folders == 0 && file.differs()) {
    return {.refusal = Refusal::kFolderAbsent};
  }
  return {
      .holds_target =
          std::string_view(file.text()).find(resolve(recipe.target, dirs)) !=
          std::string_view::npos};
}

std::optional<Text> convert_text(const Recipe& recipe, ProfileFile which,
                                 const Directories& dirs, Text text) {
  auto length = static_cast<std::int32_t>(text.size());
  Text spare;
  bool fits = true;
  for_each_call(recipe, which, dirs,
                [&](const Step& /*step*/, const ReplaceCall& call) {
                  fits = fits && apply_replace(call, text, length, spare);
                });
  if (!fits) return std::nullopt;
  return text;
}

}  // namespace gemmel
