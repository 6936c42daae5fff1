#include "container/validate.h"

#include <algorithm>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "container/container.h"
#include "container/error.h"
#include "container/frames.h"
#include "container/hash.h"
#include "container/internal/codec.h"
#include "container/internal/journal.h"
#include "container/internal/retry.h"
#include "container/internal/text.h"
#include "container/internal/tool_access.h"
#include "container/internal/writer_lock.h"
#include "container/schema.h"

namespace tarvel {

namespace {

// Collects problems up to MAX_PROBLEMS; later ones are dropped while the
// check goes on.
class Problems {
 public:
  void add(std::string text) {
    if (list_.size() < MAX_PROBLEMS) list_.push_back(std::move(text));
  }
  void add_all(Problems&& other) {
    for (std::string& text : other.list_) add(std::move(text));
  }
  std::vector<std::string> take() && { return std::move(list_); }

 private:
  std::vector<std::string> list_;
};

// Cuts bytes that arrive in pieces into whole records, counts them and
// hands each to the checker, whose messages (behind "prefix") go to
// "*messages". A record cut by the end of a piece is carried over and
// completed by the next one, so only one record is ever held. Without a
// checker, fixed-size records are only counted and nothing is held.
class RecordStream {
 public:
  RecordStream(const RecordLayout& layout, const RecordChecker* checker, std::string prefix,
               Problems* messages)
      : layout_(layout), checker_(checker), prefix_(std::move(prefix)), messages_(messages) {}

  void add(std::string_view piece) {
    seen_ = sat_add(seen_, piece.size());
    if (count_only()) return;
    while (!carry_.empty() && !piece.empty()) {
      const size_t take = std::min(RecordCursor(carry_, layout_).missing(), piece.size());
      carry_.append(piece.substr(0, take));
      piece.remove_prefix(take);
      if (const std::optional<std::string_view> record = RecordCursor(carry_, layout_).next()) {
        emit(*record);
        carry_.clear();
      }
    }
    if (piece.empty()) return;
    RecordCursor cursor(piece, layout_);
    while (const std::optional<std::string_view> record = cursor.next()) emit(*record);
    carry_.assign(piece.substr(cursor.pos()));
  }

  uint64_t records() const {
    if (!count_only()) return records_;
    return layout_.size == 0 ? 0 : seen_ / layout_.size;
  }
  // Bytes after the last whole record.
  uint64_t torn() const {
    if (!count_only()) return carry_.size();
    return layout_.size == 0 ? seen_ : seen_ % layout_.size;
  }

 private:
  bool count_only() const {
    return layout_.is_fixed() && (checker_ == nullptr || layout_.size == 0);
  }
  void emit(std::string_view record) {
    records_ = sat_add(records_, 1);
    if (checker_ == nullptr) return;
    std::optional<std::string> message = (*checker_)(record);
    if (message) messages_->add(prefix_ + *message);
  }

  const RecordLayout& layout_;
  const RecordChecker* checker_;
  const std::string prefix_;
  Problems* messages_;
  std::string carry_;
  uint64_t records_ = 0;
  uint64_t seen_ = 0;
};

// Reads the "len" bytes at "start" through "window", one window at a time,
// and hands each piece to "use" with whether it is the last; "use" returns
// false when it needs no more.
template <class Use>
Status read_pieces(File& file, uint64_t start, uint64_t len, std::string& window, Use&& use) {
  TARVEL_TRY(file.seek(start));
  uint64_t left = len;
  while (left > 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(left, window.size()));
    TARVEL_TRY(read_exact(file, window.data(), n));
    left -= n;
    if (!use(std::string_view(window.data(), n), left == 0)) break;
  }
  return {};
}

// Checks one entry of the frames list and returns the whole records of its
// body, or nothing when the body could not be had. Problems come in this
// order: the checksum, then the body's decoding, torn bytes and the
// checker's messages.
std::optional<uint64_t> check_frame(File& raw, const Container& container, const Frame& frame,
                                    const RecordChecker* checker, std::string& window,
                                    FrameDecoder& kept_decoder, Problems* problems) {
  const std::string prefix = "frame " + std::to_string(frame.id) + ": ";
  // The bounds of a frame body read, with its messages.
  if (Status fit = check_frames_fit({&frame, 1}, container.data_start(), container.file_len());
      !fit) {
    problems->add(prefix + fit.error().to_string());
    return std::nullopt;
  }
  Xxh64Stream hash;
  Problems checked;
  RecordStream body(container.schema().layout, checker, prefix, &checked);
  FrameDecoder* decoder = nullptr;
  std::optional<Error> body_error;
  bool first = true;
  bool body_done = false;
  const auto sink = [&body](std::string_view decoded) { body.add(decoded); };
  Status read = read_pieces(
      raw, container.data_start() + frame.offset, frame.len, window,
      [&](std::string_view piece, bool last) {
        if (frame.hash != 0) hash.update(piece);
        // A frame stored at level 0 is raw records; one that begins with
        // the zstd magic is decoded. The first piece holds the first four
        // bytes whenever the frame has them.
        if (first && has_zstd_magic(piece)) {
          decoder = &kept_decoder;
          decoder->reset();
        }
        first = false;
        if (!body_done && !body_error) {
          if (decoder == nullptr) {
            body.add(piece);
          } else if (Result<bool> fed = decoder->feed(piece, last, sink); !fed) {
            body_error = std::move(fed).error();
          } else {
            body_done = *fed;
          }
        }
        // Bytes after the end of a zstd frame still count for the checksum.
        return frame.hash != 0 || !(body_done || body_error);
      });
  if (!read) {
    problems->add(prefix + read.error().to_string());
    return std::nullopt;
  }
  if (frame.hash != 0 && hash.digest() != frame.hash) {
    problems->add(prefix + "checksum mismatch, _frames says " + hex16(frame.hash) +
                  ", the bytes hash to " + hex16(hash.digest()));
  }
  if (body_error) {
    problems->add(prefix + body_error->to_string());
    return std::nullopt;
  }
  if (body.torn() != 0) problems->add(prefix + std::to_string(body.torn()) + " torn bytes");
  problems->add_all(std::move(checked));
  return body.records();
}

// Listed frames that share bytes of the data section: each frame that
// begins inside one listed before it in file order, named with the frame
// that reaches furthest there. Frames of length 0 hold no bytes.
void check_overlaps(const std::vector<Frame>& frames, Problems* problems) {
  std::vector<size_t> order;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (frames[i].len != 0) order.push_back(i);
  }
  std::stable_sort(order.begin(), order.end(),
                   [&frames](size_t a, size_t b) { return frames[a].offset < frames[b].offset; });
  const auto end_of = [](const Frame& f) { return sat_add(f.offset, f.len); };
  const Frame* reach = nullptr;  // of the frames so far, the one that ends furthest
  for (size_t i : order) {
    const Frame& f = frames[i];
    if (reach != nullptr && f.offset < end_of(*reach)) {
      problems->add("frame " + std::to_string(f.id) + ": overlaps frame " +
                    std::to_string(reach->id) + " (data-section bytes " +
                    std::to_string(f.offset) + " to " +
                    std::to_string(std::min(end_of(f), end_of(*reach))) + ")");
    }
    if (reach == nullptr || end_of(f) > end_of(*reach)) reach = &f;
  }
}

