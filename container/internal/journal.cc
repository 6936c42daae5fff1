#include "container/internal/journal.h"

#include <errno.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "container/frames.h"
#include "container/hash.h"
#include "container/headers.h"
#include "container/internal/coding.h"
#include "container/internal/text.h"

namespace tarvel {

namespace {

// tail_start and zone_len open the body.
constexpr uint64_t kBodyFieldsLen = JOURNAL_ZONE_AT - JOURNAL_HEADER_LEN;

}  // namespace

std::optional<JournalContent> parse_journal(std::string_view image) {
  if (image.size() < JOURNAL_HEADER_LEN) return std::nullopt;
  if (std::memcmp(image.data(), JOURNAL_MAGIC, JOURNAL_MAGIC_LEN) != 0) return std::nullopt;
  const uint64_t body_len = load_le64(image.data() + JOURNAL_BODY_LEN_AT);
  // Compared as "length - 22" so that a body_len near the u64 maximum cannot
  // wrap around into a match.
  if (body_len != image.size() - JOURNAL_HEADER_LEN) return std::nullopt;
  if (load_le64(image.data() + JOURNAL_BODY_HASH_AT) != fnv1a64(image.substr(JOURNAL_HEADER_LEN))) {
    return std::nullopt;
  }
  if (body_len < kBodyFieldsLen) return std::nullopt;
  const uint64_t zone_len = load_le64(image.data() + JOURNAL_ZONE_LEN_AT);
  // At least one frame byte must follow the zone image.
  if (zone_len > UINT64_MAX - kBodyFieldsLen) return std::nullopt;
  if (kBodyFieldsLen + zone_len >= body_len) return std::nullopt;
  JournalContent content;
  content.tail_start = load_le64(image.data() + JOURNAL_TAIL_START_AT);
  content.zone = image.substr(JOURNAL_ZONE_AT, static_cast<size_t>(zone_len));
  content.frame = image.substr(JOURNAL_ZONE_AT + static_cast<size_t>(zone_len));
  return content;
}

namespace {

// The bytes of a zone's FIXED_HEADERS lines, which open every zone that
// create wrote; npos when the zone does not begin with them.
size_t fixed_lines_len(std::string_view zone) {
  size_t at = 0;
  for (std::string_view key : FIXED_HEADERS) {
    if (zone.substr(at, key.size()) != key || zone.substr(at + key.size(), 1) != ":") {
      return std::string_view::npos;
    }
    const size_t end = zone.find('\n', at);
    if (end == std::string_view::npos) return std::string_view::npos;
    at = end + 1;
  }
  return at;
}

// Whether "listed" is "frames" and one more frame: the journal's own frame,
// at the start of the raw tail that "frames" leave.
bool closes_the_tail(const std::vector<Frame>& frames, const std::vector<Frame>& listed,
                     const JournalContent& journal, uint64_t data_start) {
  if (listed.size() != frames.size() + 1) return false;
  if (!std::equal(frames.begin(), frames.end(), listed.begin())) return false;
  const Frame& added = listed.back();
  return sat_add(data_start, added.offset) == journal.tail_start &&
         added.len == journal.frame.size() &&
         (added.hash == 0 || added.hash == xxh64(journal.frame)) &&
         tail_start(frames, data_start) == journal.tail_start;
}

// The journal file at "journal", read whole, with its identity.
struct ReadJournal {
  std::string image;
  FileIdentity identity;
};

Result<ReadJournal> read_journal(Env& env, const std::string& journal) {
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file,
                    env.open(journal, OpenMode::kRead).map_error(io_at(journal)));
  ReadJournal read;
  TARVEL_TRY_ASSIGN(read.identity, file->identity().map_error(io_at(journal)));
  TARVEL_TRY_ASSIGN(uint64_t len, file->length().map_error(io_at(journal)));
  if (len > SIZE_MAX) return Error::io_at(journal, IoFailure::os(EFBIG));
  read.image.resize(static_cast<size_t>(len));
  TARVEL_TRY(read_exact(*file, read.image.data(), read.image.size()));
  return read;
}

// Whether "journal" belongs to the file open as "file" (journal_belongs),
// which is read for it. A file too short for its own zone is no file a
// journal belongs to.
Result<bool> fits_file(File& file, const JournalContent& journal) {
  TARVEL_TRY_ASSIGN(Preamble preamble, read_preamble(file));
  TARVEL_TRY_ASSIGN(uint64_t length, file.length());
  if (!check_zone_in_file(preamble, length)) return false;
  JournalTarget target;
  target.data_start = preamble.data_start();
  target.length = length;
  std::string zone(preamble.header_area, '\0');
  TARVEL_TRY(read_exact(file, zone.data(), zone.size()));
  target.zone = zone;
  std::string end;
  if (journal.tail_start <= length && length - journal.tail_start == journal.frame.size()) {
    TARVEL_TRY_ASSIGN(end, read_exact_at(file, journal.tail_start, journal.frame.size()));
    target.end = end;
  }
  return journal_belongs(journal, target);
}

Error foreign_journal(const std::string& journal) {
  return Error::usage("the seal journal " + quoted(journal) +
                      " belongs to another file or is out of date; it was neither replayed nor "
                      "removed");
}

// Whether the file at "path" is still the file "own".
bool still(Env& env, const std::string& path, const FileIdentity& own) {
  Result<FileIdentity> now = env.identity(path);
  return now && *now == own;
}

}  // namespace

