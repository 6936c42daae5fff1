// Appending records through the write-behind buffer, and the header
// rewrites that make the zone durable.
#include <new>
#include <string>

#include "container/container.h"
#include "container/text.h"

namespace tarvel {

Status Container::append_record(std::string_view body) try {
  TRY(check_writable());
  if (schema_.layout.is_fixed()) {
    if (body.size() != schema_.layout.size) {
      return Error::usage("record is " + std::to_string(body.size()) + " bytes, the schema says " +
                          std::to_string(schema_.layout.size));
    }
    buffer_.append(body);
    bytes_raw_ = sat_add(bytes_raw_, body.size());
  } else {
    if (body.size() > 65535) {
      return Error::usage("record of " + std::to_string(body.size()) +
                          " bytes overflows the u16 prefix");
    }
    const char prefix[2] = {static_cast<char>(body.size() & 0xff),
                            static_cast<char>(body.size() >> 8)};
    // Room for prefix and body first: a buffer that ran out of memory
    // between the two would hold a prefix without its record.
    buffer_.reserve(buffer_.size() + 2 + body.size());
    buffer_.append(prefix, 2);
    buffer_.append(body);
    bytes_raw_ = sat_add(sat_add(bytes_raw_, body.size()), 2);
  }
  records_ = sat_add(records_, 1);
  // A failed write keeps the record buffered and counted; the next write of
  // the buffer starts again at file_len.
  if (buffer_.size() > WRITE_BEHIND_LIMIT) return write_buffer();
  return {};
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Status Container::write_buffer() {
  TRY(write_all_at(*file_, file_len_, buffer_));
  file_len_ = sat_add(file_len_, buffer_.size());
  buffer_.clear();
  return {};
}

Status Container::flush_data() try {
  TRY(check_usable());
  if (buffer_.empty()) return {};
  return write_buffer();
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Status Container::write_zone(std::string_view zone) {
  TRY(write_all_at(*file_, PREAMBLE_LEN, zone));
  Status synced = file_->sync();
  if (!synced) needs_recovery_ = true;
  return synced;
}

Status Container::flush_headers() try {
  TRY(check_writable());
  // The committed counters: the raw tail is counted only by a frame close.
  TRY(headers_.set("_records", std::to_string(records_committed_)));
  TRY(headers_.set("_bytes_raw", std::to_string(bytes_raw_committed_)));
  TRY_ASSIGN(std::string zone, headers_.render(preamble_.header_area));
  return write_zone(zone);
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Status Container::set_user_header(std::string_view key, std::string_view value) try {
  TRY(check_usable());
  TRY(headers_.set_user(key, value));
  return flush_headers();
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

}  // namespace tarvel
