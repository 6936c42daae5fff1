// Container: one open container file and everything the library knows of it
// in memory.
//
// A Container has exactly one owner, is never copied and may be moved; it is
// used by one thread at a time. Its file stays open until the Container is
// destroyed (released): a writable one then writes its buffered records at
// the end of the data, errors ignored, without a flush to stable storage.
//
// Every in-place rewrite of the file goes through the seal journal: a frame
// close, and the header rewrites (flush_headers, set_user_header, the end of
// seal), whose journal names the file's own last byte as its frame so that
// a replay keeps the file's length and rewrites the zone.
//
// What a failure leaves:
//   - A failed splice of a frame close may leave part of the new frame over
//     the raw tail, and only the journal can repair that. The Container then
//     refuses every write (append_record, flush_data, flush_headers,
//     set_user_header, close_frame, seal, and the buffer write at release)
//     with Usage "a frame close of "<path>" stopped part-way; reopen the file
//     with open_append to complete it from the seal journal"; reads still
//     work.
//   - A failed header rewrite leaves the data section usable: appends,
//     flush_data and the buffer write at release go on. When its splice
//     failed, the zone on disk may be torn and the journal is kept as its
//     repair; the next write to the file first completes that rewrite from
//     memory and removes the journal.
//   - A journal that can be neither removed nor emptied after its writes
//     reached the file would cut off, when replayed, every record written
//     behind it. append_record and the buffer writes are then refused with
//     Usage "the seal journal of "<path>" could not be removed and a replay
//     of it would cut off new records; reopen the file with open_append to
//     replay and remove it", until a later close or header rewrite removes
//     its own journal.
//
// One writer per file: create and open_append take the writer's lock on the
// file (see writer_lock.h) and hold it until release; a second writer, in
// this process or another, is refused with Usage "another writer holds
// "<path>"", and so are repack and a rebuild_headers fix while a writer
// lives. A pending seal journal is replayed only under that lock.
//
// A writer is bound to its file, not to the name it was opened by. Its seal
// journal lies beside the file's own path, made absolute and with its final
// symbolic links resolved once at the open, so that a later chdir changes
// nothing. Before each journal write (a close, a seal, a header rewrite)
// that path must still name the open file, and the file must have no other
// name: otherwise the call is refused, before anything is written, with
// Usage ""<path>" was moved or removed since it was opened; ..." or
// ""<path>" has several names (hard links), ..." (journal.h), and the
// accepted records stay where they are; appends, flush_data and the buffer
// write at release go on into the open file, wherever it is now. A file
// with several names is refused at the open too. A writer removes only the
// journal file it wrote itself, and a replay applies a journal only to the
// file it was written for (journal_belongs in journal.h).
//
// A forked child shares the parent's open files. In a child every call on a
// Container that the parent opened fails with Usage ""<path>" was opened by
// the parent process; a forked child must open the file itself", and its
// release writes nothing; the child's copy of the descriptor is closed right
// after the fork (see fork_generation in file.h), so that the parent's lock
// ends when the parent releases its Container.
//
// Readers beside a live writer. A writer touches bytes already in the file
// only in a splice, which holds the splice lock (file.h) where the file
// system offers it, and only while a complete seal journal stands beside the
// file: the journal is written and flushed first and removed only after the
// zone rewrite. So a read-only Container checks, after it has read, in this
// order: that no splice is in flight, that no complete journal is there, and
// that the zone in the file is still the one it parsed. A splice that began
// before the read ended is then either still in flight or done, and the zone
// shows it. The splice lock belongs to the file, so it holds whatever name
// the reader opened the file by; the journal is found by the name.
// open_read takes its view again until the check holds, waiting a few
// seconds at most, and then fails with Usage ""<path>" changed while it was
// being read; open it again".
// A read-only Container is a snapshot: its frames list and its raw tail as
// they stood at the open, which never move. Closed frames never change, so
// read_frame needs no check. read_tail returns the whole records of the
// snapshot's tail: read from the file while its zone is unchanged or lists
// the same frames, and once a writer has closed the tail, decoded from the
// frame that follows the snapshot's list and begins where the tail began
// (checksummed: zstd's own checksum, or the listed one of a raw frame). A
// write in flight is waited out as open_read waits; any other change (a fix
// that rewrote the list) fails with the error above, and the caller opens
// the file again. A complete journal that no writer holds is a close a crash
// interrupted: open_read and read_tail then fail with Usage ""<path>" has a
// pending seal journal ..." naming the calls that recover it, rather than
// read half-written bytes.
//
// Invariants:
//   data_start = 16 + header_area
//   data_start <= tail_start <= file_len; every listed frame ends by file_len
//   (except after open_cut)
//   the raw tail is [tail_start, file_len) in the file followed by buffer
#ifndef TARVEL_CONTAINER_CONTAINER_H_
#define TARVEL_CONTAINER_CONTAINER_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "container/file.h"
#include "container/frames.h"
#include "container/headers.h"
#include "container/internal/byte_buffer.h"
#include "container/result.h"
#include "container/schema.h"

