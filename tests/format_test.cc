#include "container/format.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "container/container.h"
#include "container/frames.h"
#include "container/internal/preview.h"
#include "tests/container_test_util.h"
#include "tests/test_util.h"

namespace tarvel::testing {
namespace {

// The figures behind max_frames_for, derived again from what a zone holds.
// The zone of a new file, its counters, level and preview grown to their
// widest and 1 KiB of the caller's texts (schema, source, writer), must take
// max_frames_for(header_area) entries of the widest frame the estimate
// allows for: any id, an offset below 10^14, a length below 10^10. A system
// header that grows, or a new one, makes some zone here overflow.
TEST(MaxFramesFor, ThatManyOfTheWidestFramesFitTheZoneOfAFile) {
  constexpr size_t kCallerText = 1024;
  Schema schema{"readings",
                {{"ts", "u64", 0}, {"sensor", "u32", 8}, {"value", "f64", 12}, {"id", "uuid", 20}},
                RecordLayout::fixed(UINT32_MAX)};
  const std::string writer = "writer 2.1.0";
  const std::string source(
      kCallerText - schema.name.size() - schema.fields_value().size() - writer.size(), 's');
  ScratchDir dir;
  Result<Container> created = Container::create(dir.file("c.tarvel"), schema, source, writer, 0,
                                                DEFAULT_HEADER_AREA, {});
  TARVEL_ASSERT_OK(created);
  Headers headers = created->headers();
  TARVEL_ASSERT_OK(headers.set("_compression_level", "-2147483648"));
  TARVEL_ASSERT_OK(headers.set("_records", std::to_string(UINT64_MAX)));
  TARVEL_ASSERT_OK(headers.set("_bytes_raw", std::to_string(UINT64_MAX)));
  TARVEL_ASSERT_OK(headers.set("_preview", std::string(PREVIEW_LIMIT, '9')));

  const Frame widest{UINT64_MAX, 99999999999999, 9999999999, UINT64_MAX};
  for (const uint32_t area : {ZONE_OVERHEAD, ZONE_OVERHEAD + BYTES_PER_FRAME - 1,
                              ZONE_OVERHEAD + BYTES_PER_FRAME, DEFAULT_HEADER_AREA, 65536u,
                              MAX_HEADER_AREA}) {
    SCOPED_TRACE(area);
    Headers full = headers;
    TARVEL_ASSERT_OK(full.set("_frames",
                              render_frames(std::vector<Frame>(max_frames_for(area), widest))));
    Result<std::string> zone = full.render(area);
    TARVEL_EXPECT_OK(zone);
  }
}

}  // namespace
}  // namespace tarvel::testing
