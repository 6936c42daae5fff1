#include "container/rebuild.h"

#include <algorithm>
#include <memory>
#include <new>
#include <utility>

#include "container/container.h"
#include "container/error.h"
#include "container/format.h"
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

// What the scan derives from the data section.
struct Scan {
  std::vector<Frame> frames;
  uint64_t records = 0;
  uint64_t bytes_raw = 0;
  uint64_t end = 0;  // data-section offset where no zstd frame starts
  uint64_t data_len = 0;
  // The scan ended at a zstd frame that the end of the file cuts short.
  bool cut_frame_at_end = false;
};

// The data section read once from front to back through one kept window:
// the bytes that one frame leaves unread in it are where the next frame
// starts, so a file of many small frames is not read a window per frame.
class ScanWindow {
 public:
  ScanWindow(File& file, uint64_t data_start, uint64_t data_len)
      : file_(file), data_start_(data_start), data_len_(data_len) {}

  // The bytes from data-section offset "pos" on that the window holds, at
  // least "need" of them unless the data section (or the file) ends first;
  // the window is read anew from "pos" when it holds fewer.
  // REQUIRES: pos < the data section's length, 0 < need <= SCAN_WINDOW
  Result<std::string_view> at(uint64_t pos, size_t need) {
    if (pos < start_ || pos > start_ + len_ || start_ + len_ - pos < need) {
      if (!(pos == start_ + len_ && short_)) TARVEL_TRY(fill(pos));
    }
    const size_t skip = static_cast<size_t>(std::min<uint64_t>(pos - start_, len_));
    return std::string_view(buf_.data() + skip, len_ - skip);
  }

  // Whether no data follows data-section offset "end": the data section
  // ends there, or the file did when the window was read.
  bool ends_at(uint64_t end) const { return end >= data_len_ || (short_ && end == start_ + len_); }

 private:
  // Reads up to SCAN_WINDOW bytes at "pos" as read_at does: until the
  // window is full or a read returns nothing.
  Status fill(uint64_t pos) {
    const size_t want = static_cast<size_t>(std::min(data_len_ - pos, SCAN_WINDOW));
    if (buf_.size() < want) buf_.resize(want);
    start_ = pos;
    len_ = 0;
    short_ = false;
    TARVEL_TRY(file_.seek(sat_add(data_start_, pos)));
    while (len_ < want) {
      TARVEL_TRY_ASSIGN(size_t got, file_.read(buf_.data() + len_, want - len_));
      if (got == 0) {
        short_ = true;
        break;
      }
      len_ += got;
    }
    return {};
  }

  File& file_;
  const uint64_t data_start_;
  const uint64_t data_len_;
  std::string buf_;
  uint64_t start_ = 0;  // data-section offset of buf_[0]
  size_t len_ = 0;      // bytes of buf_ read
  bool short_ = false;  // the read stopped at the end of the file
};

// Whether the listed frame "f" runs past the end of the file: the file was
// cut short inside it or before it, and it is gone.
bool cut_off(const Frame& f, const Container& container) {
  return !frame_fits(f, container.data_start(), container.file_len());
}

const Frame* cut_off_at(const Container& container, uint64_t offset) {
  for (const Frame& f : container.frames()) {
    if (f.offset == offset && cut_off(f, container)) return &f;
  }
  return nullptr;
}

// Whether "bytes" (up to 4 of them) are where a zstd frame begins: its
// magic, or as much of it as the file still holds.
bool begins_like_zstd(std::string_view bytes) {
  return !bytes.empty() && ZSTD_MAGIC.starts_with(bytes);
}

// The listed frames by their offsets, so that each found frame finds where
// it is listed without a walk of the whole list: a file of many frames
// would otherwise take time that grows with their square.
class ListedByOffset {
 public:
  explicit ListedByOffset(const std::vector<Frame>& listed) : listed_(listed) {
    order_.resize(listed.size());
    for (size_t i = 0; i < order_.size(); ++i) order_[i] = i;
    // Stable: the entries of one offset stay in list order.
    std::stable_sort(order_.begin(), order_.end(),
                     [&](size_t a, size_t b) { return listed[a].offset < listed[b].offset; });
  }

