#include "container/codec.h"

#include <zstd.h>

#include <memory>
#include <new>
#include <vector>

namespace tarvel {

namespace {

// libzstd's own name for an allocation failure. A context that cannot be
// created, or a result that cannot grow, means memory is exhausted; both are
// reported the way libzstd reports that case itself, as an Io error.
constexpr const char* kOutOfMemory = "Allocation error : not enough memory";

struct CCtxFree {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};
using CCtxPtr = std::unique_ptr<ZSTD_CCtx, CCtxFree>;
using DCtxPtr = std::unique_ptr<ZSTD_DCtx, DCtxFree>;

Error zstd_io_error(size_t code) {
  return Error::io(IoFailure::message(ZSTD_getErrorName(code)));
}

Error out_of_memory() { return Error::io(IoFailure::message(kOutOfMemory)); }

Result<std::string> compress_with_zstd(std::string_view data, int32_t level) {
  CCtxPtr cctx(ZSTD_createCCtx());
  if (!cctx) return out_of_memory();

  // The level goes to libzstd unchanged: it clamps it to its own range.
  size_t rc = ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level);
  if (ZSTD_isError(rc)) return zstd_io_error(rc);
  rc = ZSTD_CCtx_loadDictionary(cctx.get(), nullptr, 0);
  if (ZSTD_isError(rc)) return zstd_io_error(rc);
  rc = ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1);
  if (ZSTD_isError(rc)) return zstd_io_error(rc);

  std::vector<char> chunk(ENCODE_CHUNK);
  std::string stored;
  ZSTD_inBuffer in{data.data(), data.size(), 0};
  while (in.pos < in.size) {
    ZSTD_outBuffer out{chunk.data(), chunk.size(), 0};
    rc = ZSTD_compressStream(cctx.get(), &out, &in);
    if (ZSTD_isError(rc)) return zstd_io_error(rc);
    stored.append(chunk.data(), out.pos);
  }
  for (;;) {
    ZSTD_outBuffer out{chunk.data(), chunk.size(), 0};
    rc = ZSTD_endStream(cctx.get(), &out);
    if (ZSTD_isError(rc)) return zstd_io_error(rc);
    stored.append(chunk.data(), out.pos);
    if (rc == 0) break;
    // More to come yet nothing written: another call would not progress.
    if (out.pos == 0) return Error::io(IoFailure::message("incomplete frame"));
  }
  return stored;
}

}  // namespace

bool has_zstd_magic(std::string_view stored) {
  return stored.size() >= 4 && stored.substr(0, 4) == std::string_view("\x28\xB5\x2F\xFD", 4);
}

Result<std::string> compress_frame(std::string_view data, int32_t level) {
  if (level == 0) return std::string(data);
  try {
    return compress_with_zstd(data, level);
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

Result<StoredFrame> encode_frame(std::string_view data, int32_t level) {
  if (level == 0 && has_zstd_magic(data)) level = RAW_FALLBACK_LEVEL;
  TRY_ASSIGN(std::string bytes, compress_frame(data, level));
  return StoredFrame{std::move(bytes), level};
}

Result<uint64_t> decode_one_frame_to(
    std::string_view data, const std::function<void(std::string_view)>& sink) {
  DCtxPtr dctx(ZSTD_createDCtx());
  if (!dctx) return out_of_memory();

  std::vector<char> chunk(DECODE_CHUNK, 0);
  ZSTD_inBuffer in{data.data(), data.size(), 0};
  uint64_t total = 0;
  for (;;) {
    ZSTD_outBuffer out{chunk.data(), chunk.size(), 0};
    size_t rc = ZSTD_decompressStream(dctx.get(), &out, &in);
    if (ZSTD_isError(rc)) return Error::compression(ZSTD_getErrorName(rc));
    // The ceiling comes before the end-of-frame test, so a call that both
    // overshoots and completes the frame still fails; the overshooting piece
    // never reaches the sink.
    total += out.pos;
    if (total > MAX_FRAME_BODY) {
      return Error::malformed("frame decompresses to more than 4294967296 bytes");
    }
    if (out.pos > 0) sink(std::string_view(chunk.data(), out.pos));
    if (rc == 0) return static_cast<uint64_t>(in.pos);
    if (out.pos == 0 && in.pos == in.size) return Error::malformed("truncated zstd frame");
  }
}

Result<DecodedFrame> decode_one_frame(std::string_view data) {
  try {
    DecodedFrame frame;
    auto consumed = decode_one_frame_to(
        data, [&frame](std::string_view piece) { frame.body.append(piece); });
    if (!consumed) return std::move(consumed).error();
    frame.consumed = *consumed;
    return frame;
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

FrameDecoder::FrameDecoder() : dctx_(ZSTD_createDCtx()) {}

FrameDecoder::~FrameDecoder() { ZSTD_freeDCtx(dctx_); }

Result<bool> FrameDecoder::feed(std::string_view piece, bool last, std::string* out) {
  try {
    return feed(piece, last, [out](std::string_view decoded) { out->append(decoded); });
  } catch (const std::bad_alloc&) {
    return out_of_memory();
  }
}

Result<bool> FrameDecoder::feed(std::string_view piece, bool last,
                                const std::function<void(std::string_view)>& sink) {
  if (dctx_ == nullptr) return out_of_memory();
  try {
    if (chunk_.empty()) chunk_.assign(DECODE_CHUNK, '\0');
    ZSTD_inBuffer in{piece.data(), piece.size(), 0};
    for (;;) {
      ZSTD_outBuffer o{chunk_.data(), chunk_.size(), 0};
      size_t rc = ZSTD_decompressStream(dctx_, &o, &in);
      if (ZSTD_isError(rc)) return Error::compression(ZSTD_getErrorName(rc));
      produced_ += o.pos;
      if (produced_ > MAX_FRAME_BODY) {
        return Error::malformed("frame decompresses to more than 4294967296 bytes");
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
    return out_of_memory();
  }
}

}  // namespace tarvel
