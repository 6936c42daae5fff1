// Appending records through the write-behind buffer, and the header
// rewrites that make the zone durable.
#include <new>
#include <string>

#include "container/container.h"
#include "container/format.h"
#include "container/internal/codec.h"
#include "container/internal/coding.h"
#include "container/internal/journal.h"
#include "container/internal/text.h"

namespace tarvel {

// The common case takes one test and one copy: a writable Container of this
// process, a body the layout accepts, room for it in the buffer, the buffer
// staying within its limit and the raw tail within what one frame may hold.
// Anything else goes the whole way, append_checked, whose checks make and
// return error values and whose code would otherwise burden every append's
// frame.
Status Container::append_record(std::string_view body) {
  const size_t n = body.size();
  const RecordLayout& layout = schema_.layout;
  const size_t prefix = layout.is_fixed() ? 0 : RECORD_PREFIX_LEN;
  if (writable_ && !needs_recovery_ && !journal_stuck_ && forks_ == fork_generation() &&
      (layout.is_fixed() ? n == layout.size : n <= MAX_PREFIXED_BODY) &&
      prefix + n <= buffer_.capacity() - buffer_.size() &&
      buffer_.size() + prefix + n <= WRITE_BEHIND_LIMIT &&
      file_len_ <= tail_full_at_ &&
      buffer_.size() + prefix + n <= tail_full_at_ - file_len_) [[likely]] {
    char* at = buffer_.end();
    if (prefix != 0) store_le16(at, static_cast<uint16_t>(n));
    copy_bytes(at + prefix, body.data(), n);
    buffer_.commit(prefix + n);
    bytes_raw_ = sat_add(bytes_raw_, prefix + n);
    records_ = sat_add(records_, 1);
    return {};
  }
  return append_checked(body);
}

Status Container::append_checked(std::string_view body) try {
  TARVEL_TRY(check_writable());
  TARVEL_TRY(check_journal_gone());
  const size_t n = body.size();
  if (schema_.layout.is_fixed()) {
    if (n != schema_.layout.size) {
      return Error::usage("record is " + std::to_string(n) + " bytes, the schema says " +
                          std::to_string(schema_.layout.size));
    }
    TARVEL_TRY(check_tail_room(body.size()));
    buffer_.append(body);
    bytes_raw_ = sat_add(bytes_raw_, n);
  } else {
    if (n > MAX_PREFIXED_BODY) {
      return Error::usage("record of " + std::to_string(n) + " bytes overflows the u16 prefix");
    }
    TARVEL_TRY(check_tail_room(RECORD_PREFIX_LEN + n));
    char prefix[RECORD_PREFIX_LEN];
    store_le16(prefix, static_cast<uint16_t>(n));
    // Room for prefix and body first: a buffer that ran out of memory
    // between the two would hold a prefix without its record.
    buffer_.reserve_more(RECORD_PREFIX_LEN + n);
    buffer_.append(std::string_view(prefix, RECORD_PREFIX_LEN));
    buffer_.append(body);
    bytes_raw_ = sat_add(sat_add(bytes_raw_, n), RECORD_PREFIX_LEN);
  }
  records_ = sat_add(records_, 1);
  // A failed write keeps the record buffered and counted; the next write of
  // the buffer starts again at file_len.
  if (buffer_.size() > WRITE_BEHIND_LIMIT) return write_buffer();
  return {};
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Status Container::check_tail_room(uint64_t added) const {
  // A frame close takes the whole tail; refused there, it would block every
  // later close, so the record that would make it too long is refused here.
  if (sat_add(sat_add(file_len_, buffer_.size()), added) <= tail_full_at_) return {};
  return Error::usage("record would make the raw tail of " + quoted(path_) + " longer than " +
                      std::to_string(MAX_FRAME_BODY) +
                      " bytes, more than one frame may hold; close a frame first");
}

Status Container::write_buffer() {
  // Bytes behind the end that a kept journal names would be cut off by its
  // replay.
  TARVEL_TRY(finish_pending_rewrite());
  TARVEL_TRY(check_journal_gone());
  TARVEL_TRY(write_all_at(*file_, file_len_, buffer_.view()));
  file_len_ = sat_add(file_len_, buffer_.size());
  buffer_.clear();
  return {};
}

Status Container::flush_data() try {
  TARVEL_TRY(check_usable());
  if (buffer_.empty()) return {};
  return write_buffer();
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Status Container::rewrite_zone(std::string zone) {
  TARVEL_TRY(finish_pending_rewrite());
  // Records accepted so far go in front of the byte the journal names, so
  // that no replay of it can cut them off.
  if (!buffer_.empty()) TARVEL_TRY(write_buffer());
  // The byte the journal names, and everything before it, must be on stable
  // storage first: a replay extends the file with zeros up to that byte.
  TARVEL_TRY(file_->sync());
  // The journal's frame is the file's own last byte, or with an empty data
  // section the zone's last byte: its replay keeps the file's length.
  const uint64_t end = file_len_;
  std::string byte;
  if (end > data_start_) {
    TARVEL_TRY_ASSIGN(byte, read_exact_at(*file_, end - 1, 1));
  } else {
    byte = zone.substr(zone.size() - 1);
  }
  TARVEL_TRY(journal_write(end - 1, zone, byte));
  Status spliced = splice(*file_, end - 1, zone, byte);
  if (!spliced) {
    // The zone on disk may be torn. The journal stays as its repair until
    // the next write to the file completes the rewrite.
    pending_rewrite_ = PendingRewrite{end - 1, std::move(zone), std::move(byte)};
    return spliced;
  }
  drop_journal();
  return {};
}

Status Container::finish_pending_rewrite() {
  if (!pending_rewrite_) return {};
  TARVEL_TRY(
      splice(*file_, pending_rewrite_->start, pending_rewrite_->zone, pending_rewrite_->byte));
  pending_rewrite_.reset();
  drop_journal();
  return {};
}

Status Container::flush_headers() try {
  TARVEL_TRY(check_writable());
  // Refused before anything is written: a journal goes only where every
  // later open of this file finds it.
  TARVEL_TRY(check_name());
  // The committed counters: the raw tail is counted only by a frame close.
  TARVEL_TRY(headers_.set("_records", std::to_string(records_committed_)));
  TARVEL_TRY(headers_.set("_bytes_raw", std::to_string(bytes_raw_committed_)));
  TARVEL_TRY_ASSIGN(std::string zone, headers_.render(preamble_.header_area));
  return rewrite_zone(std::move(zone));
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Status Container::set_user_header(std::string_view key, std::string_view value) try {
  TARVEL_TRY(check_usable());
  // A writer whose rewrite would be refused keeps its headers as they are.
  if (writable_) TARVEL_TRY(check_name());
  TARVEL_TRY(headers_.set_user(key, value));
  return flush_headers();
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

}  // namespace tarvel
