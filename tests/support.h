// Helpers shared by the tests: scratch folders, whole-file I/O and running
// the built program.
#ifndef GEMMEL_TESTS_SUPPORT_H_
#define GEMMEL_TESTS_SUPPORT_H_

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace gemmel::testing {

// A fresh folder under the system's temporary directory, or `under`,
// removed with all it holds when the object goes.
class ScopedTempDir {
 public:
  explicit ScopedTempDir(const std::filesystem::path& under =
                             std::filesystem::temp_directory_path());
  ScopedTempDir(const ScopedTempDir&) = delete;
  ScopedTempDir& operator=(const ScopedTempDir&) = delete;
  ~ScopedTempDir();

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::string& name) const {
    return path_ / name;
  }

 private:
  std::filesystem::path path_;
};

std::string read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::string& bytes);
// Permission bits of `path`, not following a final symbolic link.
unsigned mode_of(const std::filesystem::path& path);
// stat() of `path`; throws where it fails.
struct stat stat_of(const std::filesystem::path& path);
// The names in `dir`, sorted.
std::vector<std::string> list_dir(const std::filesystem::path& dir);

// Something other than a plain file of its own, made at `at`; the links
// lead to `target`. kDevice is /dev/null's kind where root may make one, and
// a FIFO elsewhere.
enum class Entry { kFolder, kFifo, kDevice, kEmptyFile, kSymlink, kHardLink };
void make_entry(Entry kind, const std::filesystem::path& at,
                const std::filesystem::path& target = {});

// Every occurrence of `from` in `text` replaced by `to`, the search going on
// after each insertion; `count` gets the number of replacements.
std::string replace_all(std::string text, std::string_view from,
                        std::string_view to, int* count = nullptr);

// The example folder of the help, under Windows.
inline const std::string kExampleWindir =
    "d:\\documenti\\mozilla\\default\\asd6dhre.slt\\";
inline const std::string kToWindows =
    "Esportazione linux->windows terminata!\n";
inline const std::string kToLinux = "Esportazione windows->linux terminata!\n";
// One failure as the program reports it: the message, the path and, when a
// system call failed, the system's words for why.
std::string report(const std::string& message, const std::string& path,
                   int code = 0);

struct RunOptions {
  std::filesystem::path cwd;
  std::optional<unsigned long> file_size_limit;  // RLIMIT_FSIZE, in bytes
  std::optional<uid_t> user;                     // run as this uid and gid
  std::optional<unsigned long> address_space;    // RLIMIT_AS, in bytes
  bool standard_closed = false;  // start with descriptors 0, 1 and 2 closed
  bool stderr_unread = false;    // stderr is a pipe whose reader has gone
};

struct RunResult {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal
  friend bool operator==(const RunResult&, const RunResult&) = default;
};
std::ostream& operator<<(std::ostream& os, const RunResult& result);
// A run that ended with status 1 after writing `err` to stderr only.
inline RunResult failed(std::string err) { return {"", std::move(err), 1}; }

// Runs the built gemmel with `args` and collects everything it printed. The
// program runs in the "C" locale, so that the reasons it gives are the
// system's English texts.
RunResult run_gemmel(const std::vector<std::string>& args,
                     const RunOptions& options);

// The unprivileged user that permission tests run as.
inline constexpr uid_t kNobody = 65534;

// The folder of real profile files written by the browser, if present.
std::optional<std::filesystem::path> real_profiles();

}  // namespace gemmel::testing

#endif  // GEMMEL_TESTS_SUPPORT_H_
