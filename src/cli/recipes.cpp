#include "cli/recipes.h"

#include <algorithm>
#include <iterator>

#include "cli/texts.h"

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
    {kPrefs, kBounded, kLinuxdirUntrailed, kWindirEscapedUntrailed,
     kCacheDirectoryKey, kStatementEnd},
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
    {texts::kWindows, kLinuxToWindows, texts::kDoneToWindows, kLinuxdir},
    {texts::kLinux, kWindowsToLinux, texts::kDoneToLinux, kWindirEscaped},
};

}  // namespace

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
  Directories dirs{
      escape_backslashes(windir), std::string(linuxdir), {}, {}, {}};
  // The last separator goes, with the character before it, wherever it
  // stands: for a windir without a trailing backslash that is mid-path.
  const std::size_t last = dirs.windir_escaped.rfind('\\');
  if (last != std::string::npos) {
    dirs.windir_trimmed = dirs.windir_escaped;
    dirs.windir_trimmed->erase(last - 1, 2);
  }
  if (linuxdir.ends_with('/') && windir.ends_with('\\')) {
    dirs.linuxdir_untrailed = dirs.linuxdir.substr(0, dirs.linuxdir.size() - 1);
    dirs.windir_escaped_untrailed =
        dirs.windir_escaped.substr(0, dirs.windir_escaped.size() - 2);
  }
  return dirs;
}

const Recipe* find_recipe(std::string_view modo) {
  const auto* found = std::ranges::find(kRecipes, modo, &Recipe::modo);
  return found == std::end(kRecipes) ? nullptr : found;
}

std::optional<std::string> resolve(Operand operand, const Directories& dirs) {
  switch (operand) {
    case kWindirEscaped:
      return dirs.windir_escaped;
    case kLinuxdir:
      return dirs.linuxdir;
    case kWindirTrimmed:
      return dirs.windir_trimmed;
    case kWindirEscapedUntrailed:
      return dirs.windir_escaped_untrailed;
    case kLinuxdirUntrailed:
      return dirs.linuxdir_untrailed;
    case kSlash:
      return std::string(texts::kSlash);
    case kEscapedSeparator:
      return std::string(texts::kEscapedSeparator);
    case kWindowsSearchplugins:
      return std::string(texts::kWindowsSearchplugins);
    case kLinuxSearchplugins:
      return std::string(texts::kLinuxSearchplugins);
  }
  return std::nullopt;
}

bool is_folder(Operand operand) {
  switch (operand) {
    case kWindirEscaped:
    case kLinuxdir:
    case kWindirTrimmed:
    case kWindirEscapedUntrailed:
    case kLinuxdirUntrailed:
      return true;
    case kSlash:
    case kEscapedSeparator:
    case kWindowsSearchplugins:
    case kLinuxSearchplugins:
      return false;
  }
  return false;
}

namespace {

// Calls `apply` with each step of `recipe` for `which`, in order, and the
// replacement it makes; a step whose target or replacement cannot be formed
// is skipped.
template <typename Apply>
void for_each_call(const Recipe& recipe, ProfileFile which,
                   const Directories& dirs, Apply apply) {
  for (const Step& step : recipe.steps) {
    if (step.file != which) continue;
    const std::optional<std::string> target = resolve(step.target, dirs);
    const std::optional<std::string> replacement =
        resolve(step.replacement, dirs);
    if (!target || !replacement) continue;
    apply(step, ReplaceCall{.form = step.form,
                            .target = *target,
                            .replacement = *replacement,
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
  for_each_call(recipe, which, dirs, [&](const Step& step,
                                         const ReplaceCall& call) {
    // A folder without its last separator also matches the start of a
    // longer name, so that a mistyped ".../asd6dhre\" for
    // ".../asd6dhre.slt\" would pass for found: it counts only where a
    // value ends with it.
    const bool found =
        step.target == kWindirEscaped || step.target == kLinuxdir ||
        (is_folder(step.target) &&
         std::string_view(file.text()).find(std::string(call.target) + '"') !=
             std::string_view::npos);
    const std::int64_t count = file.replace(call);
    if (found) folders_replaced += count;
  });
  return folders_replaced;
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