bool journal_is_complete(std::string_view image) { return parse_journal(image).has_value(); }

std::string journal_path(std::string_view container_path) {
  size_t end = container_path.size();
  while (end > 0 && container_path[end - 1] == '/') --end;
  std::string_view trimmed = container_path.substr(0, end);
  size_t slash = trimmed.rfind('/');
  std::string_view name = slash == std::string_view::npos ? trimmed : trimmed.substr(slash + 1);
  if (name.empty() || name == "..") {
    // No file name to extend (the empty path, the root, a path ending in
    // ".."): the journal becomes a new last component.
    std::string out(container_path);
    if (!out.empty() && out.back() != '/') out += '/';
    return out + ".seal";
  }
  return std::string(trimmed) + ".seal";
}

std::string journal_path_of(Env& env, const std::string& container_path) {
  Result<std::string> file = resolve_symlinks(env, container_path);
  return journal_path(file ? *file : container_path);
}

// --- The journal's one name ---

Error moved_since_open(const std::string& path) {
  return Error::usage(quoted(path) +
                      " was moved or removed since it was opened; open it again by its current "
                      "name to close frames or rewrite its headers");
}

Error several_names(const std::string& path) {
  return Error::usage(quoted(path) +
                      " has several names (hard links), so its seal journal would have several "
                      "names too; a writer needs a file with exactly one name");
}

Status check_one_name(Env& env, const std::string& file_path, const FileIdentity& file,
                      const std::string& path) {
  Result<FileIdentity> named = env.identity(file_path);
  if (!named) {
    const Error& e = named.error();
    if (is_missing(e) || (e.is_io() && e.io_failure().errnum() == ENOTDIR)) {
      return moved_since_open(path);
    }
    return std::move(named).error().with_path(file_path);
  }
  if (*named != file) return moved_since_open(path);
  if (named->links > 1) return several_names(path);
  return {};
}

