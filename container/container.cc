// Container state: creation, the open operations and release.
#include "container/container.h"

#include <cstring>
#include <memory>
#include <new>

#include "container/journal.h"
#include "container/text.h"
#include "container/workspace.h"
#include "container/writer_lock.h"
#include "container/xxh64.h"

namespace tarvel {

namespace {

// "{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z" of a millisecond count since
// 1970-01-01T00:00:00Z, proleptic Gregorian calendar, milliseconds cut off.
// The date comes from the day count shifted to start at 0000-03-01, so that
// the leap day falls at the end of each year of the 400-year era.
std::string created_at_text(uint64_t millis) {
  const uint64_t days = millis / 86400000;
  const uint64_t secs = (millis / 1000) % 86400;
  const uint64_t count = days + 719468;
  const uint64_t era = count / 146097;
  const uint64_t doe = count - era * 146097;
  const uint64_t yoe = (doe - doe / 1460 + doe / 36524 - (doe == 146096 ? 1 : 0)) / 365;
  const uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const uint64_t mp = (5 * doy + 2) / 153;
  const uint64_t day = doy - (153 * mp + 2) / 5 + 1;
  const uint64_t month = mp < 10 ? mp + 3 : mp - 9;
  const uint64_t year = yoe + 400 * era + (month <= 2 ? 1 : 0);
  return zero_padded(year, 4) + "-" + zero_padded(month, 2) + "-" + zero_padded(day, 2) +
         "T" + zero_padded(secs / 3600, 2) + ":" + zero_padded(secs % 3600 / 60, 2) + ":" +
         zero_padded(secs % 60, 2) + "Z";
}

}  // namespace

Result<Container> Container::create(const std::string& path, const Schema& schema,
                                    std::string_view source, std::string_view writer,
                                    uint64_t created_at_millis, uint32_t header_area,
                                    const UserHeaders& user, Env& env) try {
  Headers headers;
  TARVEL_TRY(headers.set("_schema", schema.name));
  TARVEL_TRY(headers.set("_schema_fields", schema.fields_value()));
  TARVEL_TRY(headers.set("_schema_hash", schema.hash_hex()));
  TARVEL_TRY(headers.set("_record", schema.layout.text()));
  TARVEL_TRY(headers.set("_source", source));
  TARVEL_TRY(headers.set("_created_at", created_at_text(created_at_millis)));
  TARVEL_TRY(headers.set("_writer", writer));
  TARVEL_TRY(headers.set("_compression", "zstd"));
  TARVEL_TRY(headers.set("_compression_level", "3"));
  TARVEL_TRY(headers.set("_records", "0"));
  TARVEL_TRY(headers.set("_bytes_raw", "0"));
  TARVEL_TRY(headers.set("_frames", ""));
  TARVEL_TRY(headers.set("_preview", ""));
  TARVEL_TRY(headers.set("_sealed", "false"));
  for (const auto& [key, value] : user) TARVEL_TRY(headers.set_user(key, value));
  TARVEL_TRY_ASSIGN(std::string zone, headers.render(header_area));

  // Nothing on disk has been touched up to here.
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file,
                    env.open(path, OpenMode::kCreateNew).map_error(io_at(path)));
  // Locked before the first byte is written, so that no other writer can
  // take the new file over. Should another open of it hold the lock already,
  // the file is that writer's now, and it stays.
  TARVEL_TRY(lock_writer(*file, path));
  const Preamble preamble{FORMAT_VERSION, FLAG_COMPRESSED, header_area};
  auto write_head = [&]() -> Status {
    // The name is ours now. A journal left at its journal path by an earlier
    // file of that name would be replayed into this one, so it goes,
    // durably, before anything could replay it.
    TARVEL_TRY(discard_journal(env, path));
    TARVEL_TRY(write_all(*file, preamble.encode()));
    TARVEL_TRY(write_all(*file, zone));
    return file->sync();
  };
  if (Status written = write_head(); !written) {
    // The file is this create's own, made by its exclusive open and locked:
    // it goes, so that a retry can create it instead of meeting a stub that
    // no open accepts.
    (void)env.remove(path);
    sync_parent_dir(env, path);
    return std::move(written).error();
  }

