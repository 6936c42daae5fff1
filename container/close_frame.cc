// Closing the raw tail into a frame through the seal journal, and sealing.
#include <optional>
#include <string>
#include <vector>

#include "container/codec.h"
#include "container/container.h"
#include "container/journal.h"
#include "container/preview.h"
#include "container/text.h"
#include "container/workspace.h"
#include "container/xxh64.h"

namespace tarvel {

namespace {

// The header list that the new frame's commit installs; every other header,
// user headers included, is carried over unchanged.
Result<Headers> closed_headers(Headers headers, const std::optional<std::string>& preview,
                               const std::vector<Frame>& frames, uint64_t records,
                               uint64_t bytes_raw, int32_t level) {
  if (preview) TRY(headers.set("_preview", *preview));
  TRY(headers.set("_frames", render_frames(frames)));
  TRY(headers.set("_records", std::to_string(records)));
  TRY(headers.set("_bytes_raw", std::to_string(bytes_raw)));
  TRY(headers.set("_compression_level", std::to_string(level)));
  TRY(headers.set("_compression", level == 0 ? "none" : "zstd"));
  return headers;
}

// Reads "n" bytes at "offset" into the kept "*buf", which only grows: its
// bytes are all overwritten before they are used, so they are not cleared.
Status read_kept(File& file, uint64_t offset, size_t n, std::string* buf) {
  TRY(file.seek(offset));
  if (buf->size() < n) buf->resize(n);
  return read_exact(file, buf->data(), n);
}

// A preview is made only while _preview is missing or empty.
std::optional<std::string> preview_if_missing(const Headers& headers, std::string_view tail,
                                              const Schema& schema) {
  const std::string* current = headers.get("_preview");
  if (current != nullptr && !current->empty()) return std::nullopt;
  return preview_text(tail, schema);
}

}  // namespace

// Until the commit (step 13) everything works on copies, so a failure leaves
// the Container as the buffer write left it. The journal is flushed, and its
// directory too, before the container is touched: from then on a crash is
// redone by the next open_append.
Status Container::close_frame(uint64_t frame_id, int32_t level) {
  TRY(check_writable());                                                   // 1
  if (!buffer_.empty()) TRY(write_buffer());                               // 2
  const uint64_t start = tail_start();                                     // 3
  if (file_len_ <= start) return {};                                       // 4
  Workspace& w = work();                                                   // 5
  TRY(read_kept(*file_, start, file_len_ - start, &w.tail));
  const std::string_view tail(w.tail.data(), file_len_ - start);
  std::optional<std::string> preview = preview_if_missing(headers_, tail, schema_);  // 6
  // The headers name the level the frame was actually stored at.
  TRY_ASSIGN(const int32_t stored_level, w.encoder.encode(tail, level, &w.frame));  // 7
  const std::string_view stored = w.frame;
  std::vector<Frame> frames = frames_;                                     // 8
  frames.push_back(Frame{frame_id, start - data_start_, stored.size(), xxh64(stored)});
  TRY_ASSIGN(Headers headers,                                              // 9
             closed_headers(headers_, preview, frames, records_, bytes_raw_, stored_level));
  TRY_ASSIGN(std::string zone, headers.render(preamble_.header_area));    // 10
  TRY(journal_write(start, zone, stored));                                 // 11
  TRY(splice_or_mark(start, zone, stored));                                // 12
  frames_ = std::move(frames);                                             // 13
  headers_ = std::move(headers);
  records_committed_ = records_;
  bytes_raw_committed_ = bytes_raw_;
  file_len_ = sat_add(start, stored.size());
  remove_journal(*env_, file_path_);                                       // 14
  return {};                                                               // 15
}

Status Container::journal_write(uint64_t start, std::string_view zone, std::string_view stored) {
  bool made = false;
  Status written = write_journal(*env_, file_path_, start, zone, stored, &made);
  // The container is untouched, but a journal left complete would cut off
  // every record appended after this failure when it is replayed. A file
  // that the open could not take over is not this close's to remove.
  if (!written && made) remove_journal(*env_, file_path_);
  return written;
}

Status Container::splice_or_mark(uint64_t start, std::string_view zone,
                                 std::string_view stored) {
  Status spliced = splice(*file_, start, zone, stored);
  // The file may hold any prefix of the splice; only a replay of the
  // journal, by a reopen with open_append, brings it back in order.
  if (!spliced) needs_recovery_ = true;
  return spliced;
}

Status Container::seal(uint64_t frame_id, int32_t level) {
  TRY(close_frame(frame_id, level));
  TRY(headers_.set("_sealed", "true"));
  return flush_headers();
}

}  // namespace tarvel
