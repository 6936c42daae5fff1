// A bounded fuzz test of everything that reads a file that may be damaged:
// valid files are mutated (bit flips, truncations, edited _frames and
// counters, junk journals) and every reader and maintenance tool is run on
// each. Whatever the bytes, only error values may come back: a crash, a
// hang or an unbounded allocation fails the test (the sanitizer build
// turns each into a hard failure). The seed is fixed, and the run stops
// after a number of cases or a few seconds, whichever comes first.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>

#include "container/container.h"
#include "container/internal/journal.h"
#include "container/rebuild.h"
#include "container/repack.h"
#include "container/validate.h"
#include "tests/test_util.h"
#include "tests/tool_files.h"

namespace tarvel {
namespace {

using testing::FramePlan;
using testing::ScratchDir;

constexpr int kMaxCases = 400;
constexpr auto kMaxTime = std::chrono::seconds(4);
constexpr uint32_t kArea = 512;

struct Sample {
  std::string file;
  std::string journal;  // empty: no journal beside the file
};

class Fuzz : public ::testing::Test {
 protected:
  void SetUp() override {
    struct Base {
      bool prefixed;
      std::vector<FramePlan> frames;
      uint64_t tail;
      bool sealed;
      std::string torn;
    };
    const Base bases[] = {
        {false, {{1, 3, 20}, {2, 0, 5}, {3, 3, 10}}, 3, false, "ab"},
        {true, {{5, 3, 8}, {5, -1, 4}}, 2, false, ""},
        {true, {{1, 19, 30}}, 0, true, ""},
        {false, {}, 5, false, ""},
    };
    for (const Base& b : bases) {
      const std::string path = dir_.file("base.tarvel");
      std::filesystem::remove(path);
      Schema schema = b.prefixed ? testing::message_schema() : testing::event_schema();
      testing::make_file(path, schema, b.frames, b.tail, b.sealed, b.torn, kArea);
      bases_.push_back({testing::read_file(path), ""});
      // The same file with a complete journal of a close of its tail.
      if (b.tail > 0) {
        testing::make_pending_journal(path, 77, 3);
        bases_.push_back({testing::read_file(path), testing::read_file(journal_path(path))});
        std::filesystem::remove(journal_path(path));
      }
    }
  }

  uint64_t pick(uint64_t n) { return n == 0 ? 0 : rng_() % n; }

  void flip_bits(std::string* bytes, size_t from) {
    if (bytes->size() <= from) return;
    for (uint64_t i = 0, n = 1 + pick(8); i < n; ++i) {
      (*bytes)[from + pick(bytes->size() - from)] ^= static_cast<char>(1u << pick(8));
    }
  }

  // Replaces one number of the stored _frames (or a counter) with a value
  // chosen to sit on a boundary, or drops or repeats an entry.
  void edit_numbers(std::string* bytes) {
    auto pre = Preamble::decode(std::string_view(*bytes).substr(0, PREAMBLE_LEN));
    if (!pre || bytes->size() < PREAMBLE_LEN + pre->header_area) return;
    auto headers = Headers::parse(bytes->substr(PREAMBLE_LEN, pre->header_area));
    if (!headers) return;
    const std::string* text = headers->get("_frames");
    auto frames = parse_frames(text != nullptr ? std::string_view(*text) : "");
    if (!frames) return;
    const uint64_t data_len = bytes->size() - PREAMBLE_LEN - pre->header_area;
    const uint64_t choices[] = {0, 1, 2, 3, 4, data_len, data_len - 1, data_len + 1,
                                UINT64_MAX, UINT64_MAX - PREAMBLE_LEN - pre->header_area,
                                pick(data_len + 1), pick(UINT64_MAX)};
    const uint64_t value = choices[pick(std::size(choices))];
    switch (pick(4)) {
      case 0:
        if (!frames->empty()) {
          Frame& f = (*frames)[pick(frames->size())];
          uint64_t* fields[] = {&f.id, &f.offset, &f.len, &f.hash};
          *fields[pick(4)] = value;
        }
        break;
      case 1:
        if (!frames->empty()) {
          frames->erase(frames->begin() + static_cast<std::ptrdiff_t>(pick(frames->size())));
        }
        break;
      case 2:
        if (!frames->empty()) frames->push_back((*frames)[pick(frames->size())]);
        break;
      default:
        (void)headers->set(pick(2) ? "_records" : "_bytes_raw",
                           pick(2) ? std::to_string(value) : "+0x1");
        break;
    }
    (void)headers->set("_frames", render_frames(*frames));
    auto zone = headers->render(pre->header_area);
    if (zone) bytes->replace(PREAMBLE_LEN, zone->size(), *zone);
  }

