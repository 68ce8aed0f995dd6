#include "profile/file.h"

#include <cerrno>
#include <optional>
#include <utility>

#include "profile/posix_io.h"
#include "profile/status.h"

namespace gemmel {

using enum FileState;

File::File(const char* name, const std::string& sibling, int folder,
           bool folder_readable)
    : path_(name),
      name_(posix::name_in_folder(path_)),
      sibling_(posix::name_in_folder(sibling)),
      folder_(folder),
      folder_readable_(folder_readable) {
  if ((load() || absent_) && folder_ >= 0) settle_leftovers();
}

bool File::fail(FileState state, const Status& status,
                const std::string& path) {
  state_ = state;
  status_ = status;
  failed_path_ = path.empty() ? path_ : path;
  return false;
}

bool File::resolve_links() {
  target_name_ = name_;
  target_path_ = path_;
  target_folder_.reset();
  target_readable_ = folder_readable_;
  std::string target;
  // As many links as the system itself follows in a path.
  for (int links = 0;
       posix::read_link(target_folder(), target_name_, target).ok(); ++links) {
    const std::size_t slash = target.rfind('/');
    const std::string name = posix::name_in_folder(target);
    if (links == 40 || name.empty() || name == "." || name == "..") {
      return fail(kUnreadable,
                  Status::failed("open", links == 40 ? ELOOP : EISDIR));
    }
    const Status opened =
        slash == std::string::npos
            ? Status()
            : posix::open_subfolder(target_folder(),
                                    slash == 0 ? "/" : target.substr(0, slash),
                                    target_folder_, target_readable_);
    if (!opened.ok()) return fail(kUnreadable, opened);
    const std::size_t kept = target_path_.size() - target_name_.size();
    target_path_ = target.starts_with('/')
                       ? target
                       : target_path_.substr(0, kept) + target;
    target_name_ = name;
  }
  return true;
}

bool File::load() {
  if (folder_ < 0) {
    const Status opened =
        posix::open_folder(path_, own_folder_, folder_readable_);
    if (!opened.ok()) {
      return fail(opened.code() == ENOENT ? kMissing : kUnreadable, opened);
    }
    folder_ = own_folder_.get();
  }
  // Another run may rename its new file over the path between the opening
  // and the lock: the file then read is the one the path names.
  for (int attempt = 0; !still_as_read(true); ++attempt) {
    if (attempt == 3) return fail(kChanged);
    if (!resolve_links()) return false;
    const Status opened = posix::open_regular_for_reading(
        target_folder(), target_name_, false, input_, read_status_);
    // A link whose target is gone is no missing file: it may lead to a disk
    // that is not mounted.
    absent_ = opened.code() == ENOENT;
    // Nor is a file whose conversion a run cut off left beside it.
    struct stat found {};
    if (!opened.ok()) {
      const bool cut_off =
          posix::look_up(target_folder(), new_name(), false, found).ok();
      return fail(
          absent_ && target_path_ == path_ && !cut_off ? kMissing : kUnreadable,
          opened);
    }
    // A file already too large is refused before any of it is read; one
    // that grows past the bound while being read is refused by read_to_end.
    if (read_status_.st_size > kMaxLength) {
      return fail(kUnreadable, Status::failed("open", 0));
    }
    const Status locked = posix::lock(input_.get());
    // Another run's lock is no failure of the system: no reason to give. A
    // file system without locks is read all the same.
    if (locked.code() == EWOULDBLOCK) {
      return fail(kBusy, Status::failed("flock", 0));
    }
    if (!locked.ok() && locked.code() != ENOLCK &&
        locked.code() != EOPNOTSUPP && locked.code() != ENOSYS) {
      return fail(kUnreadable, locked);
    }
  }
  const Status read =
      posix::read_to_end(input_.get(), text_, kMaxLength,
                         static_cast<std::size_t>(read_status_.st_size));
  if (!read.ok()) {
    text_.clear();
    return fail(kUnreadable, read);
  }
  length_ = static_cast<std::int32_t>(text_.size());
  state_ = kReady;
  return true;
}

std::int64_t File::replace(const ReplaceCall& call) {
  if (state_ != kReady) return 0;
  return changed(apply_replace(call, text_, length_, spare_));
}

std::int64_t File::replace(const SeparatorPass& pass) {
  if (state_ != kReady) return 0;
  const std::optional<std::int64_t> count =
      convert_separators(pass, text_, spare_);
  length_ = static_cast<std::int32_t>(text_.size());
  return changed(count);
}

std::int64_t File::changed(std::optional<std::int64_t> count) {
  if (!count) {
    state_ = kTooLarge;
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
  replace(ReplaceCall{Form::kOffset, target, replacement, start});
}

void File::replace(std::string target, std::string replacement,
                   std::string start_key) {
  replace(ReplaceCall{Form::kStartKey, target, replacement, 0, start_key});
}

void File::replace(std::string target, std::string replacement,
                   std::string start_key, std::string end_key) {
  replace(
      ReplaceCall{Form::kBounded, target, replacement, 0, start_key, end_key});
}
// NOLINTEND(performance-unnecessary-value-param)

// Assigning an empty text would keep the buffer: only a swap gives it back.
void File::release_scratch() { Text().swap(spare_); }

bool File::differs() {
  if (state_ != kReady) return false;
  // Replacements can put back what they took away: only bytes tell.
  if (!differs_) {
    differs_ = replaced_ > 0 && !posix::holds(input_.get(), text_);
  }
  return *differs_;
}

}  // namespace gemmel
