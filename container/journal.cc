#include "container/journal.h"

#include <errno.h>

#include <cstring>

#include "container/headers.h"
#include "container/schema.h"
#include "container/text.h"

namespace tarvel {

namespace {

constexpr size_t kMagicLen = 6;
// tail_start and zone_len open the body.
constexpr uint64_t kBodyFieldsLen = 16;

void put_u64(std::string* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xff));
}

uint64_t get_u64(std::string_view bytes, size_t at) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) {
    v = (v << 8) | static_cast<unsigned char>(bytes[at + static_cast<size_t>(i)]);
  }
  return v;
}

// What a complete journal asks for; views into the journal's bytes.
struct Redo {
  uint64_t tail_start;
  std::string_view zone;
  std::string_view frame;
};

// Returns false for an incomplete journal: a torn write, a damaged file or a
// foreign file of that name. Only the journal itself is looked at.
bool parse_journal(std::string_view image, Redo* redo) {
  if (image.size() < JOURNAL_HEADER_LEN) return false;
  if (std::memcmp(image.data(), JOURNAL_MAGIC, kMagicLen) != 0) return false;
  uint64_t body_len = get_u64(image, 6);
  // Compared as "length - 22" so that a body_len near the u64 maximum cannot
  // wrap around into a match.
  if (body_len != image.size() - JOURNAL_HEADER_LEN) return false;
  std::string_view body = image.substr(JOURNAL_HEADER_LEN);
  if (get_u64(image, 14) != fnv1a64(body)) return false;
  if (body_len < kBodyFieldsLen) return false;
  uint64_t zone_len = get_u64(body, 8);
  // At least one frame byte must follow the zone image.
  if (zone_len > UINT64_MAX - kBodyFieldsLen) return false;
  if (kBodyFieldsLen + zone_len >= body_len) return false;
  redo->tail_start = get_u64(body, 0);
  redo->zone = body.substr(kBodyFieldsLen, static_cast<size_t>(zone_len));
  redo->frame = body.substr(kBodyFieldsLen + static_cast<size_t>(zone_len));
  return true;
}

}  // namespace

bool is_missing(const Error& e) {
  return e.is_io() && e.io_failure().kind() == IoFailure::Kind::kOs &&
         e.io_failure().errnum() == ENOENT;
}

bool journal_is_complete(std::string_view image) {
  Redo redo;
  return parse_journal(image, &redo);
}

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

Status write_journal(Env& env, const std::string& container_path, uint64_t tail_start,
                     std::string_view zone, std::string_view frame, bool* made,
                     std::string* image_buffer) {
  // The head, the body's fields and the zone are built in one buffer; the
  // frame, which may be large, is written from where it is, so it is never
  // copied. The body's checksum is taken over the two parts in turn.
  std::string local;
  std::string& image = image_buffer != nullptr ? *image_buffer : local;
  image.clear();
  image.reserve(JOURNAL_HEADER_LEN + kBodyFieldsLen + zone.size());
  image.append(JOURNAL_HEADER_LEN, '\0');
  put_u64(&image, tail_start);
  put_u64(&image, zone.size());
  image.append(zone);
  const std::string_view fields_and_zone = std::string_view(image).substr(JOURNAL_HEADER_LEN);
  std::string head(JOURNAL_MAGIC, kMagicLen);
  put_u64(&head, fields_and_zone.size() + frame.size());
  put_u64(&head, fnv1a64(frame, fnv1a64(fields_and_zone)));
  image.replace(0, JOURNAL_HEADER_LEN, head);

  std::string path = journal_path_of(env, container_path);
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> file,
                    env.open(path, OpenMode::kCreateTruncate).map_error(io_at(path)));
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

Status replay_journal(Env& env, const std::string& container_path) {
  std::string path = journal_path_of(env, container_path);
  Result<std::string> image = read_whole_file(env, path);
  if (!image) {
    // Only a missing journal means that no close is waiting to be redone. A
    // journal we cannot read may hold one, and the container may be
    // half-spliced: going on would read compressed bytes as records.
    if (is_missing(image.error())) return {};
    return std::move(image).error().with_path(path);
  }
  Redo redo;
  if (!parse_journal(*image, &redo)) {
    // A close that never finished writing its journal never touched the
    // container either.
    remove_journal(env, container_path);
    return {};
  }
  TARVEL_TRY_ASSIGN(
      std::unique_ptr<File> file,
      env.open(container_path, OpenMode::kReadWrite).map_error(io_at(container_path)));
  // On failure the journal stays, so the next replay starts over.
  TARVEL_TRY(splice(*file, redo.tail_start, redo.zone, redo.frame));
  file.reset();
  // A journal left complete would be replayed again later, over whatever
  // was appended in between.
  return discard_journal(env, container_path);
}

void remove_journal(Env& env, const std::string& container_path) {
  std::string path = journal_path_of(env, container_path);
  (void)env.remove(path);
  // The removal must be durable: a journal that a crash brings back would be
  // replayed over a container that has moved on, cutting off the records
  // appended since and restoring an old header zone.
  sync_parent_dir(env, path);
}

Status discard_journal(Env& env, const std::string& container_path) {
  std::string path = journal_path_of(env, container_path);
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
  if (file && (*file)->truncate(0) && (*file)->sync()) return {};
  return std::move(removed).error().with_path(path);
}

Status splice(File& file, uint64_t tail_start, std::string_view zone, std::string_view frame) {
  TARVEL_TRY(write_all_at(file, tail_start, frame));
  TARVEL_TRY(file.truncate(sat_add(tail_start, frame.size())));
  // The header zone starts right behind the preamble.
  TARVEL_TRY(write_all_at(file, PREAMBLE_LEN, zone));
  return file.sync();
}

}  // namespace tarvel
