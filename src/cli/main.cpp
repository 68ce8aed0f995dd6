// gemmel: makes one Mozilla profile folder usable by both the Windows and the
// Linux build of the browser, by rewriting the paths in prefs.js and
// panacea.dat for the other system.
#include <csignal>
#include <iostream>
#include <string_view>
#include <vector>

#include "cli/run.h"

int main(int argc, char** argv) {
  // A write beyond the file-size limit must fail and be reported like any
  // other failed write, not kill the process half-way through.
  // It cannot fail for a valid signal number.
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0),
                                           argv + argc);
  return gemmel::run(args, std::cout, std::cerr);
}