namespace tarvel {

// append_record writes the buffer once it holds more than this many bytes.
inline constexpr size_t WRITE_BEHIND_LIMIT = 65535;

struct Workspace;

using UserHeaders = std::vector<std::pair<std::string, std::string>>;

class Container {
 public:
  // Creates a new file (exclusively) holding the preamble and a header zone
  // of "header_area" bytes with the 14 system headers, then "user" in order.
  // Arguments that no open would read back as given are refused with Usage
  // before anything is on disk: a header_area above MAX_HEADER_AREA, a fixed
  // record size of 0, a field name or type that is empty or holds ':' or
  // ';', and text that is not UTF-8. The file is written whole under
  // creating_path(path) (writer_lock.h), flushed, moved to "path" by a
  // rename that never replaces, and the directory flushed: a crash leaves
  // nothing at "path" or a whole empty container, and a returned file
  // survives a power loss.
  static Result<Container> create(const std::string& path, const Schema& schema,
                                  std::string_view source, std::string_view writer,
                                  uint64_t created_at_millis, uint32_t header_area,
                                  const UserHeaders& user, Env& env = Env::posix());

  // Read-only; nothing on disk is touched, no lock is taken. Takes its view
  // again while a writer is changing the file (see the top of this file).
  static Result<Container> open_read(const std::string& path, Env& env = Env::posix());
  // Takes the writer's lock, replays a pending seal journal, cuts a torn
  // record off the raw tail and counts the tail's records into the live
  // counters.
  static Result<Container> open_append(const std::string& path,
                                       Env& env = Env::posix());

  // The moved-from Container owns no file (its file is null), so its
  // release writes nothing; it may only be destroyed.
  Container(Container&&) noexcept;
  Container& operator=(Container&&) = delete;
  Container(const Container&) = delete;
  Container& operator=(const Container&) = delete;
  ~Container();

  // A record that would make the raw tail longer than MAX_FRAME_BODY bytes,
  // more than one frame may hold, is refused with Usage: a frame must be
  // closed first.
  Status append_record(std::string_view body);
  Status flush_data();
  Status flush_headers();
  Status set_user_header(std::string_view key, std::string_view value);

  // Closes the raw tail into one frame through the seal journal. A tail
  // longer than MAX_FRAME_BODY bytes (left by an older writer) is refused
  // with Usage before anything is read or written.
  Status close_frame(uint64_t frame_id, int32_t level);
  // close_frame, then _sealed = "true" and a header rewrite.
  Status seal(uint64_t frame_id, int32_t level);