  // The listed frame that starts at data-section offset "offset", the first
  // in list order of length "len" or else the first of any length; null
  // when none starts there.
  const Frame* at(uint64_t offset, uint64_t len) const {
    auto first = std::lower_bound(order_.begin(), order_.end(), offset,
                                  [&](size_t i, uint64_t o) { return listed_[i].offset < o; });
    const Frame* found = nullptr;
    for (auto it = first; it != order_.end() && listed_[*it].offset == offset; ++it) {
      const Frame& f = listed_[*it];
      if (f.len == len) return &f;
      if (found == nullptr) found = &f;
    }
    return found;
  }

 private:
  const std::vector<Frame>& listed_;
  std::vector<size_t> order_;
};

// Decodes the zstd frame at data-section offset "pos" into "*body" as the
// window holds it, with decode_frame_at's content, length and errors (the
// decoder gives the same for any cut of its input into pieces). Returns the
// bytes the frame occupies; "*hash" gets their xxh64, taken from the same
// bytes as they pass.
Result<uint64_t> decode_in_window(ScanWindow& window, FrameDecoder& decoder, uint64_t pos,
                                  std::string* body, uint64_t* hash) {
  decoder.reset();
  body->clear();
  Xxh64Stream stream;
  for (uint64_t at = pos;;) {
    TARVEL_TRY_ASSIGN(std::string_view piece, window.at(at, 1));
    const bool last = window.ends_at(at + piece.size());
    TARVEL_TRY_ASSIGN(bool done, decoder.feed(piece, last, body));
    if (done) {
      stream.update(piece.substr(0, static_cast<size_t>(decoder.consumed() - (at - pos))));
      *hash = stream.digest();
      return decoder.consumed();
    }
    stream.update(piece);
    at += piece.size();
  }
}

Result<Scan> scan_frames(File& raw, const Container& container) {
  const uint64_t data_start = container.data_start();
  const uint64_t data_len =
      container.file_len() > data_start ? container.file_len() - data_start : 0;
  const std::vector<Frame>& listed = container.frames();
  uint64_t fresh_id = 0;
  for (const Frame& f : listed) fresh_id = std::max(fresh_id, sat_add(f.id, 1));

  // One window, one decoder and one body buffer serve every frame.
  const ListedByOffset by_offset(listed);
  ScanWindow window(raw, data_start, data_len);
  FrameDecoder decoder;
  std::string body;
  Scan scan;
  scan.data_len = data_len;
  uint64_t pos = 0;
  while (pos < data_len) {
    TARVEL_TRY_ASSIGN(std::string_view probe, window.at(pos, 4));
    const std::string_view head = probe.substr(0, 4);
    if (head.size() < 4 || !has_zstd_magic(head)) {
      scan.cut_frame_at_end =
          begins_like_zstd(head) && cut_off_at(container, pos) != nullptr;
      break;
    }
    uint64_t hash = 0;
    Result<uint64_t> decoded = decode_in_window(window, decoder, pos, &body, &hash);
    if (!decoded) {
      // A listed frame that the end of the file cuts short does not decode:
      // the scan ends at its start. Any other frame that does not decode
      // fails the rebuild.
      if (decoded.error().kind() == ErrorKind::kIo || cut_off_at(container, pos) == nullptr) {
        return std::move(decoded).error();
      }
      scan.cut_frame_at_end = true;
      break;
    }
    const uint64_t consumed = *decoded;
    RecordCursor whole(body, container.schema().layout);
    const uint64_t records = whole.skip_all();
    if (whole.left() != 0) {
      return Error::malformed("frame at offset " + std::to_string(pos) + ": " +
                              std::to_string(whole.left()) + " torn bytes inside a closed frame");
    }
    scan.records = sat_add(scan.records, records);
    scan.bytes_raw = sat_add(scan.bytes_raw, body.size());
    // A found frame where a listed frame starts keeps that frame's id (one
    // of the same length first), whatever the order of the list. Elsewhere
    // found frames take the listed ids by position, and frames beyond the
    // list fresh ids above every listed one.
    uint64_t id;
    if (const Frame* at = by_offset.at(pos, consumed)) {
      id = at->id;
    } else if (scan.frames.size() < listed.size()) {
      id = listed[scan.frames.size()].id;
    } else {
      id = fresh_id;
      fresh_id = sat_add(fresh_id, 1);
    }
    scan.frames.push_back(Frame{id, pos, consumed, hash});
    pos = sat_add(pos, consumed);
  }
  scan.end = pos;
  return scan;
}

