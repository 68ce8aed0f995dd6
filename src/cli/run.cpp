#include "cli/run.h"

#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "cli/recipes.h"
#include "cli/texts.h"
#include "profile/file.h"

namespace gemmel {
namespace {

// Every message line ends with a line feed and reaches the terminal at once.
void print_line(std::ostream& stream, std::string_view line) {
  stream << line << '\n' << std::flush;
}

// A failure of one profile file: the message, the path it concerns, and,
// where a system call failed, the system's own words for why.
void report(std::ostream& err, std::string_view message, std::string_view path,
            const std::optional<posix::Error>& error = std::nullopt) {
  print_line(err, message);
  print_line(err, path);
  if (error && error->code > 0) {
    err << texts::kReason << std::strerror(error->code) << '\n' << std::flush;
  }
}

// Why a loaded file was not converted, and the path to name with it.
struct Failure {
  // cppcheck-suppress unusedStructMember ; read through std::optional
  std::string_view message;
  bool names_backup = false;
};

std::optional<Failure> failure_of(FileState state) {
  switch (state) {
    case FileState::kReady:
    case FileState::kUnchanged:
    case FileState::kWritten:
      return std::nullopt;
    case FileState::kMissing:
    case FileState::kUnreadable:
      return Failure{texts::kCannotRead};
    case FileState::kBusy:
      return Failure{texts::kBusy};
    case FileState::kTooLarge:
      return Failure{texts::kTooLarge};
    case FileState::kChanged:
      return Failure{texts::kChanged};
    case FileState::kBackupFailed:
      return Failure{texts::kCannotBackUp, true};
    case FileState::kWriteFailed:
      return Failure{texts::kCannotWrite, true};
  }
  return std::nullopt;
}

// Loads, converts and writes one profile file. Returns false, after telling
// why on `err`, when the file was left unchanged or could not be written.
// `optional`: a file that does not exist is passed over in silence.
bool convert_file(const std::string& path, const std::string& sibling,
                  bool optional, const Recipe& recipe, ProfileFile which,
                  const Directories& dirs, std::ostream& err) {
  try {
    File file(path.c_str(), sibling);
    if (file.state() == FileState::kMissing && optional) return true;
    if (file.state() == FileState::kReady) {
      const std::int64_t folders = convert(recipe, which, dirs, file);
      // Separators converted where the folder never occurs would leave the
      // file half in one form, half in the other: a mistyped folder.
      if (folders == 0 && file.differs()) {
        report(err, texts::kFolderAbsent, path);
        return false;
      }
      // Only a kReady file is written; any other state is reported below.
      static_cast<void>(file.write());
    }
    const std::optional<Failure> failure = failure_of(file.state());
    if (!failure) return true;
    report(err, failure->message,
           failure->names_backup ? file.backup_path() : path,
           file.last_error());
    return false;
  } catch (const std::bad_alloc&) {
    report(err, texts::kNoMemory, path);
    return false;
  }
}

int print_help(std::ostream& out) {
  print_line(out, texts::kTitle);
  for (const std::string_view piece : texts::kHelp) out << piece;
  out << std::flush;
  return 1;
}

int refuse(std::ostream& out, std::string_view argument) {
  print_line(out, texts::kUnknownParameter);
  print_line(out, argument);
  return 1;
}

int remind_usage(std::ostream& out) {
  for (const std::string_view line : texts::kWrongCount) print_line(out, line);
  return 1;
}

}  // namespace

int run_conversion(std::string_view windir, std::string_view linuxdir,
                   std::string_view ambiente, std::string_view modo,
                   std::ostream& out, std::ostream& err) {
  const Directories dirs = prepare_directories(windir, linuxdir);
  // An unknown ambiente opens the files in the current directory.
  std::string folder;
  if (ambiente == texts::kWindows) folder = dirs.windir_escaped;
  if (ambiente == texts::kLinux) folder = dirs.linuxdir;

  const Recipe* recipe = find_recipe(modo);
  if (recipe == nullptr) return refuse(out, modo);

  const std::string panacea = folder + std::string(texts::kPanacea);
  const std::string prefs = folder + std::string(texts::kPrefs);
  // A profile that never used mail has no panacea.dat.
  bool converted = convert_file(panacea, prefs, true, *recipe,
                                ProfileFile::kPanacea, dirs, err);
  converted &= convert_file(prefs, panacea, false, *recipe, ProfileFile::kPrefs,
                            dirs, err);
  if (!converted) return 1;
  print_line(out, recipe->completion);
  return 0;
}

int run(std::span<const std::string_view> args, std::ostream& out,
        std::ostream& err) {
  if (args.size() == 4) {
    return run_conversion(args[0], args[1], args[2], args[3], out, err);
  }
  if (args.size() == 1) {
    if (args[0] == texts::kHelpOption) return print_help(out);
    if (args[0] == texts::kVersionOption) {
      out << texts::kProgram << GEMMEL_VERSION << '\n' << std::flush;
      return 0;
    }
    return refuse(out, args[0]);
  }
  return remind_usage(out);
}

}  // namespace gemmel
