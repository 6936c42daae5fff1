// The frame codec: raw record bytes to stored frame bytes and back. The
// only file that includes <zstd.h> is codec.cc.
//
// Level 0 stores bytes as they are; any other level makes exactly one zstd
// frame with its content checksum. Readers tell the two forms apart by the
// zstd magic in the first four stored bytes.
#ifndef TARVEL_CONTAINER_INTERNAL_CODEC_H_
#define TARVEL_CONTAINER_INTERNAL_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "container/file.h"
#include "container/format.h"
#include "container/internal/byte_buffer.h"
#include "container/result.h"

// libzstd's contexts, named here only so that the classes below can hold
// them; codec.cc alone sees their definitions.
struct ZSTD_CCtx_s;
struct ZSTD_DCtx_s;

namespace tarvel {

inline constexpr size_t ENCODE_CHUNK = 32768;
inline constexpr size_t DECODE_CHUNK = 131072;

// Whether "stored" begins with ZSTD_MAGIC (format.h): the mark of a zstd frame.
bool has_zstd_magic(std::string_view stored);

// Level 0: a copy of "data". Otherwise one zstd frame at "level" (passed to
// zstd unchanged). A zstd failure is Io carrying zstd's error name.
Result<std::string> compress_frame(std::string_view data, int32_t level);

// The level at which encode_frame stores, as a zstd frame, bytes that level
// 0 cannot store raw.
inline constexpr int32_t RAW_FALLBACK_LEVEL = 1;

struct StoredFrame {
  std::string bytes;  // what the data section holds for the frame
  int32_t level = 0;  // the level "bytes" were made at
};

// The stored form of a frame being written at "level": compress_frame's,
// except that level 0 never stores bytes that begin with the zstd magic.
// Readers would take those for a zstd frame, so they are stored as one at
// RAW_FALLBACK_LEVEL instead, and "level" says so. Every writer of frames
// goes through here.
Result<StoredFrame> encode_frame(std::string_view data, int32_t level);

// compress_frame with one libzstd context kept from frame to frame. At a
// high level the context's workspace is large (about 90 MiB at level 19),
// and allocating and clearing it for every frame costs more than the
// compression itself; a kept context gives the same bytes, frame for frame,
// as a fresh one. The context is made at the first frame of a non-zero
// level and freed with the encoder.
//
// The stored bytes collect in a buffer that the encoder keeps as well. Room
// for the most that a frame's input can become is taken once per frame and
// never cleared, so the pages that the frame does not reach are never
// touched; zstd writes straight into it.
class FrameEncoder {
 public:
  FrameEncoder() = default;
  ~FrameEncoder();
  FrameEncoder(const FrameEncoder&) = delete;
  FrameEncoder& operator=(const FrameEncoder&) = delete;

  // One frame whose "total" input bytes arrive in pieces: begin, add each
  // piece in order, then finish. Whatever the cut of the input, the stored
  // bytes, the level and every error are those of encode_frame of the whole
  // input. "head" is the start of the input: its first four bytes, or all
  // of it when it is shorter; level 0 stores bytes that begin with the zstd
  // magic as a zstd frame instead (see encode_frame). Returns the level the
  // stored bytes are made at.
  Result<int32_t> begin(int32_t level, std::string_view head, uint64_t total);
  // Each returns the stored bytes that it added: a view into stored(),
  // valid until the encoder next changes.
  // REQUIRES: begin succeeded, and no add or finish of this frame failed.
  Result<std::string_view> add(std::string_view piece);
  Result<std::string_view> finish();
  // The stored bytes of the frame so far.
  std::string_view stored() const { return stored_.view(); }

  // begin, add and finish over all of "data"; the stored bytes are then in
  // stored(). Returns the level the bytes were made at.
  Result<int32_t> encode(std::string_view data, int32_t level);

 private:
  ::ZSTD_CCtx_s* cctx_ = nullptr;
  int32_t level_ = 0;
  ByteBuffer stored_;
};

// decode_one_frame with one libzstd context kept from frame to frame, which
// decodes straight into a buffer that the caller keeps.
class BodyDecoder {
 public:
  BodyDecoder() = default;
  ~BodyDecoder();
  BodyDecoder(const BodyDecoder&) = delete;
  BodyDecoder& operator=(const BodyDecoder&) = delete;

