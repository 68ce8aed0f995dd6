#include "profile/file.h"

#include <sys/stat.h>

#include <optional>
#include <utility>

#include "profile/posix_io.h"

namespace gemmel {

File::File(const char* name) : path_(name) { state_ = load(); }

FileState File::load() {
  posix::Descriptor input;
  struct stat status {};
  // A file already too large is refused before any of it is read; one that
  // grows past the bound while being read is refused by read_to_end.
  if (posix::open_regular_for_reading(path_, input, status) ||
      status.st_size > kMaxLength) {
    return FileState::kUnreadable;
  }
  if (posix::read_to_end(input.get(), text_, kMaxLength,
                         static_cast<std::size_t>(status.st_size))) {
    text_.clear();
    return FileState::kUnreadable;
  }
  length_ = static_cast<std::int32_t>(text_.size());
  // The backup is written from the bytes just read, so it is exactly the
  // text the conversion starts from even if the file changed meanwhile.
  if (posix::begin_backup(backup_path(), text_, status, backup_)) {
    return FileState::kBackupFailed;
  }
  return FileState::kReady;
}

std::int64_t File::replace(const ReplaceCall& call) {
  if (state_ != FileState::kReady) return 0;
  const std::optional<std::int64_t> count =
      apply_replace(call, text_, length_, spare_);
  if (!count) {
    state_ = FileState::kTooLarge;
    return 0;
  }
  return *count;
}

// The strings are taken by value on purpose: they may be parts of the text
// they change, which the replacement swaps away.
// NOLINTBEGIN(performance-unnecessary-value-param)
void File::replace(std::string target, std::string replacement,
                   std::int32_t start) {
  replace(ReplaceCall{.form = Form::kOffset,
                      .target = target,
                      .replacement = replacement,
                      .start = start});
}

void File::replace(std::string target, std::string replacement,
                   std::string start_key) {
  replace(ReplaceCall{.form = Form::kStartKey,
                      .target = target,
                      .replacement = replacement,
                      .start_key = start_key});
}

void File::replace(std::string target, std::string replacement,
                   std::string start_key, std::string end_key) {
  replace(ReplaceCall{.form = Form::kBounded,
                      .target = target,
                      .replacement = replacement,
                      .start_key = start_key,
                      .end_key = end_key});
}

// NOLINTEND(performance-unnecessary-value-param)

bool File::write() {
  if (state_ != FileState::kReady) return false;
  if (posix::finish_backup(backup_path(), backup_)) {
    state_ = FileState::kBackupFailed;
    return false;
  }
  if (posix::rewrite(path_, text_)) {
    state_ = FileState::kWriteFailed;
    return false;
  }
  return true;
}

}  // namespace gemmel
