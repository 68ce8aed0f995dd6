#include "cli/run.h"

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

void report(std::ostream& err, std::string_view message,
            std::string_view path) {
  print_line(err, message);
  print_line(err, path);
}

// Loads, converts and writes one profile file. Returns false, after telling
// why on `err`, when the file was left unchanged or could not be written.
bool convert_file(const std::string& path, const Recipe& recipe,
                  ProfileFile which, const Directories& dirs,
                  std::ostream& err) {
  File file(path.c_str());
  if (file.state() == FileState::kUnreadable) {
    report(err, texts::kCannotRead, path);
    return false;
  }
  convert(recipe, which, dirs, file);
  if (file.state() == FileState::kTooLarge) {
    report(err, texts::kTooLarge, path);
    return false;
  }
  if (!file.write()) {
    report(err,
           file.state() == FileState::kBackupFailed ? texts::kCannotBackUp
                                                    : texts::kCannotWrite,
           file.backup_path());
    return false;
  }
  return true;
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

  bool converted = true;
  converted &= convert_file(folder + std::string(texts::kPanacea), *recipe,
                            ProfileFile::kPanacea, dirs, err);
  converted &= convert_file(folder + std::string(texts::kPrefs), *recipe,
                            ProfileFile::kPrefs, dirs, err);
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
    return refuse(out, args[0]);
  }
  return remind_usage(out);
}

}  // namespace gemmel
