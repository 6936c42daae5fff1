// Container state: creation, the open operations and release.
#include "container/container.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <optional>

#include "container/format.h"
#include "container/hash.h"
#include "container/internal/codec.h"
#include "container/internal/journal.h"
#include "container/internal/retry.h"
#include "container/internal/text.h"
#include "container/internal/workspace.h"
#include "container/internal/writer_lock.h"

namespace tarvel {

namespace {

// "YYYY-MM-DDThh:mm:ssZ", each field zero-padded, of a millisecond count
// since 1970-01-01T00:00:00Z in the proleptic Gregorian calendar, the
// milliseconds cut off. The date comes from the day count shifted to start
// at 0000-03-01, so that the leap day falls at the end of each year of the
// 400-year era.
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

// A field name or type that is empty or holds a separator of the
// _schema_fields text would be read back as another field list, or refused.
bool field_text_storable(std::string_view text) {
  return !text.empty() && text.find_first_of(":;") == std::string_view::npos;
}

// The arguments of create that no open would accept back, refused before
// anything is built. A header_area of 0 holds no headers: it fails as
// ZoneFull when the zone is rendered, as any zone too small for them does.
Status check_storable(const Schema& schema, uint32_t header_area) {
  if (header_area != 0) TARVEL_TRY(check_header_area(header_area));
  if (schema.layout.is_fixed() && schema.layout.size == 0) {
    return Error::usage("record size is zero: a fixed layout needs records of at least 1 byte");
  }
  for (const FieldSpec& f : schema.fields) {
    if (!field_text_storable(f.name)) {
      return Error::usage("field name " + quoted(f.name) +
                          " cannot be stored: it is empty or holds ':' or ';'");
    }
    if (!field_text_storable(f.ty)) {
      return Error::usage("field type " + quoted(f.ty) + " of field " + quoted(f.name) +
                          " cannot be stored: it is empty or holds ':' or ';'");
    }
  }
  return {};
}

// What create writes must open as what it was given: "zone" is read back as
// an open reads it and compared with "headers" and "schema". Whatever does
// not survive fails with Usage naming its header; text that is not UTF-8
// (which a native caller can pass) is the case this catches.
Status check_reads_back(const Headers& headers, const Schema& schema, std::string_view zone) {
  const std::vector<Headers::Entry>& want = headers.entries();
  for (const Headers::Entry& e : want) {
    if (!check_utf8(e.value).valid) {
      return Error::usage("header " + quoted(e.key) + " cannot be stored: its value is not UTF-8");
    }
  }
  Result<Headers> parsed = Headers::parse(zone);
  if (!parsed) {
    return Error::usage("the header zone would not read back: " + parsed.error().to_string());
  }
  const std::vector<Headers::Entry>& got = parsed->entries();
  for (size_t i = 0; i < want.size(); ++i) {
    if (i >= got.size() || got[i] != want[i]) {
      return Error::usage("header " + quoted(want[i].key) +
                          " cannot be stored: it would not read back as written");
    }
  }
  Result<Schema> read = Schema::from_headers(*parsed);
  if (!read) return Error::usage("the schema would not read back: " + read.error().to_string());
  // A prefixed layout stores no size, so layouts compare as stored.
  if (read->name != schema.name || read->fields != schema.fields ||
      read->layout.text() != schema.layout.text()) {
    return Error::usage("the schema cannot be stored: it would not read back as written");
  }
  return {};
}

// Moves the new file from "temp" to "path", which must be free. A move that
// failed after the file reached "path" (linked there, its temporary name not
// removed) has made the file ours all the same, and the temporary name goes.
// Errors carry "path".
Status move_new_file(Env& env, const std::string& temp, const std::string& path, File& file) {
  Status moved = env.rename_noreplace(temp, path);
  if (moved) return {};
  Result<FileIdentity> held = file.identity();
  Result<FileIdentity> named = env.identity(path);
  if (held && named && *held == *named) {
    (void)env.remove(temp);
    return {};
  }
  return std::move(moved).error().with_path(path);
}

// open_append walks a prefixed raw tail through a window of this many bytes,
// so that a tail of any length costs no more memory. It holds the longest
// record, so every window but the last holds a whole one.
constexpr size_t kTailWindow = 1 << 20;
static_assert(kTailWindow >= RECORD_PREFIX_LEN + MAX_PREFIXED_BODY);

// The whole records at the start of the bytes [start, end) of "file", and
// the bytes they take, prefixes included; the rest is a torn record.
struct WholeRecords {
  uint64_t records = 0;
  uint64_t bytes = 0;
};

// Fixed-size records are counted without a read. Prefixed ones are walked
// a window at a time; the record that a window cuts is read again, from its
// prefix on, by the next one.
Result<WholeRecords> count_whole_records(File& file, uint64_t start, uint64_t end,
                                         const RecordLayout& layout) {
  const uint64_t len = end - start;
  if (layout.is_fixed()) {
    if (layout.size == 0) return WholeRecords{};
    return WholeRecords{len / layout.size, len - len % layout.size};
  }
  WholeRecords whole;
  std::string window;
  uint64_t p = start;
  // Fewer bytes than a prefix are a torn record, and are not read.
  while (end - p >= RECORD_PREFIX_LEN) {
    window.resize(static_cast<size_t>(std::min<uint64_t>(kTailWindow, end - p)));
    TARVEL_TRY(file.seek(p));
    TARVEL_TRY(read_exact(file, window.data(), window.size()));
    RecordCursor cursor(window, layout);
    whole.records += cursor.skip_all();
    p += cursor.pos();
    // What the window that reaches the end leaves is the torn record.
    if (p + cursor.left() == end || cursor.pos() == 0) break;
  }
  whole.bytes = p - start;
  return whole;
}

}  // namespace

Result<Container> Container::create(const std::string& path, const Schema& schema,
                                    std::string_view source, std::string_view writer,
                                    uint64_t created_at_millis, uint32_t header_area,
                                    const UserHeaders& user, Env& env) try {
  TARVEL_TRY(check_storable(schema, header_area));
  // The value of each system header, in the order of SYSTEM_HEADERS.
  const std::string values[] = {
      schema.name,                         // _schema
      schema.fields_value(),               // _schema_fields
      schema.hash_hex(),                   // _schema_hash
      schema.layout.text(),                // _record
      std::string(source),                 // _source
      created_at_text(created_at_millis),  // _created_at
      std::string(writer),                 // _writer
      "zstd",                              // _compression
      "3",                                 // _compression_level
      "0",                                 // _records
      "0",                                 // _bytes_raw
      "",                                  // _frames
      "",                                  // _preview
      "false",                             // _sealed
  };
  static_assert(std::size(values) == std::size(SYSTEM_HEADERS));
  Headers headers;
  for (size_t i = 0; i < std::size(values); ++i) {
    TARVEL_TRY(headers.set(SYSTEM_HEADERS[i], values[i]));
  }
  for (const auto& [key, value] : user) TARVEL_TRY(headers.set_user(key, value));
  TARVEL_TRY_ASSIGN(std::string zone, headers.render(header_area));
  TARVEL_TRY(check_reads_back(headers, schema, zone));
  // The exclusive move never goes through a link.
  TARVEL_TRY_ASSIGN(std::string file_path, file_path_of(env, path).map_error(io_at(path)));

  // Nothing on disk has been touched up to here. A name that is taken is
  // refused before any file is made; the move below is what decides.
  if (env.identity(path)) return Error::io_at(path, IoFailure::os(EEXIST));
  // Nothing stands at the name, so a journal beside it belongs to no file
  // there: a complete one may be the only redo of a live writer whose file
  // was renamed away, and is moved aside, durably, rather than deleted. Done
  // before the move too, so that a crash right after the move leaves no
  // journal that the new file's first open would have to refuse.
  TARVEL_TRY(set_aside_journal(env, file_path));

  // The file is written whole under a temporary name, flushed, and only then
  // moved to the path, so that a crash at any point leaves either nothing
  // at the path or a whole empty container. The temporary file is locked
  // from its first moment, and the lock stays with the Container.
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file, open_creating(env, path));
  const std::string temp = creating_path(path);
  const Preamble preamble{FORMAT_VERSION, FLAG_COMPRESSED, header_area};
  Status written = write_all(*file, preamble.encode());
  if (written) written = write_all(*file, zone);
  if (written) written = file->sync();
  if (written) written = move_new_file(env, temp, path, *file);
  if (!written) {
    // Nothing is at the path; the partial file under its own name goes.
    (void)env.remove(temp);
    return std::move(written).error();
  }

