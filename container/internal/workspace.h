// What a Container keeps from one call to the next so that its reads and
// closes neither allocate nor clear their working memory again: the zstd
// contexts (the compression one with the buffer its frames are made in),
// the buffers of a read and of a close, the rendered frames list
// and the index of frame ids. Everything here is a cache of work; none of
// it is state that the file or the Container's values depend on.
#ifndef TARVEL_CONTAINER_INTERNAL_WORKSPACE_H_
#define TARVEL_CONTAINER_INTERNAL_WORKSPACE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

#include "container/internal/codec.h"

namespace tarvel {

// A close reads the raw tail this many bytes at a time (1 MiB), however
// long the tail is.
inline constexpr size_t CLOSE_READ_CHUNK = 32 * ENCODE_CHUNK;

struct Workspace {
  FrameEncoder encoder;
  BodyDecoder decoder;

  // A frame read: the stored bytes and the decoded body (sized as the
  // largest frame so far; the content is a prefix).
  std::string stored;
  std::string body;

  // A frame close: a piece of the raw tail (CLOSE_READ_CHUNK bytes at
  // most), the zone image and the journal's head and zone. The new frame's
  // stored bytes are the encoder's.
  std::string tail;
  std::string zone;
  std::string journal;

  // render_frames of the frames list's first "frames_rendered" entries;
  // SIZE_MAX when it describes no list.
  std::string frames_text;
  size_t frames_rendered = SIZE_MAX;

  // The first position of each frame id, for the frames list's first
  // "indexed" entries.
  std::unordered_map<uint64_t, size_t> first_position;
  size_t indexed = 0;
};

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_INTERNAL_WORKSPACE_H_
