#include "container/frames.h"

#include <algorithm>
#include <utility>

#include "container/internal/text.h"

namespace tarvel {

namespace {

// Cuts the next comma-separated field off the front of "*rest"; an absent
// field reads as empty.
std::string_view next_field(std::string_view* rest) {
  size_t comma = rest->find(',');
  std::string_view field = rest->substr(0, comma);
  *rest = comma == std::string_view::npos ? std::string_view() : rest->substr(comma + 1);
  return field;
}

Result<Frame> parse_entry(std::string_view entry) {
  std::string_view rest = entry;
  std::string_view id_text = next_field(&rest);
  std::string_view offset_text = next_field(&rest);
  bool has_hash = rest.find(',') != std::string_view::npos;
  std::string_view len_text = next_field(&rest);
  // Everything after the third comma, further commas included, is the hash.
  std::string_view hash_text = has_hash ? rest : std::string_view();

  uint64_t values[4] = {0, 0, 0, 0};
  const std::string_view texts[4] = {id_text, offset_text, len_text, hash_text};
  for (int i = 0; i < 4; ++i) {
    if (i == 3 && texts[i].empty()) break;
    ParsedUint v = parse_uint(texts[i], i == 3 ? 16 : 10, UINT64_MAX);
    if (!v.ok) {
      return Error::malformed("bad frame " + quoted(entry) + ": " + int_error_text(v.error));
    }
    values[i] = v.value;
  }
  return Frame{values[0], values[1], values[2], values[3]};
}

}  // namespace

std::string render_frames(const std::vector<Frame>& frames) {
  std::string out;
  for (size_t i = 0; i < frames.size(); ++i) {
    const Frame& f = frames[i];
    if (i > 0) out.push_back(';');
    out += std::to_string(f.id);
    out.push_back(',');
    out += std::to_string(f.offset);
    out.push_back(',');
    out += std::to_string(f.len);
    if (f.hash != 0) {
      out.push_back(',');
      out += hex16(f.hash);
    }
  }
  return out;
}

Result<std::vector<Frame>> parse_frames(std::string_view text) {
  std::vector<Frame> frames;
  std::string_view rest = text;
  while (!rest.empty()) {
    size_t semi = rest.find(';');
    std::string_view entry = rest.substr(0, semi);
    rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
    if (entry.empty()) continue;
    TARVEL_TRY_ASSIGN(Frame frame, parse_entry(entry));
    frames.push_back(frame);
  }
  return frames;
}

Result<std::vector<Frame>> listed_frames(const Headers& headers) {
  const std::string* text = headers.get("_frames");
  return parse_frames(text != nullptr ? std::string_view(*text) : std::string_view());
}

std::optional<std::vector<Frame>> zone_frames(std::string_view zone) {
  Result<Headers> headers = Headers::parse(zone);
  if (!headers) return std::nullopt;
  Result<std::vector<Frame>> frames = listed_frames(*headers);
  if (!frames) return std::nullopt;
  return std::move(frames).value();
}

std::optional<uint64_t> frame_end(const Frame& frame, uint64_t data_start) {
  if (frame.offset > UINT64_MAX - data_start) return std::nullopt;
  const uint64_t start = data_start + frame.offset;
  if (frame.len > UINT64_MAX - start) return std::nullopt;
  return start + frame.len;
}

bool frame_fits(const Frame& frame, uint64_t data_start, uint64_t file_len) {
  const std::optional<uint64_t> end = frame_end(frame, data_start);
  return end && *end <= file_len;
}

Status check_frames_fit(std::span<const Frame> frames, uint64_t data_start,
                        uint64_t file_len) {
  for (const Frame& f : frames) {
    if (frame_fits(f, data_start, file_len)) continue;
    const std::optional<uint64_t> end = frame_end(f, data_start);
    if (!end) return Error::malformed("frame " + std::to_string(f.id) + " overflows a u64 offset");
    return Error::malformed("frame " + std::to_string(f.id) + " ends at " + std::to_string(*end) +
                            " but the file is " + std::to_string(file_len) + " bytes");
  }
  return {};
}

uint64_t tail_start(const std::vector<Frame>& frames, uint64_t data_start) {
  // The furthest end, not the last entry's: with an odd list whose last
  // entry lies lower in the file, the raw tail would otherwise begin inside
  // a frame, whose bytes would be read as records and written over by the
  // next close. For every list the library writes the two agree.
  uint64_t end = 0;
  for (const Frame& f : frames) end = std::max(end, sat_add(f.offset, f.len));
  return sat_add(data_start, end);
}

}  // namespace tarvel
