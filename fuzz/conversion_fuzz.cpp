// libFuzzer target: a whole conversion, files and all, must end with both
// files written as the plain replacement loop would write them, and with the
// tracked length equal to the text's.
//
// Input: one byte whose low bit picks the direction, then windir, linuxdir,
// panacea.dat and prefs.js separated by the byte 0x01. The files go to a
// scratch folder, opened through an ambiente that names no system. A folder
// without its separator, or that is no full path, must be refused, with
// nothing opened or created; the conversion then runs with the separator
// appended and, where needed, a root put before it.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "cli/recipes.h"
#include "cli/run.h"
#include "fuzz_input.h"
#include "plain_conversion.h"
#include "profile/file.h"

namespace {

void write_file(const char* name, const std::string& bytes) {
  std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
}

std::string read_file(const char* name) {
  std::ifstream in(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool exists(const char* name) { return access(name, F_OK) == 0; }

// A drive letter, a colon and a backslash, or two backslashes.
bool drive_or_share(const std::string& windir) {
  const char letter =
      windir.empty() ? '\0' : static_cast<char>(windir[0] | 0x20);
  return windir.starts_with("\\\\") ||
         (letter >= 'a' && letter <= 'z' && windir.substr(1, 2) == ":\\");
}

constexpr std::size_t kLargestChecked = 256 * 1024;

void check(bool holds) {
  if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  // Memory-backed where possible: every run flushes two backups to disk.
  char in_memory[] = "/dev/shm/gemmel-fuzz-XXXXXX";
  char on_disk[] = "/tmp/gemmel-fuzz-XXXXXX";
  const char* folder = mkdtemp(in_memory);
  if (folder == nullptr) folder = mkdtemp(on_disk);
  check(folder != nullptr && chdir(folder) == 0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  if (size < 1) return 0;
  const std::string modo = (data[0] & 1) != 0 ? "win" : "linux";
  const std::vector<std::string> pieces = gemmel::fuzzing::split(
      std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1), 4);
  const bool windir_full = drive_or_share(pieces[0]);
  const bool linuxdir_full = pieces[1].starts_with('/');
  if (!pieces[0].ends_with('\\') || !pieces[1].ends_with('/') || !windir_full ||
      !linuxdir_full) {
    std::remove("panacea.dat-bak");
    std::remove("prefs.js-bak");
    write_file("panacea.dat", pieces[2]);
    write_file("prefs.js", pieces[3]);
    const std::string refusal =
        !pieces[0].ends_with('\\')
            ? "La cartella windows deve finire con una barra rovesciata\n" +
                  pieces[0]
        : !pieces[1].ends_with('/')
            ? "La cartella linux deve finire con una barra\n" + pieces[1]
        : !windir_full
            ? "La cartella windows deve essere un percorso completo\n" +
                  pieces[0]
            : "La cartella linux deve essere un percorso completo\n" +
                  pieces[1];
    std::ostringstream out;
    std::ostringstream err;
    check(gemmel::run_conversion(pieces[0], pieces[1], "fuzz", modo, out,
                                 err) == 1 &&
          out.str().empty() && err.str() == refusal + "\n");
    check(std::distance(std::filesystem::directory_iterator("."),
                        std::filesystem::directory_iterator()) == 2 &&
          read_file("panacea.dat") == pieces[2] &&
          read_file("prefs.js") == pieces[3]);
  }
  const std::string windir = (windir_full ? "" : "c:\\") + pieces[0] +
                             (pieces[0].ends_with('\\') ? "" : "\\");
  const std::string linuxdir = (linuxdir_full ? "" : "/") + pieces[1] +
                               (pieces[1].ends_with('/') ? "" : "/");
  const gemmel::Recipe& recipe = *gemmel::find_recipe(modo);
  const gemmel::Directories dirs =
      gemmel::prepare_directories(windir, linuxdir);

  // The length the buffer tracks must stay the text's.
  write_file("prefs.js", pieces[3]);
  {
    gemmel::File file("prefs.js");
    static_cast<void>(
        gemmel::convert_file(recipe, gemmel::ProfileFile::kPrefs, dirs, file));
    check(file.state() == gemmel::FileState::kReady);
    check(static_cast<std::size_t>(file.length()) == file.text().size());
  }

  // The whole run, as the program does it. A file comes out converted, with
  // its original in a new backup, or, when the folder does not occur in it
  // or occurs only one level above the target, as it was and reported; one the
  // conversion leaves alone gets no backup.
  write_file("panacea.dat", pieces[2]);
  write_file("prefs.js", pieces[3]);
  std::remove("panacea.dat-bak");
  std::remove("prefs.js-bak");
  std::ostream discard(nullptr);
  std::ostringstream errors;
  const int status =
      gemmel::run_conversion(windir, linuxdir, "fuzz", modo, discard, errors);
  check(status == 0 || errors.str().starts_with("La cartella di origine") ||
        errors.str().starts_with("Le due cartelle"));
  const std::string panacea = read_file("panacea.dat");
  const std::string prefs = read_file("prefs.js");
  check(panacea == pieces[2] ? !exists("panacea.dat-bak")
                             : read_file("panacea.dat-bak") == pieces[2]);
  check(prefs == pieces[3] ? !exists("prefs.js-bak")
                           : read_file("prefs.js-bak") == pieces[3]);

  // The plain loop moves the whole tail at every replacement: on results of
  // megabytes (a statement whose replacement holds its target can multiply
  // it) it would take the fuzzer's time for little news.
  if (panacea.size() + prefs.size() > kLargestChecked) return 0;
  const auto converted_or_refused = [&](const std::string& written,
                                        const std::string& original,
                                        gemmel::ProfileFile which) {
    const std::string expected =
        gemmel::testing::plain_convert(recipe, which, dirs, original);
    return written == expected || (written == original && status != 0);
  };
  check(
      converted_or_refused(panacea, pieces[2], gemmel::ProfileFile::kPanacea));
  check(converted_or_refused(prefs, pieces[3], gemmel::ProfileFile::kPrefs));
  return 0;
}
