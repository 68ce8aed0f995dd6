#include "support.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace gemmel::testing {

namespace fs = std::filesystem;

ScopedTempDir::ScopedTempDir(const fs::path& under) {
  std::string pattern = under / "gemmel-test-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::system_error(errno, std::generic_category(), "mkdtemp");
  }
  path_ = pattern;
  // Tests that run as an unprivileged user must be able to reach the folder.
  fs::permissions(path_, fs::perms::all);
}

ScopedTempDir::~ScopedTempDir() {
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const fs::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

unsigned mode_of(const fs::path& path) {
  struct stat status {};
  if (lstat(path.c_str(), &status) != 0) return 0;
  return status.st_mode & 07777;
}

struct stat stat_of(const fs::path& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) {
    throw std::system_error(errno, std::generic_category(), path.string());
  }
  return status;
}

std::vector<std::string> list_dir(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void make_entry(Entry kind, const fs::path& at, const fs::path& target) {
  int made = 0;
  switch (kind) {
    case Entry::kFolder:
      fs::create_directory(at);
      break;
    case Entry::kDevice:
      if (geteuid() == 0) {
        made = mknod(at.c_str(), S_IFCHR | 0666, makedev(1, 3));
        break;
      }
      [[fallthrough]];
    case Entry::kFifo:
      made = mkfifo(at.c_str(), 0666);
      break;
    case Entry::kEmptyFile:
      write_file(at, "");
      break;
    case Entry::kSymlink:
      fs::create_symlink(target, at);
      break;
    case Entry::kHardLink:
      fs::create_hard_link(target, at);
      break;
  }
  if (made != 0)
    throw std::system_error(errno, std::generic_category(), "mknod");
}

std::string replace_all(std::string text, std::string_view from,
                        std::string_view to, int* count) {
  if (count != nullptr) *count = 0;
  for (std::size_t at = text.find(from); at != std::string::npos;
       at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
    if (count != nullptr) ++*count;
  }
  return text;
}

std::string report(const std::string& message, const std::string& path,
                   int code) {
  std::string text = message + "\n" + path + "\n";
  if (code != 0) text += std::string("Motivo: ") + std::strerror(code) + "\n";
  return text;
}

std::ostream& operator<<(std::ostream& os, const RunResult& result) {
  return os << "status " << result.status << "\n--- stdout ---\n"
            << result.out << "--- stderr ---\n"
            << result.err << "---";
}

namespace {

// Reads both pipes to their ends as the program writes, so that neither can
// fill up and stop it; a pipe already closed is -1.
void drain(int out_fd, int err_fd, std::string& out, std::string& err) {
  pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  std::string* sinks[2] = {&out, &err};
  char buffer[65536];
  while (fds[0].fd >= 0 || fds[1].fd >= 0) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "poll");
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) sinks[i]->append(buffer, static_cast<std::size_t>(got));
      if (got == 0 || (got < 0 && errno != EINTR)) {
        close(fds[i].fd);
        fds[i].fd = -1;
      }
    }
  }
}

}  // namespace

RunResult run_gemmel(const std::vector<std::string>& args,
                     const RunOptions& options) {
  // Another user may not reach the build folder (a checkout under /root):
  // that user runs a copy of the program from a folder open to all.
  const ScopedTempDir scratch;
  std::string program = GEMMEL_BINARY;
  if (options.user) {
    program = scratch / "gemmel";
    fs::copy_file(GEMMEL_BINARY, program);
    fs::permissions(program, static_cast<fs::perms>(0755));
  }
  std::vector<std::string> copies = args;
  std::vector<char*> argv{program.data()};
  for (std::string& arg : copies) argv.push_back(arg.data());
  argv.push_back(nullptr);
  // With no reader left before the program starts, its first message to
  // stderr meets a broken pipe.
  int out[2];
  int err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    throw std::system_error(errno, std::generic_category(), "pipe2");
  }
  if (options.stderr_unread) close(err[0]);
  const pid_t pid = fork();
  if (pid < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid == 0) {
    // Only async-signal-safe calls from here to exec.
    dup2(out[1], STDOUT_FILENO);
    dup2(err[1], STDERR_FILENO);
    dup2(open("/dev/null", O_RDONLY), STDIN_FILENO);
    // A run that hangs ends the test instead of the suite.
    alarm(60);
    if (options.standard_closed) {
      for (int fd = 0; fd <= 2; ++fd) close(fd);
    }
    if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) _exit(126);
    const std::pair<int, std::optional<unsigned long>> limits[] = {
        {RLIMIT_FSIZE, options.file_size_limit},
        {RLIMIT_AS, options.address_space}};
    for (const auto& [resource, bytes] : limits) {
      const rlimit limit{bytes.value_or(RLIM_INFINITY),
                         bytes.value_or(RLIM_INFINITY)};
      if (bytes && setrlimit(resource, &limit) != 0) _exit(126);
    }
    if (options.user &&
        (setgroups(0, nullptr) != 0 || setgid(*options.user) != 0 ||
         setuid(*options.user) != 0)) {
      _exit(126);
    }
    char locale[] = "LC_ALL=C";
    char* const environment[] = {locale, nullptr};
    execve(argv[0], argv.data(), environment);
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  RunResult result;
  drain(out[0], options.stderr_unread ? -1 : err[0], result.out, result.err);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) {
      throw std::system_error(errno, std::generic_category(), "waitpid");
    }
  }
  result.status =
      WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::optional<fs::path> real_profiles() {
  const fs::path dir = GEMMEL_REAL_PROFILES;
  std::error_code ignored;
  if (!fs::is_directory(dir, ignored)) return std::nullopt;
  return dir;
}

}  // namespace gemmel::testing