  // Decodes the first zstd frame of "data", with the checks, limit and
  // errors of decode_one_frame. "*work" is a working buffer: it is grown as
  // needed (sized once when the frame header gives the content size) and
  // never shrunk, so that a buffer kept across calls is neither reallocated
  // nor cleared again. Returns the content, a view into "*work" valid until
  // it next changes; "*consumed", when given, gets the bytes the frame took.
  Result<std::string_view> decode(std::string_view data, std::string* work,
                                  uint64_t* consumed = nullptr);

 private:
  ::ZSTD_DCtx_s* dctx_ = nullptr;
};

struct DecodedFrame {
  std::string body;
  uint64_t consumed = 0;  // bytes at the start of the input the frame took
};

// Decodes the first zstd frame of "data"; bytes after its end are ignored.
// Compression for a zstd error; Malformed "truncated zstd frame" or "frame
// decompresses to more than 4294967296 bytes".
Result<DecodedFrame> decode_one_frame(std::string_view data);

// As decode_one_frame, but hands each piece of decoded output (at most
// DECODE_CHUNK bytes, never empty) to "sink" as it is produced instead of
// collecting it; returns the bytes consumed. The sink never sees more than
// MAX_FRAME_BODY bytes in all: the piece that would pass it is not handed
// over. On failure the sink may already have seen part of the body.
//
// Both decoders, and compress_frame, report exhausted memory (a libzstd
// context that cannot be created) as Io "Allocation error : not enough memory".
Result<uint64_t> decode_one_frame_to(
    std::string_view data, const std::function<void(std::string_view)>& sink);

// Decodes one zstd frame whose bytes arrive in pieces, with the checks,
// limit and errors of decode_one_frame: fed the bytes that
// decode_one_frame would be given, cut into pieces of any sizes, it yields
// the same content, the same length and the same error. Only the decoded
// content and libzstd's own window are held, never the input.
class FrameDecoder {
 public:
  FrameDecoder();
  ~FrameDecoder();
  FrameDecoder(const FrameDecoder&) = delete;
  FrameDecoder& operator=(const FrameDecoder&) = delete;

  // Feeds the next piece of input; "last" when no input follows it.
  // Appends the decoded bytes to "*out". Returns true once the frame is
  // complete (bytes of "piece" after its end are ignored), false when the
  // piece is used up and the frame needs more; with "last" it never
  // returns false but fails with Malformed "truncated zstd frame".
  // REQUIRES: no earlier call returned true or an error.
  Result<bool> feed(std::string_view piece, bool last, std::string* out);

  // As above, but hands each piece of decoded output (at most DECODE_CHUNK
  // bytes, never empty) to "sink" as it is produced, so that only one such
  // piece is held however far the frame expands.
  Result<bool> feed(std::string_view piece, bool last,
                    const std::function<void(std::string_view)>& sink);

  // The bytes the frame occupied, once feed returned true.
  uint64_t consumed() const { return consumed_; }

  // Makes the decoder ready for the next frame, as a new one would be, with
  // its libzstd context and its buffer kept.
  void reset();

 private:
  ::ZSTD_DCtx_s* dctx_;
  std::string chunk_;
  uint64_t produced_ = 0;
  uint64_t consumed_ = 0;
};

// The piece of a file read at a time while a frame is decoded from it.
inline constexpr uint64_t SCAN_WINDOW = 262144;

struct FrameAt {
  std::string body;       // the decoded content
  uint64_t consumed = 0;  // bytes the zstd frame occupies in the file
};

// Decodes the zstd frame that starts at data-section offset "offset",
// reading "file" (whose data section starts at "data_start") no further
// than "data_len" bytes into the data section. Content, length and every
// error are those of decode_one_frame over the bytes from "offset" to the
// end of the data section: Compression for a zstd error, Malformed
// "truncated zstd frame" or "frame decompresses to more than 4294967296
// bytes"; Io for a failed read. The bytes are fed to the decoder
// SCAN_WINDOW at a time, so memory stays bounded by the decoded content and
// one window, however far a damaged frame seems to reach.
Result<FrameAt> decode_frame_at(File& file, uint64_t data_start, uint64_t offset,
                                uint64_t data_len);

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_INTERNAL_CODEC_H_
