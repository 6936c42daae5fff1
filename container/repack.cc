#include "container/repack.h"

#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "container/container.h"
#include "container/error.h"
#include "container/frames.h"
#include "container/hash.h"
#include "container/headers.h"
#include "container/internal/codec.h"
#include "container/internal/journal.h"
#include "container/internal/text.h"
#include "container/internal/tool_access.h"
#include "container/internal/writer_lock.h"

namespace tarvel {

namespace {

// One encoder per thread, kept from repack to repack: a program that
// repacks a folder of files at level 19 makes its 90 MiB context once, not
// once per file. Freed when the thread ends.
FrameEncoder& thread_encoder() {
  thread_local FrameEncoder encoder;
  return encoder;
}

// Everything the repack writes into the temporary file: the preamble, every
// frame decoded and encoded again, the whole records of the raw tail and,
// last, the header zone with the new frames list. Returns the new file's
// length after its full flush.
Result<uint64_t> write_new_file(Container& old, File& out, int32_t level,
                                uint32_t header_area, uint32_t bits) {
  // Created with the container's permission bits, the copy may have had
  // them narrowed by the file-creation mask; it gets them whole before
  // anything is in it.
  TARVEL_TRY_ASSIGN(uint32_t made, out.permissions());
  if (made != bits) TARVEL_TRY(out.set_permissions(bits));
  Preamble preamble;
  preamble.flags = level != 0 ? FLAG_COMPRESSED : 0;
  preamble.header_area = header_area;
  TARVEL_TRY(write_all(out, preamble.encode()));
  // The zone is written last, over this placeholder, once the new frames
  // list is known.
  TARVEL_TRY(write_all(out, std::string(header_area, '\0')));

  // One frame at a time: decoded, encoded again, written.
  int32_t used_level = level;
  std::vector<Frame> frames;
  frames.reserve(old.frames().size());
  uint64_t offset = 0;
  // The calling thread's encoder serves every frame, of this repack and of
  // the next; the body is read into the old Container's own kept buffers.
  FrameEncoder& encoder = thread_encoder();
  for (const Frame& frame : old.frames()) {
    TARVEL_TRY_ASSIGN(std::string_view body, old.read_frame_body_view(frame));
    TARVEL_TRY_ASSIGN(const int32_t encoded_level, encoder.encode(body, level));
    const std::string_view stored = encoder.stored();
    // A frame that level 0 cannot store raw is a zstd frame: the preamble's
    // flag and the headers then say that the data is compressed.
    if (encoded_level != level) used_level = encoded_level;
    TARVEL_TRY(write_all(out, stored));
    frames.push_back(Frame{frame.id, offset, stored.size(), xxh64(stored)});
    offset = sat_add(offset, stored.size());
  }
  // Only whole records: a torn record at the end of the tail stays behind.
  TARVEL_TRY_ASSIGN(std::string tail, old.read_tail());
  TARVEL_TRY(write_all(out, tail));

  Headers headers = old.headers();
  TARVEL_TRY(headers.set("_frames", render_frames(frames)));
  TARVEL_TRY(headers.set("_compression_level", std::to_string(used_level)));
  TARVEL_TRY(headers.set("_compression", used_level != 0 ? "zstd" : "none"));
  TARVEL_TRY_ASSIGN(std::string zone, headers.render(header_area));
  preamble.flags = used_level != 0 ? FLAG_COMPRESSED : 0;
  TARVEL_TRY(write_all_at(out, 0, preamble.encode() + zone));
  // The whole new file reaches stable storage before it may take the
  // container's name.
  TARVEL_TRY(out.sync());
  return out.length();
}

}  // namespace

Result<RepackReport> repack(const std::string& path, int32_t level, Env& env) {
  TARVEL_TRY_ASSIGN(auto head, peek_headers(path, env));
  return repack_with_header_area(path, level, head.first.header_area, env);
}

Result<RepackReport> repack_with_header_area(const std::string& path, int32_t level,
                                             uint32_t header_area, Env& env) try {
  // Held to the end: records a writer appended after the copy began would
  // be gone once the copy takes the container's name. The copy, its rename
  // and the directory flush belong to the file itself: repacked through a
  // symbolic link, the link stays and its target is replaced; a file with
  // several names is refused, as the rename would renew only one of them.
  std::string file;
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> held, open_writer(env, path, OpenMode::kRead, &file));
  TARVEL_TRY(check_header_area(header_area));
  TARVEL_TRY_ASSIGN(Container old, ToolAccess::open_inner(path, false, env));

  const std::string temp = file + ".repack";
  // Whatever an earlier repack left at the temporary name goes first (a
  // symbolic link is removed itself, not its target). The exclusive create
  // never follows a link, so the copy is written only into a file of its
  // own; a file that is not ours and could not be removed fails it, and is
  // left alone.
  (void)env.remove(temp);
  // The copy is created with the container's permission bits, so that it is
  // never open to more users than the container was, not even for a moment.
  TARVEL_TRY_ASSIGN(const uint32_t bits, ToolAccess::permissions(old));
  TARVEL_TRY_ASSIGN(std::unique_ptr<File> out,
                    env.open_new(temp, bits & 0777).map_error(io_at(temp)));
  Result<uint64_t> written = Error::out_of_memory();
  try {
    written = write_new_file(old, *out, level, header_area, bits);
  } catch (const std::bad_alloc&) {
    // A damaged frame or tail may ask for more memory than there is; the
    // temporary file is removed as after any other failure.
  }
  out.reset();
  if (!written) {
    // Nothing of the container was touched; only the partial copy goes.
    (void)env.remove(temp);
    return std::move(written).error();
  }
  // The one step that changes the container. A failed rename leaves the
  // complete, flushed copy beside the unchanged container.
  TARVEL_TRY(env.rename(temp, file));
  sync_parent_dir(env, file);

  RepackReport report;
  report.bytes_before = old.file_len();
  report.bytes_after = *written;
  report.frames = old.frames().size();
  return report;
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

}  // namespace tarvel