  Result<std::string> read_frame(uint64_t frame_id);
  Result<std::string> read_frame_at(uint64_t index);
  Result<std::string> read_frame_body(const Frame& frame);
  // The same reads without a copy: the body is a view into this
  // Container's kept buffers, valid until its next read or close.
  Result<std::string_view> read_frame_view(uint64_t frame_id);
  Result<std::string_view> read_frame_at_view(uint64_t index);
  Result<std::string_view> read_frame_body_view(const Frame& frame);
  // The whole records of the raw tail as stored (prefixes included). On a
  // read-only Container, those of the tail as it stood at the open, even
  // after a writer closed it into a frame (see the top of this file). A file
  // cut below the end of its listed frames since the open, its zone
  // unchanged, fails with the frame-fit error of open_read.
  Result<std::string> read_tail();

  const std::string& path() const { return path_; }
  const Headers& headers() const { return headers_; }
  const Schema& schema() const { return schema_; }
  const std::vector<Frame>& frames() const { return frames_; }
  const Preamble& preamble() const { return preamble_; }
  uint64_t data_start() const { return data_start_; }
  uint64_t file_len() const { return file_len_; }
  size_t buffered() const { return buffer_.size(); }
  uint64_t records() const { return records_; }
  uint64_t bytes_raw() const { return bytes_raw_; }
  uint64_t records_committed() const { return records_committed_; }
  uint64_t bytes_raw_committed() const { return bytes_raw_committed_; }
  bool writable() const { return writable_; }
  uint64_t tail_start() const;

  // In a child forked after this Container was opened: the Usage error that
  // every operation returns. The accessors above answer from memory and do
  // not check; a caller that hands their values on (the Python module)
  // checks this first.
  Status check_process() const;


 private:
  // The maintenance tools' own access (container/internal/tool_access.h).
  friend class ToolAccess;

  Container() = default;

  // The maintenance tools' operations, described in tool_access.h;
  // open_inner with "allow_cut" is the writable open_cut.
  static Result<Container> open_inner(const std::string& path, bool writable, Env& env,
                                      bool allow_cut = false);
  static Result<Container> open_cut(const std::string& path, bool writable, Env& env);
  void replace_counts(std::vector<Frame> frames, uint64_t records, uint64_t bytes_raw);
  Status cut_to(uint64_t length);
  Result<bool> unchanged();
  Result<uint32_t> permissions() const;

  // The open after "file" is open at "path": preamble, zone, schema, frames
  // list ("allow_cut": see open_cut). "file" is moved into the Container only
  // on success.
  // "file_path" is the file's own path (file_path_of).
  static Result<Container> load(const std::string& path, std::string file_path,
                                std::unique_ptr<File>& file, bool writable, Env& env,
                                bool allow_cut = false);
  // open_read, with open_cut's "allow_cut".
  static Result<Container> open_view(const std::string& path, bool allow_cut, Env& env);

  // ---- A read-only Container's checks of its snapshot ----
  enum class ViewCheck {
    kSame,      // the file holds the view this Container read
    kInFlight,  // a splice or a journaled write is under way: look again
    kChanged,   // the zone is no longer the one read at the open
  };
  // unchanged(), telling a write in flight from a changed zone.
  Result<ViewCheck> check_view();
  // Where the snapshot's tail (from "start") is by the file's present zone.
  enum class TailNow {
    kUntouched,  // the zone lists the snapshot's frames: a header rewrite
    kClosed,     // closed into the frame after them: "*records" holds the
                 // tail's whole records, decoded from it
    kGone,       // neither: a rewritten list, a zone caught mid-write, or
                 // a frame that does not hold the tail
  };
  Result<TailNow> find_tail(uint64_t start, std::string* records);
  // read_tail of a read-only Container.
  Result<std::string> read_snapshot_tail();
  // read_frame_body_view, with "frame" checked to end by "file_len".
  Result<std::string_view> read_body(const Frame& frame, uint64_t file_len);

  // A header rewrite whose splice failed: what its journal holds.
  struct PendingRewrite {
    uint64_t start;
    std::string zone;
    std::string byte;
  };