  // The name is ours now. A journal that came to stand beside it meanwhile
  // is set aside as above.
  Status ready = set_aside_journal(env, file_path);

  // The move is durable with the directory: a file that create returns is
  // there after a power loss.
  if (ready) ready = sync_parent_dir_checked(env, path);
  if (!ready) {
    // The file is this create's own, moved in under its lock: it goes, so
    // that a retry can create it.
    (void)env.remove(path);
    sync_parent_dir(env, path);
    return std::move(ready).error();
  }
  // A second name may have been made meanwhile.
  TARVEL_TRY_ASSIGN(const FileIdentity id, check_writer_open(env, path, file_path, *file));

  Container c;
  c.path_ = path;
  c.file_ = std::move(file);
  c.headers_ = std::move(headers);
  c.schema_ = schema;
  c.preamble_ = preamble;
  c.env_ = &env;
  c.file_path_ = std::move(file_path);
  c.file_id_ = id;
  c.forks_ = fork_generation();
  c.remember_zone(zone);
  c.data_start_ = preamble.data_start();
  c.file_len_ = c.data_start_;
  c.note_tail_start();
  c.writable_ = true;
  return c;
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<Container> Container::open_inner(const std::string& path, bool writable, Env& env,
                                        bool allow_cut) try {
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file,
                    env.open(path, writable ? OpenMode::kReadWrite : OpenMode::kRead)
                        .map_error(io_at(path)));
  TARVEL_TRY_ASSIGN(std::string file_path, file_path_of(env, path).map_error(io_at(path)));
  return load(path, std::move(file_path), file, writable, env, allow_cut);
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<Container> Container::open_cut(const std::string& path, bool writable, Env& env) try {
  if (!writable) return open_view(path, true, env);
  return open_inner(path, true, env, true);
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<Container> Container::load(const std::string& path, std::string file_path,
                                  std::unique_ptr<File>& file, bool writable, Env& env,
                                  bool allow_cut) {
  // From offset 0, wherever a replay before the load left the position.
  TARVEL_TRY_ASSIGN(Preamble preamble, read_preamble(*file));
  TARVEL_TRY_ASSIGN(uint64_t len, file->length().map_error(io_at(path)));
  TARVEL_TRY(check_zone_in_file(preamble, len));
  const uint64_t data_start = preamble.data_start();
  std::string zone(preamble.header_area, '\0');
  TARVEL_TRY(read_exact(*file, zone.data(), zone.size()));
  TARVEL_TRY_ASSIGN(Headers headers, Headers::parse(zone));
  TARVEL_TRY_ASSIGN(Schema schema, Schema::from_headers(headers));
  TARVEL_TRY_ASSIGN(std::vector<Frame> frames, listed_frames(headers));
  const uint64_t records = headers.counter("_records");
  const uint64_t bytes_raw = headers.counter("_bytes_raw");
  if (!writable) {
    // A writer may have closed a frame since the length was taken; the
    // length taken after the zone covers every frame that zone lists.
    TARVEL_TRY_ASSIGN(len, file->length().map_error(io_at(path)));
  }
  // A file cut short is checked only for offsets that overflow.
  TARVEL_TRY(check_frames_fit(frames, data_start, allow_cut ? UINT64_MAX : len));
  FileIdentity id;
  if (writable) {
    TARVEL_TRY_ASSIGN(id, file->identity());
  }

  Container c;
  c.path_ = path;
  c.file_ = std::move(file);
  c.headers_ = std::move(headers);
  c.schema_ = std::move(schema);
  c.frames_ = std::move(frames);
  c.preamble_ = preamble;
  c.env_ = &env;
  c.file_path_ = std::move(file_path);
  c.file_id_ = id;
  c.forks_ = fork_generation();
  c.remember_zone(zone);
  c.data_start_ = data_start;
  c.file_len_ = len;
  c.note_tail_start();
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
  std::optional<Container> view;
  TARVEL_TRY_ASSIGN(const bool done, retry(env, VIEW_RETRY, [&]() -> Result<Look> {
    TARVEL_TRY_ASSIGN(std::unique_ptr<File> file,
                      env.open(path, OpenMode::kRead).map_error(io_at(path)));
    TARVEL_TRY_ASSIGN(std::string file_path, file_path_of(env, path).map_error(io_at(path)));
    Result<Container> c = load(path, std::move(file_path), file, false, env, allow_cut);
    if (c) {
      TARVEL_TRY_ASSIGN(ViewCheck seen, c->check_view());
      if (seen == ViewCheck::kSame) {
        view.emplace(std::move(c).value());
        return Look::kDone;
      }
      // Only a write in flight is waited out. One that ended while the view
      // was read left the file settled: beside a writer that closes frames
      // back to back, the next look at once has the best chance.
      return seen == ViewCheck::kInFlight ? Look::kAfterAWait : Look::kAtOnce;
    }
    // A zone that does not parse may be one caught mid-rewrite, or a new
    // file whose zone is not written yet; that is only so while a writer
    // holds the file.
    TARVEL_TRY_ASSIGN(PendingClose pending, pending_close(env, path, *file));
    if (pending == PendingClose::kRecovery) return recovery_pending(path);
    if (pending == PendingClose::kNone) {
      TARVEL_TRY_ASSIGN(bool live, writer_is_live(*file));
      if (!live) return std::move(c).error();
    }
    return Look::kAfterAWait;
  }));
  if (!done) return changed_while_read(path);
  return std::move(*view);
}

Result<Container> Container::open_append(const std::string& path, Env& env) try {
  std::string file_path;
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file,
                    open_writer(env, path, OpenMode::kReadWrite, &file_path));
  TARVEL_TRY_ASSIGN(Container c, load(path, std::move(file_path), file, true, env));
  const uint64_t start = c.tail_start();
  if (c.file_len_ <= start) return c;
  TARVEL_TRY_ASSIGN(const WholeRecords whole,
                    count_whole_records(*c.file_, start, c.file_len_, c.schema_.layout));
  // The torn record of a crash is cut off so that appends continue right
  // behind the last whole record. The cut is flushed before anything is
  // written behind it: appends that reached the disk without it would be
  // followed by the rest of the torn record, read back as records.
  const uint64_t cut = start + whole.bytes;
  if (cut != c.file_len_) {
    TARVEL_TRY(c.file_->truncate(cut));
    TARVEL_TRY(c.file_->sync());
    c.file_len_ = cut;
  }
  c.records_ = sat_add(c.records_, whole.records);
  c.bytes_raw_ = sat_add(c.bytes_raw_, whole.bytes);
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
  // the journal to repair, and no bytes are added behind it. In a forked
  // child the buffer is the parent's, and so is the file.
  if (file_ != nullptr && writable_ && !needs_recovery_ && forks_ == fork_generation()) {
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

void Container::note_tail_start() { tail_full_at_ = sat_add(tail_start(), MAX_FRAME_BODY); }

Result<bool> Container::unchanged() try {
  TARVEL_TRY(check_process());
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
  note_tail_start();
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
  if (forks_ != fork_generation()) return check_process();
  if (needs_recovery_) {
    return Error::usage("a frame close of " + quoted(path_) +
                        " stopped part-way; reopen the file with open_append to complete it "
                        "from the seal journal");
  }
  return {};
}

Status Container::check_process() const {
  if (forks_ != fork_generation()) {
    return Error::usage(quoted(path_) +
                        " was opened by the parent process; a forked child must open the file "
                        "itself");
  }
  return {};
}

Status Container::check_name() const {
  return check_one_name(*env_, file_path_, file_id_, path_);
}

Result<uint32_t> Container::permissions() const {
  TARVEL_TRY(check_process());
  return file_->permissions();
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