  Container c;
  c.path_ = path;
  c.file_ = std::move(file);
  c.headers_ = std::move(headers);
  c.schema_ = schema;
  c.preamble_ = preamble;
  c.env_ = &env;
  c.file_path_ = path;  // the exclusive create never goes through a link
  c.remember_zone(zone);
  c.data_start_ = PREAMBLE_LEN + header_area;
  c.file_len_ = c.data_start_;
  c.writable_ = true;
  return c;
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<Container> Container::open_inner(const std::string& path, bool writable, Env& env) try {
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file,
                    env.open(path, writable ? OpenMode::kReadWrite : OpenMode::kRead)
                        .map_error(io_at(path)));
  return load(path, file, writable, env);
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<Container> Container::open_cut(const std::string& path, bool writable, Env& env) try {
  if (!writable) return open_view(path, true, env);
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file,
                    env.open(path, OpenMode::kReadWrite).map_error(io_at(path)));
  return load(path, file, true, env, true);
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<Container> Container::load(const std::string& path, std::unique_ptr<File>& file,
                                  bool writable, Env& env, bool allow_cut) {
  char head[PREAMBLE_LEN];
  TARVEL_TRY(read_exact(*file, head, sizeof head));
  TARVEL_TRY_ASSIGN(Preamble preamble, Preamble::decode(std::string_view(head, sizeof head)));
  TARVEL_TRY_ASSIGN(uint64_t len, file->length().map_error(io_at(path)));
  const uint64_t data_start = PREAMBLE_LEN + preamble.header_area;
  if (len < data_start) {
    return Error::malformed("header zone claims " + std::to_string(preamble.header_area) +
                            " bytes but the file is " + std::to_string(len) + " bytes");
  }
  std::string zone(preamble.header_area, '\0');
  TARVEL_TRY(read_exact(*file, zone.data(), zone.size()));
  TARVEL_TRY_ASSIGN(Headers headers, Headers::parse(zone));
  TARVEL_TRY_ASSIGN(Schema schema, Schema::from_headers(headers));
  const std::string* frames_text = headers.get("_frames");
  TARVEL_TRY_ASSIGN(std::vector<Frame> frames,
                    parse_frames(frames_text != nullptr ? std::string_view(*frames_text) : ""));
  const uint64_t records = headers.counter("_records");
  const uint64_t bytes_raw = headers.counter("_bytes_raw");
  if (!writable) {
    // A writer may have closed a frame since the length was taken; the
    // length taken after the zone covers every frame that zone lists.
    TARVEL_TRY_ASSIGN(len, file->length().map_error(io_at(path)));
  }
  // A file cut short is checked only for offsets that overflow.
  TARVEL_TRY(check_frames_fit(frames, data_start, allow_cut ? UINT64_MAX : len));
  TARVEL_TRY_ASSIGN(std::string file_path, resolve_symlinks(env, path).map_error(io_at(path)));

  Container c;
  c.path_ = path;
  c.file_ = std::move(file);
  c.headers_ = std::move(headers);
  c.schema_ = std::move(schema);
  c.frames_ = std::move(frames);
  c.preamble_ = preamble;
  c.env_ = &env;
  c.file_path_ = std::move(file_path);
  c.remember_zone(zone);
  c.data_start_ = data_start;
  c.file_len_ = len;
  c.records_ = c.records_committed_ = records;
  c.bytes_raw_ = c.bytes_raw_committed_ = bytes_raw;
  c.writable_ = writable;
  return c;
}

Result<Container> Container::open_read(const std::string& path, Env& env) try {
  return open_view(path, false, env);
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<Container> Container::open_view(const std::string& path, bool allow_cut, Env& env) {
  int waits = 0;
  for (int attempt = 0;; ++attempt) {
    TARVEL_TRY_ASSIGN(std::unique_ptr<File> file,
                      env.open(path, OpenMode::kRead).map_error(io_at(path)));
    Result<Container> c = load(path, file, false, env, allow_cut);
    // Only a write in flight is waited out. One that ended while the view
    // was read left the file settled: beside a writer that closes frames
    // back to back, the next look at once has the best chance.
    bool wait = true;
    if (c) {
      TARVEL_TRY_ASSIGN(ViewCheck seen, c->check_view());
      if (seen == ViewCheck::kSame) return c;
      wait = seen == ViewCheck::kInFlight;
    } else {
      // A zone that does not parse may be one caught mid-rewrite, or a new
      // file whose zone is not written yet; that is only so while a writer
      // holds the file.
      TARVEL_TRY_ASSIGN(PendingClose pending, pending_close(env, path, *file));
      if (pending == PendingClose::kRecovery) return recovery_pending(path);
      if (pending == PendingClose::kNone) {
        TARVEL_TRY_ASSIGN(bool live, writer_is_live(*file));
        if (!live) return c;
      }
    }
    if (attempt + 1 == VIEW_ATTEMPTS) return changed_while_read(path);
    if (wait) wait_before_view_attempt(waits++);
  }
}

Result<Container> Container::open_append(const std::string& path, Env& env) try {
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file, open_locked(env, path, OpenMode::kReadWrite));
  // A close interrupted by a crash is completed before anything is read, and
  // only now, under the lock: a live writer's journal is not ours to replay.
  TARVEL_TRY(replay_journal(env, path));
  TARVEL_TRY_ASSIGN(Container c, load(path, file, true, env));
  const uint64_t start = c.tail_start();
  if (c.file_len_ <= start) return c;
  TARVEL_TRY_ASSIGN(std::string tail, read_exact_at(*c.file_, start, c.file_len_ - start));
  SplitRecords split = split_records(tail, c.schema_.layout);
  // The torn record of a crash is cut off so that appends continue right
  // behind the last whole record; the cut is made durable by the next flush.
  if (split.torn != 0) {
    const uint64_t cut = c.file_len_ - split.torn;
    TARVEL_TRY(c.file_->truncate(cut));
    c.file_len_ = cut;
  }
  c.records_ = sat_add(c.records_, split.records.size());
  c.bytes_raw_ = sat_add(c.bytes_raw_, tail.size() - split.torn);
  return c;
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

// Defaulted here, where Workspace is complete.
Container::Container(Container&&) noexcept = default;

Container::~Container() {
  // Buffered records join the raw tail; errors are ignored and nothing is
  // flushed. A pending header rewrite is completed first, so that the zone
  // is whole again. After a failed splice of a close the file is left for
  // the journal to repair, and no bytes are added behind it.
  if (file_ != nullptr && writable_ && !needs_recovery_) {
    (void)finish_pending_rewrite();
    if (!buffer_.empty()) (void)write_buffer();
  }
  path_.clear();
  file_.reset();
}

Workspace& Container::work() {
  if (work_ == nullptr) work_ = std::make_unique<Workspace>();
  return *work_;
}

uint64_t Container::tail_start() const { return ::tarvel::tail_start(frames_, data_start_); }

Result<bool> Container::unchanged() try {
  TARVEL_TRY_ASSIGN(ViewCheck seen, check_view());
  return seen == ViewCheck::kSame;
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<Container::ViewCheck> Container::check_view() {
  // The splice lock first, then the journal, then the zone: a splice that
  // began before the caller's read ended is still in flight here, or it is
  // done and the zone below shows it. Looked at after the zone, it would
  // miss a splice that ended in between.
  if (file_->probe_splice() == SpliceProbe::kHeld) return ViewCheck::kInFlight;
  TARVEL_TRY_ASSIGN(PendingClose pending, pending_close(*env_, file_path_, *file_));
  if (pending == PendingClose::kRecovery) return recovery_pending(path_);
  if (pending == PendingClose::kInFlight) return ViewCheck::kInFlight;
  // Only read-only Containers are checked, and they never render a zone, so
  // the close's zone buffer is free to hold the header text: a reader that
  // checks on every read_tail allocates nothing for it.
  std::string& zone = work().zone;
  zone.resize(zone_text_len_);
  Status read = file_->seek(PREAMBLE_LEN);
  if (read) read = read_exact(*file_, zone.data(), zone.size());
  if (!read) {
    // Only a file cut shorter than its zone ends the read early.
    if (is_fill_buffer(read.error())) return ViewCheck::kChanged;
    return std::move(read).error();
  }
  return xxh64(zone) == zone_hash_ ? ViewCheck::kSame : ViewCheck::kChanged;
}

void Container::remember_zone(std::string_view zone) {
  // The headers end with the first empty line (values never hold a line
  // break), and the padding behind it says nothing. Any other text, a longer
  // one included, differs from this one within these bytes, so they are all
  // a reader needs to compare: for a large zone far fewer than the whole.
  size_t end = zone.find("\n\n");
  if (!zone.empty() && zone[0] == '\n') {
    end = 1;
  } else if (end == std::string_view::npos) {
    end = zone.size();
  } else {
    end += 2;
  }
  zone_text_len_ = end;
  zone_hash_ = xxh64(zone.substr(0, end));
}

Status Container::cut_to(uint64_t length) {
  TARVEL_TRY(check_writable());
  if (length < data_start_) return Error::usage("cannot cut the file inside its header zone");
  TARVEL_TRY(file_->truncate(length));
  TARVEL_TRY(file_->sync());
  file_len_ = length;
  return {};
}

void Container::replace_counts(std::vector<Frame> frames, uint64_t records,
                               uint64_t bytes_raw) {
  frames_ = std::move(frames);
  if (work_ != nullptr) {
    work_->first_position.clear();
    work_->indexed = 0;
    work_->frames_rendered = SIZE_MAX;
  }
  records_ = records_committed_ = records;
  bytes_raw_ = bytes_raw_committed_ = bytes_raw;
}

Status Container::check_writable() const {
  if (!writable_) return Error::usage("file is open read-only");
  return check_usable();
}

Status Container::check_usable() const {
  if (needs_recovery_) {
    return Error::usage("a frame close of " + quoted(path_) +
                        " stopped part-way; reopen the file with open_append to complete it "
                        "from the seal journal");
  }
  return {};
}

Status Container::check_journal_gone() const {
  if (journal_stuck_) {
    return Error::usage("the seal journal of " + quoted(path_) +
                        " could not be removed and a replay of it would cut off new records; "
                        "reopen the file with open_append to replay and remove it");
  }
  return {};
}

}  // namespace tarvel