  // Usage "file is open read-only", or the refusal of check_usable.
  Status check_writable() const;
  // check_process, then the Usage error once a failed splice of a frame
  // close has left the file for the seal journal to repair.
  Status check_usable() const;
  // Before a journal is written: the file's own path must still name the
  // open file, and the file must have no other name (check_one_name).
  Status check_name() const;
  // Usage error while a journal that could not be removed would cut off
  // records written behind it.
  Status check_journal_gone() const;
  // Usage error for a record of "added" bytes (prefix included) that would
  // make the raw tail longer than one frame may hold.
  Status check_tail_room(uint64_t added) const;
  // Sets tail_full_at_ from the frames list.
  void note_tail_start();
  // append_record with every check, for the cases its one test of the
  // common case turns away.
  Status append_checked(std::string_view body);
  // Seeks to file_len and writes the whole buffer; on success file_len
  // grows by its length and the buffer is emptied (keeping its capacity).
  // A pending header rewrite is completed first.
  Status write_buffer();
  // The working memory kept across calls, made at first use.
  Workspace& work();
  // Writes "zone" at offset 16 through the seal journal: the buffer is
  // written and the file flushed, the journal names the file's last byte,
  // then the splice. A failed splice keeps the journal and leaves the
  // rewrite pending.
  Status rewrite_zone(std::string zone);
  // Completes a pending header rewrite in place and removes its journal.
  Status finish_pending_rewrite();
  // Writes the journal; a failed write discards what it may have left.
  Status journal_write(uint64_t start, std::string_view zone, std::string_view stored);
  // A failed splice of a frame close marks the Container as needing
  // recovery.
  Status splice_or_mark(uint64_t start, std::string_view zone, std::string_view stored);
  // Discards the journal this Container wrote once nothing needs it;
  // records whether it stuck.
  void drop_journal();

  // The destructor writes the buffer and closes the file; the members are
  // then destroyed in reverse order of declaration, pending_rewrite_ first
  // and path_ last.
  std::string path_;
  std::unique_ptr<File> file_;
  Headers headers_;
  Schema schema_;
  std::vector<Frame> frames_;
  ByteBuffer buffer_;
  Preamble preamble_;
  Env* env_ = nullptr;
  // The file's own path (file_path_of) as the open found it: absolute, with
  // its final symbolic links resolved. The seal journal belongs to the file,
  // whatever path it was opened by.
  std::string file_path_;
  // A writer's file, as the open found it.
  FileIdentity file_id_;
  // The journal file this Container wrote last, while it may still be there.
  std::optional<FileIdentity> journal_id_;
  // fork_generation() when the Container was opened.
  uint64_t forks_ = 0;
  // Records the zone read at the open, for unchanged() to compare.
  void remember_zone(std::string_view zone);

  // xxh64 of the header text of the zone read at the open, and its length.
  uint64_t zone_hash_ = 0;
  size_t zone_text_len_ = 0;
  uint64_t data_start_ = 0;
  uint64_t file_len_ = 0;
  // tail_start() + MAX_FRAME_BODY: the end of the longest raw tail that
  // one frame may hold.
  uint64_t tail_full_at_ = 0;
  uint64_t records_ = 0;
  uint64_t bytes_raw_ = 0;
  uint64_t records_committed_ = 0;
  uint64_t bytes_raw_committed_ = 0;
  bool writable_ = false;
  // Set when a frame close may have left the file half-spliced with only
  // the seal journal to repair it; every later write is then refused until
  // the file is reopened with open_append.
  bool needs_recovery_ = false;
  std::unique_ptr<Workspace> work_;
  // Set while a journal could be neither removed nor emptied.
  bool journal_stuck_ = false;
  // A header rewrite whose journal is on disk and whose splice failed.
  std::optional<PendingRewrite> pending_rewrite_;
};

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_CONTAINER_H_
