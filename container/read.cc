// Reading closed frames and the whole records of the raw tail. Nothing here
// changes the file, the headers, the buffer or a counter.
#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "container/container.h"
#include "container/hash.h"
#include "container/internal/codec.h"
#include "container/internal/retry.h"
#include "container/internal/text.h"
#include "container/internal/workspace.h"
#include "container/internal/writer_lock.h"

namespace tarvel {

Result<std::string> Container::read_frame(uint64_t frame_id) try {
  TARVEL_TRY_ASSIGN(std::string_view body, read_frame_view(frame_id));
  return std::string(body);
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<std::string> Container::read_frame_at(uint64_t index) try {
  TARVEL_TRY_ASSIGN(std::string_view body, read_frame_at_view(index));
  return std::string(body);
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<std::string> Container::read_frame_body(const Frame& frame) try {
  TARVEL_TRY_ASSIGN(std::string_view body, read_frame_body_view(frame));
  return std::string(body);
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<std::string_view> Container::read_frame_view(uint64_t frame_id) {
  TARVEL_TRY(check_process());
  Workspace& w = work();
  // Ids may repeat; the first entry wins. The index covers a prefix of the
  // list, which only ever grows at its end (or is replaced, which resets
  // the index); an entry that no longer matches means it was replaced
  // behind the index's back, and it is rebuilt.
  auto found = w.first_position.find(frame_id);
  if (found != w.first_position.end() &&
      (found->second >= frames_.size() || frames_[found->second].id != frame_id)) {
    w.first_position.clear();
    w.indexed = 0;
  }
  if (w.indexed > frames_.size()) {
    w.first_position.clear();
    w.indexed = 0;
  }
  for (; w.indexed < frames_.size(); ++w.indexed) {
    w.first_position.try_emplace(frames_[w.indexed].id, w.indexed);
  }
  found = w.first_position.find(frame_id);
  if (found == w.first_position.end()) {
    return Error::usage("no frame " + std::to_string(frame_id));
  }
  return read_frame_body_view(frames_[found->second]);
}

Result<std::string_view> Container::read_frame_at_view(uint64_t index) {
  TARVEL_TRY(check_process());
  if (index >= frames_.size()) {
    return Error::usage("no frame at position " + std::to_string(index));
  }
  return read_frame_body_view(frames_[index]);
}

Result<std::string_view> Container::read_frame_body_view(const Frame& frame) {
  TARVEL_TRY(check_process());
  // The fit is checked against what this Container knows of the file, with
  // the same messages as the check at open.
  return read_body(frame, file_len_);
}

Result<std::string_view> Container::read_body(const Frame& frame, uint64_t file_len) {
  TARVEL_TRY(check_frames_fit({&frame, 1}, data_start_, file_len));
  Workspace& w = work();
  TARVEL_TRY(file_->seek(data_start_ + frame.offset));
  // The kept buffer only grows; it is not cleared, every byte of the
  // frame being read into it before it is used.
  if (w.stored.size() < frame.len) w.stored.resize(frame.len);
  TARVEL_TRY(read_exact(*file_, w.stored.data(), frame.len));
  const std::string_view stored(w.stored.data(), frame.len);
  // A level-0 frame is stored raw; anything that looks like a zstd frame is
  // decoded as one, and zstd checks its own content checksum.
  if (!has_zstd_magic(stored)) {
    // Raw bytes carry no checksum of their own, so the one that _frames
    // lists for them is checked before they are handed out as records.
    if (frame.hash != 0) {
      if (const uint64_t got = xxh64(stored); got != frame.hash) {
        return Error::malformed("frame " + std::to_string(frame.id) + " at offset " +
                                std::to_string(frame.offset) +
                                ": checksum mismatch, _frames says " + hex16(frame.hash) +
                                ", the bytes hash to " + hex16(got));
      }
    }
    return stored;
  }
  return w.decoder.decode(stored, &w.body);
}

Result<std::string> Container::read_tail() try {
  TARVEL_TRY(check_process());
  if (!writable_) return read_snapshot_tail();
  const uint64_t start = tail_start();
  if (file_len_ <= start) return std::string();
  TARVEL_TRY_ASSIGN(std::string tail, read_exact_at(*file_, start, file_len_ - start));
  tail.resize(whole_records_len(tail, schema_.layout));
  return tail;
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<std::string> Container::read_snapshot_tail() {
  const uint64_t start = tail_start();
  bool looked_again = false;
  std::string records;
  TARVEL_TRY_ASSIGN(const bool done, retry(*env_, VIEW_RETRY, [&]() -> Result<Look> {
    // The tail as far as the length at the open; a shorter file with the
    // same view was cut of a torn record.
    TARVEL_TRY_ASSIGN(uint64_t now, file_->length());
    if (file_len_ <= start && now >= start) {
      records.clear();
      return Look::kDone;
    }
    const uint64_t end = std::min(file_len_, now);
    Result<std::string> tail = end > start ? read_exact_at(*file_, start, end - start)
                                           : Result<std::string>(std::string());
    // What was read counts only if the file still holds the view it was
    // read under.
    TARVEL_TRY_ASSIGN(ViewCheck seen, check_view());
    if (seen == ViewCheck::kChanged) {
      TARVEL_TRY_ASSIGN(TailNow found, find_tail(start, &records));
      if (found == TailNow::kClosed) return Look::kDone;
      if (found == TailNow::kGone) {
        // A zone read just as a new splice began may have been caught
        // mid-write: it is looked at once more before the view counts as
        // gone.
        if (looked_again) return changed_while_read(path_);
        looked_again = true;
        return Look::kAfterAWait;
      }
      // A header rewrite left the tail alone.
    } else if (seen == ViewCheck::kInFlight) {
      return Look::kAfterAWait;
    }
    // A file cut below its listed frames has lost records that a reader of
    // the tail cannot tell from none.
    if (now < start) TARVEL_TRY(check_frames_fit(frames_, data_start_, now));
    if (!tail) return std::move(tail).error();
    tail->resize(whole_records_len(*tail, schema_.layout));
    records = std::move(*tail);
    return Look::kDone;
  }));
  if (!done) return changed_while_read(path_);
  return records;
}

Result<Container::TailNow> Container::find_tail(uint64_t start, std::string* records) {
  // Read-only Containers never render a zone: the close's zone buffer is
  // free to hold the zone.
  Workspace& w = work();
  w.zone.resize(preamble_.header_area);
  Status read = file_->seek(PREAMBLE_LEN);
  if (read) read = read_exact(*file_, w.zone.data(), w.zone.size());
  if (!read) {
    if (is_fill_buffer(read.error())) return TailNow::kGone;
    return std::move(read).error();
  }
  const std::optional<std::vector<Frame>> listed = zone_frames(w.zone);
  if (!listed || listed->size() < frames_.size() ||
      !std::equal(frames_.begin(), frames_.end(), listed->begin())) {
    return TailNow::kGone;
  }
  if (listed->size() == frames_.size()) return TailNow::kUntouched;
  // Frames never move, so the one listed next that begins where the tail
  // began is the frame its close made, and its decoded content begins with
  // the tail.
  const Frame& next = (*listed)[frames_.size()];
  if (next.offset != start - data_start_) return TailNow::kGone;
  TARVEL_TRY_ASSIGN(uint64_t now, file_->length());
  Result<std::string_view> body = read_body(next, now);
  if (!body) {
    // A frame that does not fit, fails its checksum or does not decode is
    // not that frame; only errors of the file itself are passed on.
    const Error& e = body.error();
    if (e.is_io() && !is_fill_buffer(e)) return std::move(body).error();
    return TailNow::kGone;
  }
  // Decoded bytes are vouched for by zstd's checksum, raw ones only by the
  // listed one.
  if (next.hash == 0 && !has_zstd_magic(std::string_view(w.stored.data(), next.len))) {
    return TailNow::kGone;
  }
  // The bytes this reader read may be those the close wrote over the tail,
  // so the records come from the frame alone.
  const uint64_t len = file_len_ > start ? file_len_ - start : 0;
  if (body->size() < len) return TailNow::kGone;
  const std::string_view old_tail = body->substr(0, len);
  records->assign(old_tail.substr(0, whole_records_len(old_tail, schema_.layout)));
  return TailNow::kClosed;
}

}  // namespace tarvel
