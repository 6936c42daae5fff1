#include "container/error.h"

#include <string.h>

#include "container/internal/text.h"

namespace tarvel {

namespace {

// strerror_r comes in two shapes; both are handled without naming either.
[[maybe_unused]] const char* strerror_result(int rc, const char* buf) {
  return rc == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* strerror_result(const char* msg, const char*) {
  return msg;
}

std::string os_error_text(int errnum) {
  char buf[128] = {0};
  const char* msg = strerror_result(strerror_r(errnum, buf, sizeof buf), buf);
  std::string text = msg != nullptr ? display_path(msg) : std::string("Unknown error");
  text += " (os error ";
  text += std::to_string(errnum);
  text += ")";
  return text;
}

}  // namespace

std::string IoFailure::text() const {
  switch (kind_) {
    case Kind::kOs:
      return os_error_text(errnum_);
    case Kind::kFillBuffer:
      return "failed to fill whole buffer";
    case Kind::kWriteBuffer:
      return "failed to write whole buffer";
    case Kind::kNulInPath:
      return "file name contained an unexpected NUL byte";
    case Kind::kNotRegular:
      return "not a regular file";
    case Kind::kMessage:
      return message_;
  }
  return message_;
}

Error Error::io(IoFailure failure) {
  Error e(ErrorKind::kIo);
  e.io_ = std::move(failure);
  return e;
}

Error Error::io_at(std::string_view path, IoFailure failure) {
  Error e = io(std::move(failure));
  e.path_ = std::string(path);
  return e;
}

Error Error::malformed(std::string message) {
  Error e(ErrorKind::kMalformed);
  e.message_ = std::move(message);
  return e;
}

Error Error::usage(std::string message) {
  Error e(ErrorKind::kUsage);
  e.message_ = std::move(message);
  return e;
}

Error Error::zone_full(uint64_t need, uint64_t have) {
  Error e(ErrorKind::kZoneFull);
  e.need_ = need;
  e.have_ = have;
  return e;
}

Error Error::out_of_memory() {
  return io(IoFailure::message("Allocation error : not enough memory"));
}

Error Error::compression(std::string message) {
  Error e(ErrorKind::kCompression);
  e.message_ = std::move(message);
  return e;
}

void Error::fmt(std::string* sink) const {
  switch (kind_) {
    case ErrorKind::kIo:
      if (path_) {
        *sink += display_path(*path_);
        *sink += ": ";
      }
      *sink += io_.text();
      return;
    case ErrorKind::kZoneFull:
      *sink += "headers need ";
      *sink += std::to_string(need_);
      *sink += " bytes, the zone holds ";
      *sink += std::to_string(have_);
      return;
    case ErrorKind::kMalformed:
    case ErrorKind::kUsage:
    case ErrorKind::kCompression:
      *sink += message_;
      return;
  }
}

std::string Error::to_string() const {
  std::string s;
  fmt(&s);
  return s;
}

Error Error::with_path(std::string_view path) && {
  if (kind_ == ErrorKind::kIo && !path_) path_ = std::string(path);
  return std::move(*this);
}

}  // namespace tarvel
