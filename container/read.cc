// Reading closed frames and the whole records of the raw tail. Nothing here
// changes the file, the headers, the buffer or a counter.
#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "container/codec.h"
#include "container/container.h"
#include "container/text.h"
#include "container/workspace.h"
#include "container/writer_lock.h"
#include "container/xxh64.h"

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
  TARVEL_TRY(check_frames_fit(std::vector<Frame>{frame}, data_start_, file_len_));
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
  const uint64_t start = tail_start();
  if (file_len_ <= start) return std::string();
  if (!writable_) {
    // A writer may close the tail into a frame while it is read. What was
    // read counts only if the file still holds the view it was read under;
    // a shorter file with that same view was cut of a torn record.
    TARVEL_TRY_ASSIGN(uint64_t now, file_->length());
    const uint64_t end = std::min(file_len_, now);
    Result<std::string> tail = end > start ? read_exact_at(*file_, start, end - start)
                                           : Result<std::string>(std::string());
    TARVEL_TRY_ASSIGN(bool same, unchanged());
    if (!same) return changed_while_read(path_);
    if (!tail) return std::move(tail).error();
    tail->resize(tail->size() - split_records(*tail, schema_.layout).torn);
    return tail;
  }
  TARVEL_TRY_ASSIGN(std::string tail, read_exact_at(*file_, start, file_len_ - start));
  const uint64_t torn = split_records(tail, schema_.layout).torn;
  tail.resize(tail.size() - torn);
  return tail;
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

}  // namespace tarvel
