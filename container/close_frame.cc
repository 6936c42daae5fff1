// Closing the raw tail into a frame through the seal journal, and sealing.
#include <algorithm>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "container/container.h"
#include "container/hash.h"
#include "container/internal/codec.h"
#include "container/internal/journal.h"
#include "container/internal/preview.h"
#include "container/internal/text.h"
#include "container/internal/workspace.h"

namespace tarvel {

namespace {

// The header list that the new frame's commit installs; every other header,
// user headers included, is carried over unchanged.
Result<Headers> closed_headers(Headers headers, const std::optional<std::string>& preview,
                               std::string_view frames, uint64_t records,
                               uint64_t bytes_raw, int32_t level) {
  if (preview) TARVEL_TRY(headers.set("_preview", *preview));
  TARVEL_TRY(headers.set("_frames", frames));
  TARVEL_TRY(headers.set("_records", std::to_string(records)));
  TARVEL_TRY(headers.set("_bytes_raw", std::to_string(bytes_raw)));
  TARVEL_TRY(headers.set("_compression_level", std::to_string(level)));
  TARVEL_TRY(headers.set("_compression", level == 0 ? "none" : "zstd"));
  return headers;
}

// _frames for the frames list with one more entry. The rendering of the
// list is kept from close to close and grows by the new entry alone, so a
// close does not render every frame the file has ever had. Until commit()
// the entry is taken off again when this goes out of scope: a close that
// fails leaves the kept text matching the unchanged list.
class FramesText {
 public:
  FramesText(Workspace& w, const std::vector<Frame>& frames, const Frame& added) : w_(w) {
    // Rendered afresh when the kept text is not that of "frames": at the
    // first close, after the list was replaced, or when its last entry
    // does not match.
    if (w.frames_rendered != frames.size() ||
        (!frames.empty() && !std::string_view(w.frames_text).ends_with(render_frames({frames.back()})))) {
      w.frames_text = render_frames(frames);
      w.frames_rendered = frames.size();
    }
    kept_len_ = w.frames_text.size();
    if (!frames.empty()) w.frames_text.push_back(';');
    w.frames_text += render_frames({added});
  }
  ~FramesText() {
    if (!committed_) w_.frames_text.resize(kept_len_);
  }
  FramesText(const FramesText&) = delete;
  FramesText& operator=(const FramesText&) = delete;

  std::string_view text() const { return w_.frames_text; }
  void commit() {
    committed_ = true;
    ++w_.frames_rendered;
  }

 private:
  Workspace& w_;
  size_t kept_len_ = 0;
  bool committed_ = false;
};

// What one pass over the raw tail makes of it.
struct EncodedTail {
  int32_t level = 0;  // the level the stored bytes were made at
  uint64_t hash = 0;  // xxh64 of the stored bytes
  std::optional<std::string> preview;
};

// Reads the "len" bytes of the raw tail at "start" through the kept piece
// buffer, CLOSE_READ_CHUNK at a time, and hands each piece to the encoder,
// whose stored bytes go to the checksum as they come out, still in the
// cache. The preview, made only while _preview is missing or empty, is made
// from the first piece, or from the first pieces when the records it
// renders reach beyond it. The tail passes once, and one piece of it is
// held; the stored frame is in the encoder.
Result<EncodedTail> encode_tail(File& file, uint64_t start, uint64_t len, int32_t level,
                                const Headers& headers, const Schema& schema, Workspace& w) {
  EncodedTail out;
  const std::string* current = headers.get("_preview");
  const bool want_preview = current == nullptr || current->empty();
  const uint64_t span = std::min(len, preview_span(schema.layout));
  std::string head;  // the span's bytes, when the first piece does not hold them all
  Xxh64Stream hash;
  TARVEL_TRY(file.seek(start));
  for (uint64_t done = 0; done < len;) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len - done, CLOSE_READ_CHUNK));
    // The buffer only grows, to one piece at most: its bytes are all
    // overwritten before they are used, so they are not cleared.
    if (w.tail.size() < n) w.tail.resize(n);
    TARVEL_TRY(read_exact(file, w.tail.data(), n));
    const std::string_view piece(w.tail.data(), n);
    if (done == 0) {
      TARVEL_TRY_ASSIGN(out.level, w.encoder.begin(level, piece.substr(0, 4), len));
      if (want_preview && n >= span) out.preview = preview_text(piece.substr(0, span), schema);
    }
    if (want_preview && !out.preview) {
      head.append(piece.substr(0, static_cast<size_t>(std::min<uint64_t>(n, span - done))));
      if (head.size() == span) out.preview = preview_text(head, schema);
    }
    TARVEL_TRY_ASSIGN(const std::string_view added, w.encoder.add(piece));
    hash.update(added);
    done += n;
  }
  TARVEL_TRY_ASSIGN(const std::string_view added, w.encoder.finish());
  hash.update(added);
  out.hash = hash.digest();
  return out;
}

}  // namespace

