#include "profile/file.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <optional>
#include <utility>

#include "profile/posix_io.h"

namespace gemmel {

File::File(const char* name, std::string sibling)
    : path_(name), sibling_(std::move(sibling)) {
  state_ = load();
}

FileState File::fail(FileState state, const posix::Error& error) {
  error_ = error;
  return state;
}

FileState File::load() {
  posix::Outcome opened = posix::open_folder(path_, folder_);
  if (!opened) {
    opened = posix::open_regular_for_reading(
        folder_.get(), posix::name_in_folder(path_), input_, read_status_);
  }
  if (opened) {
    // A link whose target is gone is no missing file: it may lead to a disk
    // that is not mounted.
    struct stat link {};
    const bool missing = opened->code == ENOENT &&
                         ::lstat(path_.c_str(), &link) != 0 && errno == ENOENT;
    return fail(missing ? FileState::kMissing : FileState::kUnreadable,
                *opened);
  }
  // A file already too large is refused before any of it is read; one that
  // grows past the bound while being read is refused by read_to_end.
  if (read_status_.st_size > kMaxLength) {
    return fail(FileState::kUnreadable, posix::Error{"open", 0});
  }
  if (auto error = posix::lock(input_.get())) {
    // Another run's lock is no failure of the system: no reason to give.
    if (error->code == EWOULDBLOCK) {
      return fail(FileState::kBusy, posix::Error{"flock", 0});
    }
    return fail(FileState::kUnreadable, *error);
  }
  if (auto error =
          posix::read_to_end(input_.get(), text_, kMaxLength,
                             static_cast<std::size_t>(read_status_.st_size))) {
    text_.clear();
    return fail(FileState::kUnreadable, *error);
  }
  length_ = static_cast<std::int32_t>(text_.size());
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
  replaced_ += *count;
  differs_.reset();
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

bool File::differs() {
  if (state_ != FileState::kReady) return false;
  if (!differs_) {
    // Replacements can put back what they took away: only bytes tell.
    differs_ =
        replaced_ > 0 &&
        (text_.size() != static_cast<std::size_t>(read_status_.st_size) ||
         !posix::holds(input_.get(), text_));
  }
  return *differs_;
}

bool File::write() {
  if (state_ != FileState::kReady) return false;
  state_ = store();
  input_.reset();  // gives up the lock
  return state_ == FileState::kWritten || state_ == FileState::kUnchanged;
}

FileState File::store() {
  if (!differs()) return FileState::kUnchanged;
  const posix::Identity read = posix::Identity::of(read_status_);
  // The file must still be the one read, as it was read: another program
  // may have replaced or changed it while it was converted.
  const auto now = posix::identity_of(path_);
  if (!now || !now->same_version(read)) return FileState::kChanged;

  std::array<posix::Identity, 2> protected_files{read, read};
  if (auto sibling = posix::identity_of(sibling_))
    protected_files[1] = *sibling;
  posix::Identity backup;
  const posix::BackupSource source{.from = input_.get(),
                                   .original = read,
                                   .mode = read_status_.st_mode & 0777,
                                   .owner = read_status_.st_uid,
                                   .group = read_status_.st_gid};
  const std::string name = posix::name_in_folder(path_);
  const std::string backup_name = name + kBackupSuffix;
  const std::string marker_name = backup_name + kRewriteMarkerSuffix;
  // An earlier run did not finish rewriting the file: its backup may be the
  // only original left.
  if (posix::exists_in(folder_.get(), marker_name)) {
    return fail(FileState::kBackupFailed, posix::Error{"open", 0});
  }
  // From the backup until the file is whole, termination waits.
  const posix::DeferredSignals deferred;
  if (auto error = posix::write_backup(folder_.get(), backup_name, source,
                                       protected_files, backup)) {
    if (error->operation == posix::kSourceShrank) return FileState::kChanged;
    return fail(FileState::kBackupFailed, *error);
  }

  posix::Descriptor output;
  struct stat status {};
  if (auto error =
          posix::open_for_rewrite(folder_.get(), name, output, status)) {
    if (error->code == ENOENT) return FileState::kChanged;
    return fail(FileState::kWriteFailed, *error);
  }
  if (!posix::Identity::of(status).same_version(read)) {
    return FileState::kChanged;
  }
  const posix::Rewrite how{.folder = folder_.get(),
                           .backup_name = backup_name,
                           .marker_name = marker_name,
                           .backup = backup,
                           .old_size = read.size};
  if (auto error = posix::rewrite(output, text_, how)) {
    return fail(FileState::kWriteFailed, *error);
  }
  // Replaced while it was being written: the converted text went to a file
  // that the path no longer names.
  const auto after = posix::identity_of(path_);
  if (!after || !after->same_file(read)) return FileState::kChanged;
  return FileState::kWritten;
}

}  // namespace gemmel