// A listed frame that starts at or past the scan's end: written back, the
// derived list would drop it from _frames, and with it every record it
// holds. A listed frame that starts inside the scanned frames is only
// listed with the wrong bounds, which is what a fix repairs. A frame that
// the end of the file cuts short is gone already; only one that starts
// right where the scan ended may be dropped, since whatever lies between
// the scan's end and it would otherwise become the raw tail.
const Frame* first_unscanned(const Container& container, const Scan& scan) {
  for (const Frame& f : container.frames()) {
    if (f.offset < scan.end) continue;
    if (!cut_off(f, container) || (f.offset > scan.end && f.offset < scan.data_len)) {
      return &f;
    }
  }
  return nullptr;
}

// " (cut off by the end of the file: frame 3 at offset 96 ends at 4300 but
// the file is 4250 bytes, ...)" for the listed frames that run past the end
// of the file; empty when there are none.
std::string cut_off_note(const Container& container) {
  std::string note;
  for (const Frame& f : container.frames()) {
    if (!cut_off(f, container)) continue;
    note += note.empty() ? " (cut off by the end of the file: " : ", ";
    const uint64_t end = frame_end(f, container.data_start()).value_or(UINT64_MAX);
    note += "frame " + std::to_string(f.id) + " at offset " + std::to_string(f.offset) +
            " ends at " + std::to_string(end) + " but the file is " +
            std::to_string(container.file_len()) + " bytes";
  }
  return note.empty() ? note : note + ")";
}

// Why the scan ended at "scan.end", for the refusal of a fix.
std::string scan_end_cause(const std::vector<Frame>& listed, const Scan& scan) {
  if (scan.end >= scan.data_len) return "the data section ends there";
  if (scan.cut_frame_at_end) return "a frame that the end of the file cuts short ends the scan";
  for (const Frame& f : listed) {
    if (f.offset == scan.end && f.len != 0) return "a frame stored at level 0 ends the scan";
  }
  return "no listed frame starts there: the bytes between the frames are not a zstd frame";
}

std::string stored_counter(const Headers& headers, std::string_view key) {
  const std::string* value = headers.get(key);
  return value != nullptr ? *value : std::string("0");
}

