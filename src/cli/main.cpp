// gemmel: makes one Mozilla profile folder usable by both the Windows and the
// Linux build of the browser, by rewriting the paths in prefs.js and
// panacea.dat for the other system.
#include <fcntl.h>

#include <clocale>
#include <csignal>
#include <iostream>
#include <new>
#include <string_view>
#include <vector>

#include "cli/run.h"
#include "cli/texts.h"

int main(int argc, char** argv) {
  // A standard descriptor left closed would be the number the next open
  // file gets, and a message meant for it would land in a profile file.
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) < 0) return 1;
  }
  // A write beyond the file-size limit, or to a pipe whose reader has gone,
  // must fail and be reported like any other failed write, not kill the
  // process half-way through. These cannot fail for valid signal numbers.
  static_cast<void>(std::signal(SIGXFSZ, SIG_IGN));
  static_cast<void>(std::signal(SIGPIPE, SIG_IGN));
  // The reasons for failures in the user's language; the files are bytes,
  // so every other category stays "C".
  static_cast<void>(std::setlocale(LC_MESSAGES, ""));
  try {
    const std::vector<std::string_view> args(argv + (argc > 0 ? 1 : 0),
                                             argv + argc);
    return gemmel::run(args, std::cout, std::cerr);
  } catch (const std::bad_alloc&) {
    std::cerr << gemmel::texts::kNoMemory << '\n' << std::flush;
    return 1;
  }
}