// Until the commit of the new frame into the Container's state everything
// works on copies, so a failure leaves the Container as the buffer write
// left it. The journal is flushed, and its directory too, before the
// container is touched: from then on a crash is redone by the next
// open_append.
Status Container::close_frame(uint64_t frame_id, int32_t level) try {
  TARVEL_TRY(check_writable());
  // Refused before anything is written: a journal goes only where every
  // later open of this file finds it.
  TARVEL_TRY(check_name());
  // A frame takes the whole tail, and one that decodes to more than a frame
  // may hold could never be read: such a tail, which only an older writer
  // leaves, is refused before anything is read or written.
  if (const uint64_t tail = sat_add(file_len_, buffer_.size()); tail > tail_full_at_) {
    return Error::usage("the raw tail of " + quoted(path_) + " holds " +
                        std::to_string(tail - tail_start()) +
                        " bytes, more than one frame may hold (" +
                        std::to_string(MAX_FRAME_BODY) + "); it cannot be closed into a frame");
  }
  // This close's journal replaces the one a failed header rewrite kept.
  TARVEL_TRY(finish_pending_rewrite());
  // The buffered records join the raw tail, which becomes the frame; an
  // empty tail has nothing to close.
  if (!buffer_.empty()) TARVEL_TRY(write_buffer());
  const uint64_t start = tail_start();
  if (file_len_ <= start) return {};

  // Read the tail back and compress it.
  Workspace& w = work();
  TARVEL_TRY_ASSIGN(EncodedTail encoded, encode_tail(*file_, start, file_len_ - start, level,
                                                     headers_, schema_, w));
  const std::string_view stored = w.encoder.stored();

  // The new frames list entry and the header zone that names it.
  const Frame frame{frame_id, start - data_start_, stored.size(), encoded.hash};
  FramesText frames(w, frames_, frame);
  // Room for the new entry now, so that the commit cannot fail; it grows
  // by doubling, so that a close does not copy the whole list.
  if (frames_.size() == frames_.capacity()) {
    frames_.reserve(std::max<size_t>(8, 2 * frames_.size()));
  }
  // The headers name the level the frame was actually stored at.
  TARVEL_TRY_ASSIGN(
      Headers headers,
      closed_headers(headers_, encoded.preview, frames.text(), records_, bytes_raw_,
                     encoded.level));
  TARVEL_TRY(headers.render_into(preamble_.header_area, &w.zone));

  // Journal first, then the splice of zone and frame over the tail.
  TARVEL_TRY(journal_write(start, w.zone, stored));
  TARVEL_TRY(splice_or_mark(start, w.zone, stored));

  // Commit: nothing from here on can fail.
  frames_.push_back(frame);
  note_tail_start();
  frames.commit();
  headers_ = std::move(headers);
  records_committed_ = records_;
  bytes_raw_committed_ = bytes_raw_;
  file_len_ = sat_add(start, stored.size());
  // The file is whole again; the journal is no longer needed.
  drop_journal();
  return {};
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Status Container::journal_write(uint64_t start, std::string_view zone, std::string_view stored) {
  bool made = false;
  FileIdentity id;
  Status written =
      write_journal(*env_, file_path_, start, zone, stored, &made, &work().journal, &id);
  if (made) journal_id_ = id;
  // The container is untouched, but a journal left complete would cut off
  // every record appended after this failure when it is replayed. A file
  // that the open could not take over is not this close's to remove.
  if (!written && made) drop_journal();
  return written;
}

void Container::drop_journal() {
  // What the journal stood for is done, or was never begun on the file; a
  // journal that stays complete would harm only records written after it.
  // Only the journal file this Container wrote goes: after a rename of the
  // file, another file's journal may stand at that name.
  if (!journal_id_) return;
  try {
    journal_stuck_ = !discard_journal(*env_, file_path_, *journal_id_).ok();
  } catch (const std::bad_alloc&) {
    // Also from release, which may not throw: the journal stays, and so
    // must every record behind the end it names.
    journal_stuck_ = true;
  }
  if (!journal_stuck_) journal_id_.reset();
}

Status Container::splice_or_mark(uint64_t start, std::string_view zone,
                                 std::string_view stored) {
  Status spliced = splice(*file_, start, zone, stored);
  // The file may hold any prefix of the splice; only a replay of the
  // journal, by a reopen with open_append, brings it back in order.
  if (!spliced) needs_recovery_ = true;
  return spliced;
}

Status Container::seal(uint64_t frame_id, int32_t level) try {
  TARVEL_TRY(close_frame(frame_id, level));
  TARVEL_TRY(headers_.set("_sealed", "true"));
  return flush_headers();
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

}  // namespace tarvel