// One rebuild over "container", opened writable for a fix.
Result<RebuildReport> rebuild_once(const std::string& path, Container& container, bool fix,
                                   Env& env) {
  // The scan needs the data section's raw bytes, which the Container only
  // hands out as frame bodies, so they are read through a second handle.
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> raw,
                    env.open(path, OpenMode::kRead).map_error(io_at(path)));
  TARVEL_TRY_ASSIGN(Scan scan, scan_frames(*raw, container));

  const Headers& headers = container.headers();
  RebuildReport report;
  // Two lists render alike exactly when they are equal, so the texts are
  // made only for a difference to show (or to write).
  if (container.frames() != scan.frames) {
    report.differences.push_back("_frames: " + tarvel::quoted(render_frames(container.frames())) +
                                 " -> " + tarvel::quoted(render_frames(scan.frames)) +
                                 cut_off_note(container));
  }
  std::string stored_records = stored_counter(headers, "_records");
  if (stored_records != std::to_string(scan.records)) {
    report.differences.push_back("_records: " + stored_records + " -> " +
                                 std::to_string(scan.records));
  }
  std::string stored_bytes = stored_counter(headers, "_bytes_raw");
  if (stored_bytes != std::to_string(scan.bytes_raw)) {
    report.differences.push_back("_bytes_raw: " + stored_bytes + " -> " +
                                 std::to_string(scan.bytes_raw));
  }

  if (fix && !report.differences.empty()) {
    // The scan stops where no zstd frame starts: at a frame stored at level
    // 0 (raw bytes carry no mark), in a gap of the list, at the end of the
    // data. Rather than write a list that forgets the frames from there on,
    // the fix refuses the file and leaves it exactly as it is.
    if (const Frame* lost = first_unscanned(container, scan)) {
      return Error::usage("cannot fix the counting headers: frame " + std::to_string(lost->id) +
                          " at offset " + std::to_string(lost->offset) +
                          " lies beyond the end of the frame scan at offset " +
                          std::to_string(scan.end) + " (" +
                          scan_end_cause(container.frames(), scan) + "); nothing was written");
    }
    // Once the list no longer holds the frame that the end of the file
    // cuts short, its remains would be read as the raw tail. Those of a
    // zstd frame are no records and are cut off first, so that a crash
    // before the zone is written leaves a file this fix still repairs. Those
    // of a frame stored at level 0 are its first records and stay, as the
    // raw tail.
    if (scan.cut_frame_at_end) {
      TARVEL_TRY(ToolAccess::cut_to(container, sat_add(container.data_start(), scan.end)));
    }
    ToolAccess::replace_counts(container, scan.frames, scan.records, scan.bytes_raw);
    TARVEL_TRY(ToolAccess::mutable_headers(container).set("_frames", render_frames(scan.frames)));
    TARVEL_TRY(container.flush_headers());
    report.fixed = true;
  }
  return report;
}

}  // namespace

Result<RebuildReport> rebuild_headers(const std::string& path, bool fix, Env& env) try {
  if (fix) {
    // The fix writes the zone: it holds the writer's lock throughout.
    std::string file_path;
    TARVEL_TRY_ASSIGN(std::unique_ptr<File> held,
                      open_writer(env, path, OpenMode::kRead, &file_path));
    // A file cut short opens too: its frames that are still whole are found.
    TARVEL_TRY_ASSIGN(Container container, ToolAccess::open_cut(path, true, env));
    return rebuild_once(path, container, true, env);
  }
  // A live writer's journal is its own: the report then reads the file as
  // it finds it.
  TARVEL_TRY(replay_unless_writer(env, path));
  // A report made while a writer closes frames beside it may describe no one
  // state of the file; it is made again at once, 5 reports in all at most.
  constexpr Backoff kReportRetry{5, 0, 0};
  Result<RebuildReport> report = RebuildReport();
  TARVEL_TRY_ASSIGN(const bool done, retry(env, kReportRetry, [&]() -> Result<Look> {
    TARVEL_TRY_ASSIGN(Container container, ToolAccess::open_cut(path, false, env));
    report = rebuild_once(path, container, false, env);
    // A scan that met a frame still being written fails or reports
    // differences that no state of the file has; either way it is made again.
    TARVEL_TRY_ASSIGN(bool settled, ToolAccess::unchanged(container));
    return settled ? Look::kDone : Look::kAtOnce;
  }));
  if (!done) return changed_while_read(path);
  return report;
} catch (const std::bad_alloc&) {
  // A damaged file may make any allocation fail; that is an error value
  // like any other.
  return Error::out_of_memory();
}

}  // namespace tarvel
