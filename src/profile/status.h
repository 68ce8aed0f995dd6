// What a step of loading or writing a profile file came to: done, refused
// because the file changed under it, or failed, with the call and its errno.
#ifndef GEMMEL_PROFILE_STATUS_H_
#define GEMMEL_PROFILE_STATUS_H_

#include <string_view>

namespace gemmel {

class [[nodiscard]] Status {
 public:
  enum class Kind { kOk, kChanged, kFailed };

  Status() = default;
  // The file was changed by someone else while it was being read or copied.
  static Status file_changed() { return Status(Kind::kChanged, "", 0); }
  // `operation` failed with `code`, errno as it was right after the call; 0
  // when no call failed but a check refused what it found (not a regular
  // file, a link, ...).
  static Status failed(std::string_view operation, int code) {
    return Status(Kind::kFailed, operation, code);
  }

  bool ok() const { return kind_ == Kind::kOk; }
  bool changed() const { return kind_ == Kind::kChanged; }
  std::string_view operation() const { return operation_; }
  int code() const { return code_; }

 private:
  Status(Kind kind, std::string_view operation, int code)
      : kind_(kind), operation_(operation), code_(code) {}

  Kind kind_ = Kind::kOk;
  std::string_view operation_;  // "open", "read", "fsync", ...
  int code_ = 0;
};

}  // namespace gemmel

#endif  // GEMMEL_PROFILE_STATUS_H_
