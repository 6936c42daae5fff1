#include "container/internal/codec.h"

#include <zstd.h>

#include <algorithm>
#include <new>
#include <vector>

#include "container/internal/text.h"

namespace tarvel {

namespace {

// The most that a frame header's content size may make BodyDecoder
// allocate at once.
constexpr unsigned long long kMaxSizeHint = 64ull << 20;

// The one message for a frame whose body passes MAX_FRAME_BODY.
Error frame_too_large() {
  return Error::malformed("frame decompresses to more than " + std::to_string(MAX_FRAME_BODY) +
                          " bytes");
}

Error zstd_io_error(size_t code) {
  return Error::io(IoFailure::message(ZSTD_getErrorName(code)));
}

}  // namespace

bool has_zstd_magic(std::string_view stored) {
  return stored.starts_with(ZSTD_MAGIC);
}

Result<std::string> compress_frame(std::string_view data, int32_t level) try {
  if (level == 0) return std::string(data);
  FrameEncoder encoder;
  TARVEL_TRY(encoder.encode(data, level));
  return std::string(encoder.stored());
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

FrameEncoder::~FrameEncoder() { ZSTD_freeCCtx(cctx_); }

Result<int32_t> FrameEncoder::begin(int32_t level, std::string_view head, uint64_t total) try {
  if (level == 0 && has_zstd_magic(head)) level = RAW_FALLBACK_LEVEL;
  level_ = level;
  if (level == 0) {
    stored_.reset(static_cast<size_t>(total));
    return level;
  }
  // A frame never takes more than the bound, and each call of zstd is
  // offered ENCODE_CHUNK bytes of room behind what it wrote so far.
  const size_t bound = ZSTD_compressBound(static_cast<size_t>(total));
  if (ZSTD_isError(bound)) return Error::out_of_memory();
  stored_.reset(bound + ENCODE_CHUNK);
  if (cctx_ == nullptr) {
    cctx_ = ZSTD_createCCtx();
    if (cctx_ == nullptr) return Error::out_of_memory();
  } else {
    // Back to a fresh context's state, workspace kept: the frame comes out
    // as it would from a new context. This also ends a frame that an
    // earlier failure left half made.
    ZSTD_CCtx_reset(cctx_, ZSTD_reset_session_and_parameters);
  }
  // The level goes to libzstd unchanged: it clamps it to its own range.
  size_t rc = ZSTD_CCtx_setParameter(cctx_, ZSTD_c_compressionLevel, level);
  if (ZSTD_isError(rc)) return zstd_io_error(rc);
  rc = ZSTD_CCtx_loadDictionary(cctx_, nullptr, 0);
  if (ZSTD_isError(rc)) return zstd_io_error(rc);
  rc = ZSTD_CCtx_setParameter(cctx_, ZSTD_c_checksumFlag, 1);
  if (ZSTD_isError(rc)) return zstd_io_error(rc);
  return level;
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<std::string_view> FrameEncoder::add(std::string_view piece) try {
  const size_t from = stored_.size();
  if (level_ == 0) {
    stored_.append(piece);
    return stored_.view().substr(from);
  }
  ZSTD_inBuffer in{piece.data(), piece.size(), 0};
  while (in.pos < in.size) {
    // Room is there unless libzstd's bound were wrong; growing keeps the
    // bytes either way.
    stored_.reserve_more(ENCODE_CHUNK);
    ZSTD_outBuffer out{stored_.end(), ENCODE_CHUNK, 0};
    const size_t rc = ZSTD_compressStream(cctx_, &out, &in);
    if (ZSTD_isError(rc)) return zstd_io_error(rc);
    stored_.commit(out.pos);
  }
  return stored_.view().substr(from);
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<std::string_view> FrameEncoder::finish() try {
  const size_t from = stored_.size();
  if (level_ == 0) return stored_.view().substr(from);
  for (;;) {
    stored_.reserve_more(ENCODE_CHUNK);
    ZSTD_outBuffer out{stored_.end(), ENCODE_CHUNK, 0};
    const size_t rc = ZSTD_endStream(cctx_, &out);
    if (ZSTD_isError(rc)) return zstd_io_error(rc);
    stored_.commit(out.pos);
    if (rc == 0) break;
    // More to come yet nothing written: another call would not progress.
    if (out.pos == 0) return Error::io(IoFailure::message("incomplete frame"));
  }
  return stored_.view().substr(from);
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<int32_t> FrameEncoder::encode(std::string_view data, int32_t level) {
  TARVEL_TRY_ASSIGN(const int32_t used, begin(level, data.substr(0, 4), data.size()));
  TARVEL_TRY(add(data));
  TARVEL_TRY(finish());
  return used;
}

BodyDecoder::~BodyDecoder() { ZSTD_freeDCtx(dctx_); }

Result<std::string_view> BodyDecoder::decode(std::string_view data, std::string* work,
                                             uint64_t* consumed) try {
  if (dctx_ == nullptr) {
    dctx_ = ZSTD_createDCtx();
    if (dctx_ == nullptr) return Error::out_of_memory();
  } else {
    // A frame that failed half-way leaves the context mid-frame.
    ZSTD_DCtx_reset(dctx_, ZSTD_reset_session_only);
  }
  // A content size in the frame header sizes the buffer once; it is only a
  // hint (the header may lie), the limit below is what holds.
  const unsigned long long declared = ZSTD_getFrameContentSize(data.data(), data.size());
  // Taken only up to a bound, so that a damaged header cannot make a small
  // input allocate gigabytes; a larger body grows by doubling.
  size_t want = DECODE_CHUNK;
  if (declared != ZSTD_CONTENTSIZE_UNKNOWN && declared != ZSTD_CONTENTSIZE_ERROR) {
    want = static_cast<size_t>(std::clamp<unsigned long long>(declared + 1, DECODE_CHUNK,
                                                               kMaxSizeHint));
  }
  if (work->size() < want) work->resize(want);

  ZSTD_inBuffer in{data.data(), data.size(), 0};
  uint64_t total = 0;
  for (;;) {
    if (total == work->size()) work->resize(std::max(2 * work->size(), total + DECODE_CHUNK));
    // At most DECODE_CHUNK bytes per call, as decode_one_frame offers.
    const size_t room = std::min(work->size() - static_cast<size_t>(total), DECODE_CHUNK);
    ZSTD_outBuffer out{work->data() + total, room, 0};
    size_t rc = ZSTD_decompressStream(dctx_, &out, &in);
    if (ZSTD_isError(rc)) return Error::compression(ZSTD_getErrorName(rc));
    total += out.pos;
    if (total > MAX_FRAME_BODY) {
      return frame_too_large();
    }
    if (rc == 0) {
      if (consumed != nullptr) *consumed = in.pos;
      return std::string_view(work->data(), static_cast<size_t>(total));
    }
    if (out.pos == 0 && in.pos == in.size) return Error::malformed("truncated zstd frame");
  }
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<StoredFrame> encode_frame(std::string_view data, int32_t level) try {
  FrameEncoder encoder;
  StoredFrame frame;
  TARVEL_TRY_ASSIGN(frame.level, encoder.encode(data, level));
  frame.bytes = encoder.stored();
  return frame;
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

// The whole input is one piece: the frame must end within it.
Result<uint64_t> decode_one_frame_to(
    std::string_view data, const std::function<void(std::string_view)>& sink) try {
  FrameDecoder decoder;
  TARVEL_TRY(decoder.feed(data, /*last=*/true, sink));
  return decoder.consumed();
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

Result<DecodedFrame> decode_one_frame(std::string_view data) {
  try {
    BodyDecoder decoder;
    DecodedFrame frame;
    TARVEL_TRY_ASSIGN(std::string_view body, decoder.decode(data, &frame.body, &frame.consumed));
    frame.body.resize(body.size());
    return frame;
  } catch (const std::bad_alloc&) {
    return Error::out_of_memory();
  }
}

FrameDecoder::FrameDecoder() : dctx_(ZSTD_createDCtx()) {}

FrameDecoder::~FrameDecoder() { ZSTD_freeDCtx(dctx_); }

void FrameDecoder::reset() {
  if (dctx_ != nullptr) ZSTD_DCtx_reset(dctx_, ZSTD_reset_session_only);
  produced_ = 0;
  consumed_ = 0;
}

Result<bool> FrameDecoder::feed(std::string_view piece, bool last, std::string* out) {
  try {
    return feed(piece, last, [out](std::string_view decoded) { out->append(decoded); });
  } catch (const std::bad_alloc&) {
    return Error::out_of_memory();
  }
}

Result<bool> FrameDecoder::feed(std::string_view piece, bool last,
                                const std::function<void(std::string_view)>& sink) {
  if (dctx_ == nullptr) return Error::out_of_memory();
  try {
    if (chunk_.empty()) chunk_.assign(DECODE_CHUNK, '\0');
    ZSTD_inBuffer in{piece.data(), piece.size(), 0};
    for (;;) {
      ZSTD_outBuffer o{chunk_.data(), chunk_.size(), 0};
      size_t rc = ZSTD_decompressStream(dctx_, &o, &in);
      if (ZSTD_isError(rc)) return Error::compression(ZSTD_getErrorName(rc));
      produced_ += o.pos;
      if (produced_ > MAX_FRAME_BODY) {
        return frame_too_large();
      }
      if (o.pos > 0) sink(std::string_view(chunk_.data(), o.pos));
      if (rc == 0) {
        consumed_ += in.pos;
        return true;
      }
      // No output and this piece used up: only at the end of all input is
      // the frame truncated; otherwise the next piece goes on from here,
      // just as decode_one_frame would go on with the bytes that follow.
      if (o.pos == 0 && in.pos == in.size) {
        if (last) return Error::malformed("truncated zstd frame");
        consumed_ += in.pos;
        return false;
      }
    }
  } catch (const std::bad_alloc&) {
    return Error::out_of_memory();
  }
}

Result<FrameAt> decode_frame_at(File& file, uint64_t data_start, uint64_t offset,
                                uint64_t data_len) try {
  // The frame is fed to the decoder one window at a time. Decoding the
  // same bytes in pieces gives the same content, length and error as
  // decoding a window that grows to the end of the data section, while
  // only the decoded content and one window are held.
  FrameDecoder decoder;
  FrameAt result;
  uint64_t pos = offset;
  for (;;) {
    const uint64_t rest = pos < data_len ? data_len - pos : 0;
    const size_t want = static_cast<size_t>(std::min(rest, SCAN_WINDOW));
    TARVEL_TRY_ASSIGN(std::string piece, read_at(file, sat_add(data_start, pos), want));
    // A short read means the file ends sooner than it did at the open.
    const bool last = piece.size() == rest || piece.size() < want;
    TARVEL_TRY_ASSIGN(bool done, decoder.feed(piece, last, &result.body));
    if (done) {
      result.consumed = decoder.consumed();
      return result;
    }
    pos += piece.size();
  }
} catch (const std::bad_alloc&) {
  return Error::out_of_memory();
}

}  // namespace tarvel
