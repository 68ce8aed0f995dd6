#include "cli/run.h"

#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "cli/recipes.h"
#include "cli/texts.h"
#include "profile/file.h"
#include "profile/posix_io.h"

namespace gemmel {
namespace {

// Every message line ends with a line feed and reaches the terminal at once.
void print_line(std::ostream& stream, std::string_view line) {
  stream << line << '\n' << std::flush;
}

// A failure of one profile file: the message, the path it concerns, and,
// where a system call failed, the system's own words for why.
void report(std::ostream& err, std::string_view message, std::string_view path,
            const Status& status = {}) {
  print_line(err, message);
  print_line(err, path);
  if (status.code() > 0) {
    err << texts::kReason << std::strerror(status.code()) << '\n' << std::flush;
  }
}

// Why a loaded file was not converted, and the path to name with it.
struct Failure {
  // cppcheck-suppress unusedStructMember ; read through std::optional
  std::string_view message;
  bool failed_path = false;  // the path of what failed, not the file's
};

std::optional<Failure> failure_of(FileState state) {
  switch (state) {
    case FileState::kReady:
    case FileState::kUnchanged:
    case FileState::kWritten:
    case FileState::kInterrupted:   // told by report_state
    case FileState::kBackupShared:  // told by report_state
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
    case FileState::kNotWritten:
      return Failure{texts::kNotWritable, true};
    case FileState::kBackupFailed:
      return Failure{texts::kCannotBackUp, true};
    case FileState::kNotDurable:
      return Failure{texts::kNotDurable};
  }
  return std::nullopt;
}

// Tells why `file` was not converted; false when it was.
bool report_state(const File& file, std::ostream& err) {
  // A mark of an earlier version stands beside a file that may be torn.
  if (file.state() == FileState::kInterrupted) {
    report(err, texts::kInterrupted, file.backup_path());
    return true;
  }
  if (file.state() == FileState::kBackupShared) {
    report(err, texts::kCannotBackUp, file.backup_path());
    err << texts::kReason << texts::kSameFile << file.shared_with() << '\n'
        << std::flush;
    return true;
  }
  const std::optional<Failure> failure = failure_of(file.state());
  if (!failure) return false;
  report(err, failure->message,
         failure->failed_path ? file.failed_path() : file.path(),
         file.last_status());
  return true;
}

// The profile's folder, held open for the whole run.
struct Folder {
  int fd = -1;
  bool readable = true;
};

// A file refused for the folders given: the message, the path, and the
// folder as the file would store it.
void report_folder(std::ostream& err, std::string_view message,
                   std::string_view path, std::string_view folder) {
  report(err, message, path);
  err << texts::kFolderSought << folder << '\n' << std::flush;
}

// One profile file of the run: where it is, and what the conversion does
// with it.
struct Job {
  const std::string& path;
  const std::string& sibling;  // the other profile file
  bool optional;  // a file that does not exist is passed over in silence
  ProfileFile which;
};

// A run cut off inside the rename that puts a file in place, on a disk that
// renames in steps, left no file at the path and its conversion under the
// new file's name: the rename is finished, and nothing more said.
bool finish_cut_off_rename(File& file, const Job& job, const Recipe& recipe,
                           const Directories& dirs) {
  std::optional<Text> backup = file.read_backup_of_cut_off_rename();
  if (!backup) return false;
  const std::optional<Text> made =
      convert_text(recipe, job.which, dirs, std::move(*backup));
  return made && file.finish_rename(*made);
}

// What the files of a run showed of the profile's form.
struct Seen {
  bool written = false;       // a file was rewritten
  bool holds_target = false;  // prefs.js holds the folder converted to
};

// Loads, converts and writes one profile file, reached through `folder`,
// and adds to `seen` what it shows. Returns false, after telling why on
// `err`, when the file was left unchanged or could not be written.
bool convert_file(const Job& job, const Folder& folder, const Recipe& recipe,
                  const Directories& dirs, std::ostream& err, Seen& seen) {
  try {
    File file(job.path.c_str(), job.sibling, folder.fd, folder.readable);
    if (finish_cut_off_rename(file, job, recipe, dirs)) {
      seen.written = true;
      return !report_state(file, err);
    }
    if (file.state() == FileState::kMissing && job.optional) return true;
    if (file.state() == FileState::kReady) {
      // A Windows folder given one level above the profile, or a Linux one,
      // would bury every path one level deeper in a folder named like the
      // profile, ".../asd6dhre.slt/asd6dhre.slt/Mail".
      if (source_is_one_level_up(recipe, job.which, dirs, file.text())) {
        report_folder(err, texts::kTwoProfiles, job.path,
                      resolve(recipe.source, dirs));
        return false;
      }
      const std::int64_t folders = convert(recipe, job.which, dirs, file);
      // Separators converted where the folder never occurs would leave the
      // file half in one form, half in the other: a mistyped folder, which
      // the user sees at once in the form the file would hold it.
      if (folders == 0 && file.differs()) {
        report_folder(err, texts::kFolderAbsent, job.path,
                      resolve(recipe.source, dirs));
        return false;
      }
      if (job.which == ProfileFile::kPrefs) {
        seen.holds_target =
            std::string_view(file.text()).find(resolve(recipe.target, dirs)) !=
            std::string_view::npos;
      }
      // Only a kReady file is written; any other state is reported below.
      static_cast<void>(file.write());
      seen.written |= file.state() == FileState::kWritten;
    }
    return !report_state(file, err);
  } catch (const std::bad_alloc&) {
    report(err, texts::kNoMemory, job.path);
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
  const Recipe* recipe = find_recipe(modo);
  if (recipe == nullptr) return refuse(out, modo);
  // A folder without its separator can only give glued names such as
  // "asd6dhre.sltMail".
  if (!windir.ends_with('\\')) {
    report(err, texts::kWindirUnterminated, windir);
    return 1;
  }
  if (!linuxdir.ends_with('/')) {
    report(err, texts::kLinuxdirUnterminated, linuxdir);
    return 1;
  }
  // A relative folder never occurs in the files: the browser stores full
  // paths.
  if (windows_root_length(windir) == 0) {
    report(err, texts::kWindirNotFull, windir);
    return 1;
  }
  if (!linuxdir.starts_with('/')) {
    report(err, texts::kLinuxdirNotFull, linuxdir);
    return 1;
  }

  const Directories dirs = prepare_directories(windir, linuxdir);
  // An unknown ambiente opens the files in the current directory.
  std::string folder;
  if (ambiente == texts::kWindows) folder = dirs.windir_escaped;
  if (ambiente == texts::kLinux) folder = dirs.linuxdir;
  const std::string panacea = folder + std::string(texts::kPanacea);
  const std::string prefs = folder + std::string(texts::kPrefs);
  // Both files, their backups and their marks are reached through the
  // folder opened once here, so that nothing swapped in at its path after
  // the start can lead the second file elsewhere. Where it cannot be
  // opened, each file says why.
  posix::Descriptor profile;
  Folder opened;
  static_cast<void>(posix::open_folder(prefs, profile, opened.readable));
  opened.fd = profile.get();

  // A profile that never used mail has no panacea.dat.
  Seen seen;
  bool converted = convert_file({panacea, prefs, true, ProfileFile::kPanacea},
                                opened, *recipe, dirs, err, seen);
  converted &= convert_file({prefs, panacea, false, ProfileFile::kPrefs},
                            opened, *recipe, dirs, err, seen);
  if (!converted) return 1;
  print_line(out, recipe->completion);
  // A profile already in the form asked for: a rerun, or the wrong modo.
  // Scripts that run the conversion at every boot rely on the completion
  // line and the status, so it stays a success.
  if (!seen.written && seen.holds_target) {
    print_line(err, texts::kAlreadyConverted);
  }
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
