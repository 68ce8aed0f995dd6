#include "profile/file.h"

#include <cerrno>
#include <optional>
#include <utility>

#include "profile/posix_io.h"
#include "profile/status.h"

namespace gemmel {

File::File(const char* name, const std::string& sibling, int folder,
           bool folder_readable)
    : path_(name),
      name_(posix::name_in_folder(path_)),
      sibling_(posix::name_in_folder(sibling)),
      folder_(folder),
      folder_readable_(folder_readable) {
  state_ = load();
  if (state_ == FileState::kReady || state_ == FileState::kMissing) {
    state_ = settle_leftovers();
  }
}

FileState File::fail(FileState state, const Status& status,
                     const std::string& path) {
  status_ = status;
  failed_path_ = path.empty() ? path_ : path;
  return state;
}

FileState File::resolve_links() {
  target_name_ = name_;
  target_path_ = path_;
  target_folder_.reset();
  target_readable_ = folder_readable_;
  // As many links as the system itself follows in a path.
  for (int links = 0;; ++links) {
    struct stat status {};
    if (!posix::look_up(target_folder(), target_name_, false, status).ok() ||
        !S_ISLNK(status.st_mode)) {
      return FileState::kReady;
    }
    std::string target;
    const Status read =
        links == 40 ? Status::failed("open", ELOOP)
                    : posix::read_link(target_folder(), target_name_, target);
    if (!read.ok()) return fail(FileState::kUnreadable, read);
    const std::size_t slash = target.rfind('/');
    const std::string name = posix::name_in_folder(target);
    if (name.empty() || name == "." || name == "..") {
      return fail(FileState::kUnreadable, Status::failed("open", EISDIR));
    }
    if (slash != std::string::npos) {
      const Status opened = posix::open_subfolder(
          target_folder(), slash == 0 ? "/" : target.substr(0, slash),
          target_folder_, target_readable_);
      if (!opened.ok()) return fail(FileState::kUnreadable, opened);
    }
    const std::size_t kept = target_path_.size() - target_name_.size();
    target_path_ = target.starts_with('/')
                       ? target
                       : target_path_.substr(0, kept) + target;
    target_name_ = name;
  }
}

FileState File::load() {
  if (folder_ < 0) {
    const Status opened =
        posix::open_folder(path_, own_folder_, folder_readable_);
    if (!opened.ok()) {
      return fail(opened.code() == ENOENT ? FileState::kMissing
                                          : FileState::kUnreadable,
                  opened);
    }
    folder_ = own_folder_.get();
  }
  // Another run may rename its new file over the path between the opening
  // and the lock: the file then read is the one the path names.
  for (int attempt = 0;; ++attempt) {
    const FileState resolved = resolve_links();
    if (resolved != FileState::kReady) return resolved;
    const Status opened = posix::open_regular_for_reading(
        target_folder(), target_name_, false, input_, read_status_);
    if (!opened.ok()) {
      // A link whose target is gone is no missing file: it may lead to a
      // disk that is not mounted.
      absent_ = opened.code() == ENOENT;
      return fail(absent_ && target_name_ == name_ && target_folder_.get() < 0
                      ? FileState::kMissing
                      : FileState::kUnreadable,
                  opened);
    }
    // A file already too large is refused before any of it is read; one
    // that grows past the bound while being read is refused by read_to_end.
    if (read_status_.st_size > kMaxLength) {
      return fail(FileState::kUnreadable, Status::failed("open", 0));
    }
    const Status locked = posix::lock(input_.get());
    // Another run's lock is no failure of the system: no reason to give.
    if (locked.code() == EWOULDBLOCK) {
      return fail(FileState::kBusy, Status::failed("flock", 0));
    }
    // A file system without locks is read all the same.
    if (!locked.ok() && locked.code() != ENOLCK &&
        locked.code() != EOPNOTSUPP && locked.code() != ENOSYS) {
      return fail(FileState::kUnreadable, locked);
    }
    struct stat now {};
    if (posix::look_up(target_folder(), target_name_, false, now).ok() &&
        posix::same_file(now, read_status_)) {
      break;
    }
    if (attempt == 2) return FileState::kChanged;
  }
  const Status read =
      posix::read_to_end(input_.get(), text_, kMaxLength,
                         static_cast<std::size_t>(read_status_.st_size));
  if (!read.ok()) {
    text_.clear();
    return fail(FileState::kUnreadable, read);
  }
  length_ = static_cast<std::int32_t>(text_.size());
  return FileState::kReady;
}

std::int64_t File::replace(const ReplaceCall& call) {
  if (state_ != FileState::kReady) return 0;
  return changed(apply_replace(call, text_, length_, spare_));
}

std::int64_t File::replace(const SeparatorPass& pass) {
  if (state_ != FileState::kReady) return 0;
  const std::optional<std::int64_t> count =
      convert_separators(pass, text_, spare_);
  length_ = static_cast<std::int32_t>(text_.size());
  return changed(count);
}

std::int64_t File::changed(std::optional<std::int64_t> count) {
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

// Assigning an empty text would keep the buffer: only a swap gives it back.
void File::release_scratch() { Text().swap(spare_); }

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

}  // namespace gemmel
