// The frames list: where each closed frame lies in the data section.
//
// A frame's position, length and checksum are recorded nowhere but in the
// _frames header: "id,offset,len[,hash]" entries joined by ";", with
// offsets counted from the start of the data section and the hash (XXH64 of
// the stored bytes) as 16 hex digits, absent when 0.
#ifndef TARVEL_CONTAINER_FRAMES_H_
#define TARVEL_CONTAINER_FRAMES_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "container/headers.h"
#include "container/result.h"

namespace tarvel {

struct Frame {
  uint64_t id = 0;      // chosen by the writer; may repeat
  uint64_t offset = 0;  // from the start of the data section
  uint64_t len = 0;     // stored bytes
  uint64_t hash = 0;    // XXH64 of the stored bytes; 0 = none recorded
  bool operator==(const Frame&) const = default;
};

std::string render_frames(const std::vector<Frame>& frames);

// Malformed "bad frame "<entry>": <reason>" for the first entry that does
// not read.
Result<std::vector<Frame>> parse_frames(std::string_view text);

// The frames list that the _frames header of "headers" gives, an absent
// header being the empty list; parse_frames' errors.
Result<std::vector<Frame>> listed_frames(const Headers& headers);

// The frames list of a header zone as stored, or nullopt when the zone or
// its _frames does not parse (a zone torn by a write, or caught mid-write).
std::optional<std::vector<Frame>> zone_frames(std::string_view zone);

// Where "frame" ends in a file whose data section begins at "data_start":
// the absolute offset of its last byte plus one, or nullopt when that is
// past 2^64 - 1.
std::optional<uint64_t> frame_end(const Frame& frame, uint64_t data_start);

// Whether "frame" ends at or before "file_len": the rule that
// check_frames_fit tests, without its messages.
bool frame_fits(const Frame& frame, uint64_t data_start, uint64_t file_len);

// Every frame must end at or before "file_len"; Malformed "frame <id>
// overflows a u64 offset" or "frame <id> ends at <end> but the file is
// <file_len> bytes" for the first that does not.
Status check_frames_fit(std::span<const Frame> frames, uint64_t data_start,
                        uint64_t file_len);

// The absolute offset where the raw tail begins: data_start plus the
// furthest end of any listed frame (saturating), or data_start with no
// frames.
uint64_t tail_start(const std::vector<Frame>& frames, uint64_t data_start);

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_FRAMES_H_
