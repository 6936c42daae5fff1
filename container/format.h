// The byte layouts of a container file and of its seal journal, and the
// format's fixed numbers: the one place the writers and the readers of each
// layout take them from. Integers are little-endian (coding.h).
#ifndef TARVEL_CONTAINER_FORMAT_H_
#define TARVEL_CONTAINER_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tarvel {

// ---- The container file ----
//   [0, 16)                  the preamble
//   [16, 16 + header_area)   the header zone: "key:value\n" lines, an empty
//                            line, NUL bytes to the zone's end
//   [data_start, end)        the data section: closed frames back to back,
//                            then the raw tail

// The preamble, field by field.
inline constexpr char MAGIC[] = "TARVEL";  // 6 bytes, no NUL in the file
inline constexpr size_t MAGIC_LEN = 6;
inline constexpr size_t VERSION_AT = 6;      // u8
inline constexpr size_t FLAGS_AT = 7;        // u8
inline constexpr size_t HEADER_AREA_AT = 8;  // u32
inline constexpr size_t RESERVED_AT = 12;    // 4 bytes, written as zero
inline constexpr uint64_t PREAMBLE_LEN = 16;

inline constexpr uint8_t FORMAT_VERSION = 1;
// Bit 0 of the flags byte: the data section is compressed.
inline constexpr uint8_t FLAG_COMPRESSED = 1;

// The header zone begins right behind the preamble; its size is fixed when
// the file is created.
inline constexpr uint32_t DEFAULT_HEADER_AREA = 4096;
inline constexpr uint32_t MAX_HEADER_AREA = 16777216;

// The system headers, in the order that create sets them, ahead of any
// application header.
inline constexpr std::string_view SYSTEM_HEADERS[] = {
    "_schema", "_schema_fields", "_schema_hash", "_record", "_source", "_created_at", "_writer",
    "_compression", "_compression_level", "_records", "_bytes_raw", "_frames", "_preview",
    "_sealed",
};
// The first of them, which no write after create changes: every zone of a
// file begins with these same lines.
inline constexpr std::span<const std::string_view> FIXED_HEADERS{SYSTEM_HEADERS, 7};

// ---- Records of the prefixed layout ----
// Each record is its body's length as a u16, then the body.
inline constexpr size_t RECORD_PREFIX_LEN = 2;
inline constexpr size_t MAX_PREFIXED_BODY = 65535;

// ---- Frames ----
// A frame stored at any level but 0 is one zstd frame, which begins with
// these four bytes; one stored at level 0 is the raw records.
inline constexpr std::string_view ZSTD_MAGIC{"\x28\xB5\x2F\xFD", 4};
// The most bytes that one frame may hold once decoded.
inline constexpr uint64_t MAX_FRAME_BODY = 4294967296ull;

// ---- The seal journal ----
//   [0, 6)        magic "TJRNL2"
//   [6, 14)       body_len N (u64)
//   [14, 22)      body_hash: FNV-1a 64 of the N body bytes (u64)
//   the body, from JOURNAL_HEADER_LEN:
//   [22, 30)      tail_start: absolute container offset of the new frame
//   [30, 38)      zone_len Z (u64)
//   [38, 38+Z)    the new header zone, the bytes for container offset 16
//   [38+Z, 22+N)  the new frame's stored bytes (at least one)
inline constexpr char JOURNAL_MAGIC[] = "TJRNL2";  // 6 bytes in the file
inline constexpr size_t JOURNAL_MAGIC_LEN = 6;
inline constexpr size_t JOURNAL_BODY_LEN_AT = 6;
inline constexpr size_t JOURNAL_BODY_HASH_AT = 14;
inline constexpr size_t JOURNAL_HEADER_LEN = 22;
inline constexpr size_t JOURNAL_TAIL_START_AT = 22;
inline constexpr size_t JOURNAL_ZONE_LEN_AT = 30;
inline constexpr size_t JOURNAL_ZONE_AT = 38;

// ---- How many frames a zone lists ----
// What a header zone holds besides the frames list: the system headers at
// their widest, a preview of PREVIEW_LIMIT bytes and 1 KiB of the caller's
// texts (schema, source, writer). And what each further entry of the list
// takes: an id of any size, an offset below 10^14 and a length below 10^10,
// the checksum and the separator.
inline constexpr uint32_t ZONE_OVERHEAD = 2624;
inline constexpr uint32_t BYTES_PER_FRAME = 64;

// Roughly how many frames a header zone of "header_area" bytes can list.
constexpr uint32_t max_frames_for(uint32_t header_area) {
  return header_area < ZONE_OVERHEAD ? 0 : (header_area - ZONE_OVERHEAD) / BYTES_PER_FRAME;
}

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_FORMAT_H_
