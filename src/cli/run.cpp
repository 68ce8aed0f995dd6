#include "cli/run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// What the files of a run showed of the profile's form.
struct Seen {
  bool written = false;       // a file was rewritten
  bool holds_target = false;  // prefs.js holds the folder converted to
};

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

// One profile file, loaded and converted in memory.
struct Loaded {
  std::optional<File> file;  // none where memory ran out
  Conversion conversion;
};

// Loads the file of `job` through `folder` and, where it may be written,
// converts it in memory.
void load_and_convert(const Job& job, const Folder& folder,
                      const Recipe& recipe, const Directories& dirs,
                      Loaded& loaded) {
  try {
    File& file = loaded.file.emplace(job.path.c_str(), job.sibling, folder.fd,
                                     folder.readable);
    // A run cut off inside its last rename, on a disk that renames in
    // steps, left the file's conversion under the new file's name: the
    // rename is finished, and nothing more said.
    if (file.finish_cut_off_rename([&](Text backup) {
          return convert_text(recipe, job.which, dirs, std::move(backup));
        })) {
      return;
    }
    if (file.state() != FileState::kReady) return;
    loaded.conversion = convert_file(recipe, job.which, dirs, file);
    // Only the converted text stays: the two files together then take at
    // most twice their size.
    file.release_scratch();
  } catch (const std::bad_alloc&) {
    loaded.file.reset();
  }
}

// Tells why the file of `job` may not be written; false where it may, or
// where it is an optional file that does not exist.
bool report_refusal(const Job& job, const Loaded& loaded, const Recipe& recipe,
                    const Directories& dirs, std::ostream& err) {
  if (!loaded.file) {
    report(err, texts::kNoMemory, job.path);
    return true;
  }
  if (loaded.file->state() == FileState::kMissing && job.optional) {
    return false;
  }
  switch (loaded.conversion.refusal) {
    case Refusal::kNone:
      break;
    case Refusal::kFolderAbsent:
      report_folder(err, texts::kFolderAbsent, job.path,
                    resolve(recipe.source, dirs));
      return true;
    case Refusal::kTwoProfiles:
      report_folder(err, texts::kTwoProfiles, job.path,
                    resolve(recipe.source, dirs));
      return true;
  }
  return report_state(*loaded.file, err);
}

// True where a write that failed left its file converted.
bool left_converted(FileState state) { return state == FileState::kNotDurable; }

// The file that the browser locks in the folder that holds the files at
// `prefs`, as a path.
std::string profile_lock_path(const std::string& prefs) {
  return prefs.substr(0, prefs.size() - posix::name_in_folder(prefs).size()) +
         std::string(texts::kProfileLock);
}

// Takes, through `folder`, the lock that the browser holds on its profile
// while it runs (a write lock over the whole of its lock file), so that it
// cannot open the profile while the files are converted, nor they be
// converted while it has it open; false, after telling why, where another
// process holds it. A disk without such locks, a lock file that cannot be
// made (a read-only folder: the files say why), or anything but a plain
// file at its name leave the run without it, and so does a folder without
// prefs.js, no profile, where none is left.
bool lock_profile(const Folder& folder, const std::string& prefs,
                  posix::Descriptor& lock, std::ostream& err) {
  const std::string name(texts::kProfileLock);
  const std::string file = posix::name_in_folder(prefs);
  struct stat found {};
  // prefs.js, or the new file of a run cut off in its last rename.
  if (folder.fd < 0 ||
      (!posix::look_up(folder.fd, file, false, found).ok() &&
       !posix::look_up(folder.fd, file + File::kNewSuffix, false, found)
            .ok())) {
    return true;
  }
  // Nothing but a regular file is opened: a device may act on an open.
  const Status looked = posix::look_up(folder.fd, name, false, found);
  bool absent = looked.code() == ENOENT;
  if (looked.ok() ? !S_ISREG(found.st_mode) : !absent) return true;
  constexpr int kFlags =
      O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
  lock.reset(posix::calls().openat(
      folder.fd, name.c_str(), kFlags | (absent ? O_CREAT | O_EXCL : 0), 0644));
  // Made meanwhile, by a browser starting or another run: that one counts.
  if (lock.get() < 0 && absent && errno == EEXIST) {
    absent = false;
    lock.reset(posix::calls().openat(folder.fd, name.c_str(), kFlags, 0));
  }
  // A second name, as a snapshot of the profile made with hard links gives
  // it, is the browser's lock all the same.
  if (lock.get() < 0 || ::fstat(lock.get(), &found) != 0 ||
      !S_ISREG(found.st_mode)) {
    lock.reset();
    return true;
  }
  // Made by root in a user's profile: the user's browser must still be able
  // to lock it.
  struct stat owner {};
  if (absent && ::fstat(folder.fd, &owner) == 0) {
    [[maybe_unused]] const int given =
        ::fchown(lock.get(), owner.st_uid, owner.st_gid);
  }
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  int locked = 0;
  while ((locked = ::fcntl(lock.get(), F_SETLK, &whole)) != 0 &&
         errno == EINTR) {
  }
  if (locked != 0 && (errno == EAGAIN || errno == EACCES)) {
    report(err, texts::kProfileOpen, profile_lock_path(prefs));
    return false;
  }
  return true;
}

