// The _preview text: the first records of a file rendered field by field,
// made by the first frame close that finds whole records.
#ifndef TARVEL_CONTAINER_INTERNAL_PREVIEW_H_
#define TARVEL_CONTAINER_INTERNAL_PREVIEW_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "container/schema.h"

namespace tarvel {

// At most this many records are rendered.
inline constexpr size_t PREVIEW_RECORDS = 3;
// A joined text longer than this is replaced by the first record's text.
inline constexpr size_t PREVIEW_LIMIT = 1024;

// The preview of the raw tail bytes "tail" (in the schema's layout): the
// first PREVIEW_RECORDS whole records, each the schema's fields in order
// joined by ",", the records joined by ";". A field of an unknown type, or
// whose bytes do not lie inside the record, renders as "?". Plain ASCII.
std::string preview_text(std::string_view tail, const Schema& schema);

// How many bytes at the start of a raw tail preview_text looks at, at most:
// those of the first PREVIEW_RECORDS records, however long they can be in
// "layout". The preview of a tail's first min(length, preview_span) bytes
// is the preview of the whole tail.
uint64_t preview_span(const RecordLayout& layout);

// The fewest significant digits that read back as "v", in plain positional
// notation (never an exponent): 3, 0.1, 1e21 as a 1 and 21 zeros, 1e-7 as
// 0.0000001; "NaN", "inf", "-inf", and "-0" for negative zero.
std::string format_f64(double v);

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_INTERNAL_PREVIEW_H_