Status write_journal(Env& env, const std::string& file_path, uint64_t tail_start,
                     std::string_view zone, std::string_view frame, bool* made,
                     std::string* image_buffer, FileIdentity* written) {
  // The head, the body's fields and the zone are built in one buffer; the
  // frame, which may be large, is written from where it is, so it is never
  // copied. The body's checksum is taken over the two parts in turn.
  std::string local;
  std::string& image = image_buffer != nullptr ? *image_buffer : local;
  image.clear();
  image.reserve(JOURNAL_ZONE_AT + zone.size());
  image.append(JOURNAL_ZONE_AT, '\0');
  image.append(zone);
  std::memcpy(image.data(), JOURNAL_MAGIC, JOURNAL_MAGIC_LEN);
  store_le64(image.data() + JOURNAL_TAIL_START_AT, tail_start);
  store_le64(image.data() + JOURNAL_ZONE_LEN_AT, zone.size());
  const std::string_view fields_and_zone = std::string_view(image).substr(JOURNAL_HEADER_LEN);
  store_le64(image.data() + JOURNAL_BODY_LEN_AT, fields_and_zone.size() + frame.size());
  store_le64(image.data() + JOURNAL_BODY_HASH_AT, fnv1a64(frame, fnv1a64(fields_and_zone)));

  const std::string path = journal_path(file_path);
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file,
                    env.open(path, OpenMode::kCreateTruncate).map_error(io_at(path)));
  // Nothing is in the file before its identity is known, so a caller told
  // that the file was made always knows which file to clean up.
  if (written != nullptr) {
    TARVEL_TRY_ASSIGN(*written, file->identity());
  }
  if (made != nullptr) *made = true;
  // A journal torn anywhere, between the two writes too, fails the length
  // or hash check and is discarded by the next replay.
  TARVEL_TRY(write_all(*file, image));
  TARVEL_TRY(write_all(*file, frame));
  TARVEL_TRY(file->sync());
  // The journal's directory entry must be durable too, or a crash after the
  // splice could leave the container half-written with no journal to redo it;
  // so a failed directory flush fails the close before the container is
  // touched.
  return sync_parent_dir_checked(env, path);
}

bool journal_belongs(const JournalContent& journal, const JournalTarget& file) {
  // The zone image replaces the file's whole zone; the frame goes at the
  // start of the raw tail, or for a header rewrite over the file's last byte
  // (the zone's last one when the data section is empty).
  if (file.data_start < PREAMBLE_LEN || journal.zone.size() != file.data_start - PREAMBLE_LEN) {
    return false;
  }
  if (journal.tail_start + 1 < file.data_start || journal.tail_start > file.length) return false;
  // The lines that no write changes are the same in the old zone and the
  // new one, so a zone torn by its rewrite still begins with them. Matching
  // alone proves little (a program that starts a file anew under the same
  // name writes the same schema, source and writer), but a mismatch proves
  // another file.
  const size_t fixed = fixed_lines_len(journal.zone);
  if (fixed == std::string_view::npos ||
      file.zone.substr(0, fixed) != journal.zone.substr(0, fixed)) {
    return false;
  }
  const std::optional<std::vector<Frame>> listed = zone_frames(journal.zone);
  if (!listed) return false;
  const std::optional<std::vector<Frame>> frames = zone_frames(file.zone);
  // Only a zone write torn by a crash leaves a zone that does not parse.
  if (!frames) return true;
  // The journal names the file's own end: a header rewrite, or a close that
  // got past its cut of the file. A zone that was torn may still parse, but
  // then the frame is in place behind the last listed byte.
  if (file.length - journal.tail_start == journal.frame.size() &&
      (*frames == *listed || file.end == journal.frame)) {
    return true;
  }
  // A close whose zone was not written yet.
  return closes_the_tail(*frames, *listed, journal, file.data_start);
}

