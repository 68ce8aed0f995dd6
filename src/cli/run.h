// The program's entry, apart from main(): dispatch on the argument count,
// the conversion run, the help and the diagnostics.
#ifndef GEMMEL_CLI_RUN_H_
#define GEMMEL_CLI_RUN_H_

#include <ostream>
#include <span>
#include <string_view>

namespace gemmel {

// `args` are the arguments after the program's name. Messages go to `out`,
// failures of the profile files to `err`. Returns the exit status: 0 after a
// conversion in which nothing failed, 1 on every other path, the help
// included.
int run(std::span<const std::string_view> args, std::ostream& out,
        std::ostream& err);

// The conversion of the profile whose folder is `windir` under Windows and
// `linuxdir` under Linux; `ambiente` picks where the files are opened, `modo`
// the direction.
int run_conversion(std::string_view windir, std::string_view linuxdir,
                   std::string_view ambiente, std::string_view modo,
                   std::ostream& out, std::ostream& err);

}  // namespace gemmel

#endif  // GEMMEL_CLI_RUN_H_