// One check; "*settled" is false when a writer moved the file on while the
// tail was read, and the report is then to be thrown away.
Result<ValidateReport> check_file(const std::string& path, const RecordChecker* checker,
                                  Env& env, bool* settled) {
  // A file cut short opens too; its frames that run past the end are
  // problems like any other.
  TARVEL_TRY_ASSIGN(Container container, ToolAccess::open_cut(path, false, env));
  // Frames and the tail are read in pieces through a second read-only
  // handle: the Container hands out only whole bodies.
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> raw,
                    env.open(path, OpenMode::kRead).map_error(io_at(path)));

  Problems problems;
  ValidateReport report;

  const std::string* stored_hash = container.headers().get("_schema_hash");
  std::string computed_hash = container.schema().hash_hex();
  std::string stored = stored_hash != nullptr ? *stored_hash : std::string();
  if (stored != computed_hash) {
    problems.add("_schema_hash is " + stored + ", the fields hash to " + computed_hash);
  }

  std::string window(VALIDATE_WINDOW, '\0');
  // One decoder, reset for each zstd frame, keeps its libzstd context and
  // its output buffer for the whole check.
  FrameDecoder decoder;
  uint64_t frame_records = 0;
  for (const Frame& frame : container.frames()) {
    report.frames = sat_add(report.frames, 1);
    std::optional<uint64_t> records;
    try {
      records = check_frame(*raw, container, frame, checker, window, decoder, &problems);
    } catch (const std::bad_alloc&) {
      // One record too large to hold for the checker.
      problems.add("frame " + std::to_string(frame.id) + ": " +
                   Error::out_of_memory().to_string());
    }
    if (!records) continue;
    frame_records = sat_add(frame_records, *records);
    report.records = sat_add(report.records, *records);
  }

  check_overlaps(container.frames(), &problems);

  // The tail's torn bytes are no problem: a crash leaves them, and the next
  // open_append cuts them off.
  const uint64_t tail_start = container.tail_start();
  const uint64_t tail_len = container.file_len() > tail_start ? container.file_len() - tail_start : 0;
  Problems checked;
  RecordStream tail(container.schema().layout, checker, "tail: ", &checked);
  Status read = read_pieces(*raw, tail_start, tail_len, window, [&tail](std::string_view piece, bool) {
    tail.add(piece);
    return true;
  });
  // The frames this view lists never change, but a writer beside us may
  // have closed the tail into a frame while it was read: what was read
  // counts only if the file still holds this view. A check that cannot be
  // made is a failed read of the tail.
  if (Result<bool> same = ToolAccess::unchanged(container); !same) {
    read = std::move(same).error();
  } else if (!*same) {
    *settled = false;
    return ValidateReport();
  }
  if (!read) {
    problems.add("tail: " + read.error().to_string());
  } else {
    report.records = sat_add(report.records, tail.records());
    problems.add_all(std::move(checked));
  }

  uint64_t listed = container.headers().counter("_records");
  if (listed != frame_records) {
    problems.add("_records says " + std::to_string(listed) + ", the frames hold " +
                 std::to_string(frame_records));
  }

  report.problems = std::move(problems).take();
  return report;
}

}  // namespace

Result<ValidateReport> validate(const std::string& path, const RecordChecker* checker,
                                Env& env) {
  try {
    // A live writer's journal is its own: the check then reads the file as
    // it finds it.
    TARVEL_TRY(replay_unless_writer(env, path));
    // A check whose tail a writer closed into a frame meanwhile is made
    // again at once, 5 checks in all at most.
    constexpr Backoff kCheckRetry{5, 0, 0};
    ValidateReport report;
    TARVEL_TRY_ASSIGN(const bool done, retry(env, kCheckRetry, [&]() -> Result<Look> {
      bool settled = true;
      TARVEL_TRY_ASSIGN(report, check_file(path, checker, env, &settled));
      return settled ? Look::kDone : Look::kAtOnce;
    }));
    if (!done) return changed_while_read(path);
    return report;
  } catch (const std::bad_alloc&) {
    return Error::out_of_memory();
  }
}

}  // namespace tarvel