Status replay_journal(Env& env, const std::string& path, const std::string& file_path,
                      File& locked) {
  const std::string journal = journal_path(file_path);
  Result<ReadJournal> read = read_journal(env, journal);
  if (!read) {
    // Only a missing journal means that no close is waiting to be redone. A
    // journal we cannot read may hold one, and the container may be
    // half-spliced: going on would read compressed bytes as records.
    if (is_missing(read.error())) return {};
    return std::move(read).error().with_path(journal);
  }
  const std::optional<JournalContent> content = parse_journal(read->image);
  if (!content) {
    // A close that never finished writing its journal never touched the
    // container either.
    remove_journal(env, file_path, read->identity);
    return {};
  }
  // Only into the file this journal was written for: the one file that its
  // name leads to, and only a state that its own writer can have left.
  TARVEL_TRY_ASSIGN(const FileIdentity held, locked.identity());
  TARVEL_TRY(check_one_name(env, file_path, held, path));
  TARVEL_TRY_ASSIGN(const bool belongs, fits_file(locked, *content));
  if (!belongs) return foreign_journal(journal);
  // The locked file itself, opened again for writing: the lock may be held
  // through a read-only open.
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file,
                    env.open(file_path, OpenMode::kReadWrite).map_error(io_at(path)));
  TARVEL_TRY_ASSIGN(const FileIdentity opened, file->identity());
  if (opened != held) return moved_since_open(path);
  // On failure the journal stays, so the next replay starts over.
  TARVEL_TRY(splice(*file, content->tail_start, content->zone, content->frame));
  file.reset();
  // A journal left complete would be replayed again later, over whatever
  // was appended in between.
  return discard_journal(env, file_path, read->identity);
}

void remove_journal(Env& env, const std::string& file_path, const FileIdentity& own) {
  const std::string path = journal_path(file_path);
  if (!still(env, path, own)) return;
  (void)env.remove(path);
  // The removal must be durable: a journal that a crash brings back would be
  // replayed over a container that has moved on, cutting off the records
  // appended since and restoring an old header zone.
  sync_parent_dir(env, path);
}

Status discard_journal(Env& env, const std::string& file_path, const FileIdentity& own) {
  const std::string path = journal_path(file_path);
  // Another file's journal may stand at the name by now; it is not ours to
  // remove. (The name is looked at once, just before the removal.)
  Result<FileIdentity> now = env.identity(path);
  if (!now) {
    if (is_missing(now.error())) return {};
    return std::move(now).error().with_path(path);
  }
  if (*now != own) return {};
  Status removed = env.remove(path);
  if (removed) {
    sync_parent_dir(env, path);
    return {};
  }
  if (is_missing(removed.error())) return {};
  // A journal shorter than its own header is incomplete, and a replay drops
  // it without touching the container.
  Result<std::unique_ptr<File>> file = env.open(path, OpenMode::kReadWrite);
  if (!file && is_missing(file.error())) return {};
  if (file) {
    Result<FileIdentity> opened = (*file)->identity();
    if (opened && *opened != own) return {};
    if (opened && (*file)->truncate(0) && (*file)->sync()) return {};
  }
  return std::move(removed).error().with_path(path);
}

Status set_aside_journal(Env& env, const std::string& file_path) {
  const std::string path = journal_path(file_path);
  Result<ReadJournal> read = read_journal(env, path);
  if (!read) {
    if (is_missing(read.error())) return {};
    return std::move(read).error().with_path(path);
  }
  if (!journal_is_complete(read->image)) return discard_journal(env, file_path, read->identity);
  for (uint64_t n = 0;; ++n) {
    std::string aside = path + ".orphaned";
    if (n != 0) {
      aside.push_back('.');
      aside += std::to_string(n);
    }
    Status moved = env.rename_noreplace(path, aside);
    if (moved) break;
    const Error& e = moved.error();
    if (!e.is_io() || e.io_failure().errnum() != EEXIST) {
      return std::move(moved).error().with_path(path);
    }
  }
  return sync_parent_dir_checked(env, path);
}

Status splice(File& file, uint64_t tail_start, std::string_view zone, std::string_view frame) {
  // Readers through any name of the file see the splice lock, from before the
  // first byte changes until the flush.
  const SpliceLockHold in_flight(file);
  TARVEL_TRY(write_all_at(file, tail_start, frame));
  TARVEL_TRY(file.truncate(sat_add(tail_start, frame.size())));
  // The header zone starts right behind the preamble.
  TARVEL_TRY(write_all_at(file, PREAMBLE_LEN, zone));
  return file.sync();
}

}  // namespace tarvel
