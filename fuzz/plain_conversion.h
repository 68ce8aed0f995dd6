// A whole conversion of one file's text done with the plain replacement
// loop: the program's own recipes, step by step, as the fuzzer's reference
// for the linear-time algorithm in its real setting. It cannot judge the
// recipes themselves; the tests compare them with tests/conversion_oracle.h.
#ifndef GEMMEL_FUZZ_PLAIN_CONVERSION_H_
#define GEMMEL_FUZZ_PLAIN_CONVERSION_H_

#include <string>
#include <string_view>

#include "cli/recipes.h"
#include "plain_replace.h"

namespace gemmel::testing {

// The operands that name the profile folder: in panacea.dat the steps that
// replace them read the file as Mork writes it.
inline bool names_folder(Operand operand) {
  return operand == Operand::kWindirEscaped || operand == Operand::kLinuxdir ||
         operand == Operand::kWindirTrimmed ||
         operand == Operand::kLinuxdirUntrailed;
}

inline std::string plain_convert(const Recipe& recipe, ProfileFile which,
                                 const Directories& dirs, std::string text) {
  std::int64_t length = static_cast<std::int64_t>(text.size());
  const bool mork = which == ProfileFile::kPanacea;
  for (const Step& step : recipe.steps) {
    if (step.file != which) continue;
    const std::string target = resolve(step.target, dirs);
    const std::string replacement = resolve(step.replacement, dirs);
    const ReplaceCall call{.form = step.form,
                           .target = target,
                           .replacement = replacement,
                           .start = 0,
                           .start_key = step.start_key,
                           .end_key = step.end_key,
                           .any_case = is_windows(step.target)};
    if (mork && names_folder(step.target)) {
      std::int64_t count = 0;
      plain_replace_mork(call, text, length, &count);
    } else {
      plain_replace(call, text, length);
    }
  }
  const std::string folder = resolve(recipe.target, dirs);
  plain_separators({.folder = folder,
                    .to_windows = recipe.to_windows,
                    .any_case = is_windows(recipe.target),
                    .mork = mork},
                   text);
  return text;
}

}  // namespace gemmel::testing

#endif  // GEMMEL_FUZZ_PLAIN_CONVERSION_H_