  Sample mutate(Sample s) {
    const int rounds = 1 + static_cast<int>(pick(2));
    for (int r = 0; r < rounds; ++r) {
      switch (pick(6)) {
        case 0:
          flip_bits(&s.file, 0);
          break;
        case 1:
          flip_bits(&s.file, PREAMBLE_LEN + kArea);  // the data section only
          break;
        case 2:
          s.file.resize(pick(s.file.size()));
          break;
        case 3:
        case 4:
          edit_numbers(&s.file);
          break;
        default:
          if (!s.journal.empty() && pick(2)) {
            if (pick(2)) {
              flip_bits(&s.journal, 0);
            } else {
              s.journal.resize(pick(s.journal.size()));
            }
          } else {
            s.journal.assign(pick(64), '\0');
            for (char& c : s.journal) c = static_cast<char>(rng_());
            if (pick(2)) s.journal.replace(0, std::min<size_t>(6, s.journal.size()), "TJRNL2");
          }
          break;
      }
    }
    return s;
  }

  // A fresh copy of the sample under the working name, with its journal
  // and without anything an earlier run left.
  std::string place(const Sample& s) {
    const std::string path = dir_.file("case.tarvel");
    std::filesystem::remove(journal_path(path));
    std::filesystem::remove(path + ".repack");
    testing::write_file(path, s.file);
    if (!s.journal.empty()) testing::write_file(journal_path(path), s.journal);
    return path;
  }

  // Every read a reader may make of an open container.
  static void read_everything(Container& c) {
    for (size_t i = 0; i < c.frames().size(); ++i) (void)c.read_frame_at(i);
    if (!c.frames().empty()) (void)c.read_frame(c.frames().back().id);
    (void)c.read_tail();
  }

  void run_all(const Sample& s) {
    (void)peek_headers(place(s));

    if (auto c = Container::open_read(place(s))) read_everything(*c);

    RecordChecker checker = [](std::string_view r) -> std::optional<std::string> {
      if (r.size() % 3 == 0) return std::string("size ") + std::to_string(r.size());
      return std::nullopt;
    };
    if (auto report = validate(place(s), &checker)) {
      EXPECT_LE(report->problems.size(), MAX_PROBLEMS);
    }

    (void)rebuild_headers(place(s), false);
    std::string path = place(s);
    auto fixed = rebuild_headers(path, true);
    if (fixed && fixed->fixed) {
      // A fix writes exactly what the scan derives, so a second look agrees.
      auto again = rebuild_headers(path, false);
      TARVEL_ASSERT_OK(again);
      EXPECT_TRUE(again->differences.empty());
    }

    path = place(s);
    const int32_t levels[] = {0, 1, 3, -1};
    auto repacked = repack(path, levels[pick(std::size(levels))]);
    if (repacked) {
      // A repacked file reads back whole.
      auto c = Container::open_read(path);
      TARVEL_ASSERT_OK(c);
      for (size_t i = 0; i < c->frames().size(); ++i) {
        auto body = c->read_frame_at(i);
        TARVEL_EXPECT_OK(body);
      }
      TARVEL_EXPECT_OK(c->read_tail());
    }
    EXPECT_FALSE(testing::file_exists(path + ".repack"));
  }

  ScratchDir dir_;
  std::vector<Sample> bases_;
  std::mt19937_64 rng_{20261210};
};

TEST_F(Fuzz, MutatedFilesGiveOnlyErrorValues) {
  const auto deadline = std::chrono::steady_clock::now() + kMaxTime;
  int cases = 0;
  for (; cases < kMaxCases && std::chrono::steady_clock::now() < deadline; ++cases) {
    const Sample& base = bases_[pick(bases_.size())];
    run_all(mutate(base));
    if (HasFatalFailure()) return;
  }
  EXPECT_GT(cases, 0);
}

}  // namespace
}  // namespace tarvel
