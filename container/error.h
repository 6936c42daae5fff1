// Error: the library's single error type, with five kinds.
//
// An Error is a plain owned value: it is moved to the caller, never shared,
// has no cause chain, and making or displaying one touches no shared state.
#ifndef TARVEL_CONTAINER_ERROR_H_
#define TARVEL_CONTAINER_ERROR_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarvel {

// What went wrong below an Io error: an operating-system error number, one of
// the file layer's fixed failures, or a message of the system's own (the
// error name libzstd gives for a failed compression step).
class IoFailure {
 public:
  enum class Kind { kOs, kFillBuffer, kWriteBuffer, kNulInPath, kNotRegular, kMessage };

  static IoFailure os(int errnum) { return IoFailure(Kind::kOs, errnum, {}); }
  // A read of an exact number of bytes met the end of the file first.
  static IoFailure fill_buffer() { return IoFailure(Kind::kFillBuffer, 0, {}); }
  // A write call accepted no bytes before the whole buffer was written.
  static IoFailure write_buffer() { return IoFailure(Kind::kWriteBuffer, 0, {}); }
  // A path holding a NUL byte was given to open.
  static IoFailure nul_in_path() { return IoFailure(Kind::kNulInPath, 0, {}); }
  // Open found a FIFO, socket, device or other file that is neither a
  // regular file nor a directory.
  static IoFailure not_regular() { return IoFailure(Kind::kNotRegular, 0, {}); }
  static IoFailure message(std::string text) {
    return IoFailure(Kind::kMessage, 0, std::move(text));
  }

  Kind kind() const { return kind_; }
  // The error number of a kOs failure; 0 for the other kinds.
  int errnum() const { return errnum_; }

  // "No such file or directory (os error 2)", "failed to fill whole buffer", ...
  std::string text() const;

 private:
  IoFailure(Kind kind, int errnum, std::string message)
      : kind_(kind), errnum_(errnum), message_(std::move(message)) {}

  Kind kind_;
  int errnum_;
  std::string message_;
};

enum class ErrorKind { kIo, kMalformed, kUsage, kZoneFull, kCompression };

class Error {
 public:
  // Io without a path.
  static Error io(IoFailure failure);
  // Io carrying an owned copy of "path" (raw bytes, shown in display form).
  static Error io_at(std::string_view path, IoFailure failure);
  static Error malformed(std::string message);
  static Error usage(std::string message);
  // "need": bytes the rendered headers take; "have": the zone's size.
  static Error zone_full(uint64_t need, uint64_t have);
  static Error compression(std::string message);
  // Io "Allocation error : not enough memory" (libzstd's own words for it):
  // what every operation of the library returns when memory runs out.
  static Error out_of_memory();

  ErrorKind kind() const { return kind_; }
  bool is_io() const { return kind_ == ErrorKind::kIo; }

  // Io only.
  const std::optional<std::string>& path() const { return path_; }
  const IoFailure& io_failure() const { return io_; }
  // Malformed, Usage and Compression.
  const std::string& message() const { return message_; }
  // ZoneFull only.
  uint64_t need() const { return need_; }
  uint64_t have() const { return have_; }

  // Writes the display text into "*sink" (appending); no other effect.
  void fmt(std::string* sink) const;
  // The display text: the whole message a caller ever sees.
  std::string to_string() const;

  // Returns this error with "path" attached when it is an Io error that
  // carries no path yet; any other error comes back unchanged.
  Error with_path(std::string_view path) &&;

 private:
  explicit Error(ErrorKind kind) : kind_(kind), io_(IoFailure::os(0)) {}

  ErrorKind kind_;
  std::optional<std::string> path_;
  IoFailure io_;
  std::string message_;
  uint64_t need_ = 0;
  uint64_t have_ = 0;
};

// Returns a mapper (Error -> Error) that attaches an owned copy of "path" to
// an Io error, for use with Result::map_error:
//
//   TARVEL_TRY_ASSIGN(auto file, env.open(path, OpenMode::kRead).map_error(io_at(path)));
inline auto io_at(std::string_view path) {
  return [p = std::string(path)](Error e) { return std::move(e).with_path(p); };
}

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_ERROR_H_
