#include "container/validate.h"

#include <memory>
#include <new>
#include <utility>

#include "container/container.h"
#include "container/error.h"
#include "container/frames.h"
#include "container/journal.h"
#include "container/schema.h"
#include "container/text.h"
#include "container/xxh64.h"

namespace tarvel {

namespace {

// Collects problems up to MAX_PROBLEMS; later ones are dropped while the
// check goes on.
class Problems {
 public:
  void add(std::string text) {
    if (list_.size() < MAX_PROBLEMS) list_.push_back(std::move(text));
  }
  std::vector<std::string> take() && { return std::move(list_); }

 private:
  std::vector<std::string> list_;
};

// _records as a counter: missing, empty or unreadable all count as 0.
uint64_t counter_value(const Headers& headers, std::string_view key) {
  const std::string* value = headers.get(key);
  if (value == nullptr) return 0;
  ParsedUint parsed = parse_uint(*value, 10, UINT64_MAX);
  return parsed.ok ? parsed.value : 0;
}

void check_records(const SplitRecords& split, const RecordChecker* checker,
                   const std::string& prefix, Problems* problems) {
  if (checker == nullptr) return;
  for (std::string_view record : split.records) {
    std::optional<std::string> message = (*checker)(record);
    if (message) problems->add(prefix + *message);
  }
}

Result<ValidateReport> check_file(const std::string& path, const RecordChecker* checker,
                                  Env& env) {
  TRY(replay_journal(env, path));
  TRY_ASSIGN(Container container, Container::open_inner(path, false, env));
  // The checksum needs a frame's stored bytes, which the Container only
  // hands out decoded, so they are read through a second read-only handle.
  TRY_ASSIGN(std::unique_ptr<File> raw,
             env.open(path, OpenMode::kRead).map_error(io_at(path)));

  const RecordLayout& layout = container.schema().layout;
  Problems problems;
  ValidateReport report;

  const std::string* stored_hash = container.headers().get("_schema_hash");
  std::string computed_hash = container.schema().hash_hex();
  std::string stored = stored_hash != nullptr ? *stored_hash : std::string();
  if (stored != computed_hash) {
    problems.add("_schema_hash is " + stored + ", the fields hash to " + computed_hash);
  }

  uint64_t frame_records = 0;
  for (const Frame& frame : container.frames()) {
    report.frames = sat_add(report.frames, 1);
    std::string prefix = "frame " + std::to_string(frame.id) + ": ";
    if (frame.hash != 0) {
      Result<std::string> bytes =
          read_at(*raw, sat_add(container.data_start(), frame.offset), frame.len);
      if (!bytes) {
        problems.add(prefix + bytes.error().to_string());
      } else if (uint64_t got = xxh64(*bytes); got != frame.hash) {
        problems.add(prefix + "checksum mismatch, _frames says " + hex16(frame.hash) +
                     ", the bytes hash to " + hex16(got));
      }
    }
    Result<std::string> body = container.read_frame_body(frame);
    if (!body) {
      problems.add(prefix + body.error().to_string());
      continue;
    }
    SplitRecords split = split_records(*body, layout);
    if (split.torn != 0) problems.add(prefix + std::to_string(split.torn) + " torn bytes");
    frame_records = sat_add(frame_records, split.records.size());
    report.records = sat_add(report.records, split.records.size());
    check_records(split, checker, prefix, &problems);
  }

  Result<std::string> tail = container.read_tail();
  if (!tail) {
    problems.add("tail: " + tail.error().to_string());
  } else {
    SplitRecords split = split_records(*tail, layout);
    report.records = sat_add(report.records, split.records.size());
    check_records(split, checker, "tail: ", &problems);
  }

  uint64_t listed = counter_value(container.headers(), "_records");
  if (listed != frame_records) {
    problems.add("_records says " + std::to_string(listed) + ", the frames hold " +
                 std::to_string(frame_records));
  }

  report.problems = std::move(problems).take();
  return report;
}

}  // namespace

Result<ValidateReport> validate(const std::string& path, const RecordChecker* checker,
                                Env& env) {
  // A damaged file may make any allocation fail (a frame or a tail as long
  // as the file); that is an error value like any other.
  try {
    return check_file(path, checker, env);
  } catch (const std::bad_alloc&) {
    return Error::io(IoFailure::message("Allocation error : not enough memory"));
  }
}

}  // namespace tarvel