// Converts the profile in memory, then writes its files, both or neither:
// true where both hold the conversion. `seen` gets what the files show.
bool convert_profile(const Job (&jobs)[2], const Folder& folder,
                     const Recipe& recipe, const Directories& dirs,
                     std::ostream& err, Seen& seen) {
  Loaded loaded[2];
  bool refused = false;
  for (int i = 0; i < 2; ++i) {
    load_and_convert(jobs[i], folder, recipe, dirs, loaded[i]);
    // A refused file goes at once, and its lock with it: the other name
    // may lead to the same file, which is then told for what it is.
    if (report_refusal(jobs[i], loaded[i], recipe, dirs, err)) {
      refused = true;
      loaded[i].file.reset();
    }
  }
  if (refused) {
    print_line(err, texts::kNothingChanged);
    return false;
  }
  seen.holds_target = loaded[1].conversion.holds_target;
  // Both new files are written and synced before either is put in place:
  // a file that cannot be written, a full disk or a backup that may not be
  // replaced stop the run before anything changes.
  for (Loaded& each : loaded) {
    File& file = *each.file;
    if (file.state() == FileState::kReady && !file.prepare_write()) {
      static_cast<void>(report_state(file, err));
      refused = true;
    }
  }
  if (refused) {
    print_line(err, texts::kNothingChanged);
    return false;
  }
  // panacea.dat first, then prefs.js. Where a write fails, the other file
  // is written only where this one holds its conversion, so that the
  // profile stays whole in one form or the other.
  bool converted = true;
  for (Loaded& each : loaded) {
    File& file = *each.file;
    if (file.state() != FileState::kReady) continue;  // a missing panacea.dat
    const bool written = file.write();
    if (!written) {
      static_cast<void>(report_state(file, err));
      converted = false;
    }
    if (written || left_converted(file.state())) {
      seen.written |= file.state() != FileState::kUnchanged;
      continue;
    }
    if (!seen.written) print_line(err, texts::kNothingChanged);
    return false;
  }
  return converted;
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

// True for an argument that begins as a Windows folder whose backslashes
// the shell took, as `D:\p\` typed without quotes arrives: a drive letter
// and a colon, then anything but a backslash ("D:p", "D:").
bool looks_stripped(std::string_view argument) {
  const bool letter =
      argument.size() >= 2 && ((argument[0] >= 'A' && argument[0] <= 'Z') ||
                               (argument[0] >= 'a' && argument[0] <= 'z'));
  return letter && argument[1] == ':' &&
         (argument.size() == 2 || argument[2] != '\\');
}

int remind_usage(std::span<const std::string_view> args, std::ostream& out,
                 std::ostream& err) {
  for (const std::string_view line : texts::kWrongCount) print_line(out, line);
  if (std::ranges::any_of(args, looks_stripped)) {
    print_line(err, texts::kQuoteWindir);
  }
  return 1;
}

// Tells why a folder given cannot be the profile's; false where both may.
bool folders_refused(std::string_view windir, std::string_view linuxdir,
                     std::ostream& err) {
  const auto refused = [&](std::string_view message, std::string_view folder) {
    report(err, message, folder);
    return true;
  };
  // A folder without its separator can only give glued names such as
  // "asd6dhre.sltMail".
  if (!windir.ends_with('\\')) {
    return refused(texts::kWindirUnterminated, windir);
  }
  if (!linuxdir.ends_with('/')) {
    return refused(texts::kLinuxdirUnterminated, linuxdir);
  }
  // A relative folder never occurs in the files: the browser stores full
  // paths.
  if (windows_root_length(windir) == 0) {
    return refused(texts::kWindirNotFull, windir);
  }
  if (!linuxdir.starts_with('/')) {
    return refused(texts::kLinuxdirNotFull, linuxdir);
  }
  return false;
}

}  // namespace

int run_conversion(std::string_view windir, std::string_view linuxdir,
                   std::string_view ambiente, std::string_view modo,
                   std::ostream& out, std::ostream& err) {
  const Recipe* recipe = find_recipe(modo);
  if (recipe == nullptr) return refuse(out, modo);
  if (folders_refused(windir, linuxdir, err)) return 1;
  const Directories dirs = prepare_directories(windir, linuxdir);
  // An unknown ambiente opens the files in the current directory.
  std::string folder;
  if (ambiente == texts::kWindows) folder = dirs.windir_escaped;
  if (ambiente == texts::kLinux) folder = dirs.linuxdir;
  const std::string panacea = folder + std::string(texts::kPanacea);
  const std::string prefs = folder + std::string(texts::kPrefs);
  // Both files, their backups, their marks and the profile's lock are
  // reached through the folder opened once here, so that nothing swapped in
  // at its path after the start can lead the second file elsewhere. Where
  // it cannot be opened, each file says why.
  posix::Descriptor profile;
  Folder opened;
  static_cast<void>(posix::open_folder(prefs, profile, opened.readable));
  opened.fd = profile.get();
  posix::Descriptor lock;
  if (!lock_profile(opened, prefs, lock, err)) return 1;

  // A profile that never used mail has no panacea.dat.
  const Job jobs[2] = {{panacea, prefs, true, ProfileFile::kPanacea},
                       {prefs, panacea, false, ProfileFile::kPrefs}};
  Seen seen;
  if (!convert_profile(jobs, opened, *recipe, dirs, err, seen)) return 1;
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
  return remind_usage(args, out, err);
}

}  // namespace gemmel
