// The library's hot paths, each beside the bare work it has to do, measured
// in the same run on the same core: appends against a plain buffer with 64
// KiB writes, frame reads against pread and a kept libzstd context, the
// tools against the reads, checksums and decoding they are made of, and
// frame closes against a kept compression context and the full sequence of
// plain system calls that a close prescribes, a first close of a large tail
// against the bare durable sequence (read the tail, compress, write, cut,
// flush), and repacks against plain calls that pay for their contexts as a
// one-file repack does, and that keep them.
//
// Each row prints medians, the ratio ours / bare, and the page faults
// (minor + major) per call of each side. Files live on tmpfs (/dev/shm),
// the closes also on the disk (the system's temporary directory). The peak
// memory of a close is measured in a fresh process (this program run again
// with --close-memory DIR MIB).
//
// Usage: rows_bench [filter]   runs the rows whose name contains "filter".
#include <fcntl.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/sample_record.h"
#include "container/container.h"
#include "container/file.h"
#include "container/frames.h"
#include "container/hash.h"
#include "container/headers.h"
#include "container/internal/codec.h"
#include "container/internal/tool_access.h"
#include "container/rebuild.h"
#include "container/repack.h"
#include "container/schema.h"
#include "container/validate.h"
#include "tests/counting_env.h"

namespace tarvel {
namespace {

using testing::CountingEnv;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kRecord = 32;
constexpr size_t kMiB = 1 << 20;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "rows_bench: %s\n", what.c_str());
  std::exit(1);
}

template <class T>
T must(Result<T> r, const char* what) {
  if (!r) die(std::string(what) + ": " + r.error().to_string());
  return std::move(r).value();
}

void must(Status s, const char* what) {
  if (!s) die(std::string(what) + ": " + s.error().to_string());
}

uint64_t faults_now() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<uint64_t>(u.ru_minflt + u.ru_majflt);
}

// Median time and mean page faults of one call.
struct Stat {
  double sec = 0;
  double faults = 0;
};

// One side of a row: "prepare" runs untimed before each timed "call".
struct Side {
  std::function<void()> call;
  std::function<void()> prepare = [] {};
};

// Runs both sides "reps" times after one warm-up round each, taking turns
// (in alternating order), so that a machine busy with other work slows
// both sides alike.
std::pair<Stat, Stat> measure(int reps, const Side& ours, const Side& bare) {
  std::vector<double> times[2];
  uint64_t faults[2] = {0, 0};
  const Side* sides[2] = {&ours, &bare};
  for (int i = -1; i < reps; ++i) {
    for (int turn = 0; turn < 2; ++turn) {
      const int k = (i & 1) ? 1 - turn : turn;
      sides[k]->prepare();
      const uint64_t f0 = faults_now();
      const auto t0 = Clock::now();
      sides[k]->call();
      const auto t1 = Clock::now();
      const uint64_t f1 = faults_now();
      if (i < 0) continue;
      times[k].push_back(std::chrono::duration<double>(t1 - t0).count());
      faults[k] += f1 - f0;
    }
  }
  Stat out[2];
  for (int k = 0; k < 2; ++k) {
    std::sort(times[k].begin(), times[k].end());
    out[k].sec = times[k][times[k].size() / 2];
    out[k].faults = static_cast<double>(faults[k]) / reps;
  }
  return {out[0], out[1]};
}

std::string show_time(double sec) {
  char buf[32];
  if (sec < 1e-6) {
    std::snprintf(buf, sizeof buf, "%.1f ns", sec * 1e9);
  } else if (sec < 1e-3) {
    std::snprintf(buf, sizeof buf, "%.2f us", sec * 1e6);
  } else {
    std::snprintf(buf, sizeof buf, "%.2f ms", sec * 1e3);
  }
  return buf;
}

void print_header() {
  std::printf("%-48s %11s %11s %7s %9s %9s  %s\n", "row", "ours", "bare", "ratio", "faults", "bare f.",
              "goal");
}

// "per" divides both sides (for rows measured over many calls at once).
void row(const char* name, Stat ours, Stat bare, const char* goal, double per = 1) {
  std::printf("%-48s %11s %11s %6.2fx %9.1f %9.1f  %s\n", name, show_time(ours.sec / per).c_str(),
              show_time(bare.sec / per).c_str(), ours.sec / bare.sec, ours.faults / per,
              bare.faults / per, goal);
  std::fflush(stdout);
}

std::string records(uint64_t first, size_t bytes) {
  std::string out(bytes / kRecord * kRecord, '\0');
  for (size_t at = 0; at < out.size(); at += kRecord) fill_record(out.data() + at, first++);
  return out;
}

const Schema& schema32() {
  static const Schema s{"sample@1",
                        {{"seq", "u64", 0}, {"ts", "u64", 8}, {"value", "f64", 16},
                         {"noise", "u64", 24}},
                        RecordLayout::fixed(kRecord)};
  return s;
}

Container create(const std::string& path, uint32_t header_area = DEFAULT_HEADER_AREA) {
  std::filesystem::remove(path);
  std::filesystem::remove(path + ".seal");
  return must(Container::create(path, schema32(), "bench", "rows_bench", 0, header_area, {}),
              "create");
}

void append_all(Container& c, std::string_view data) {
  for (size_t at = 0; at < data.size(); at += kRecord) {
    must(c.append_record(data.substr(at, kRecord)), "append");
  }
}

// A file of "n" frames of "frame_bytes" raw bytes each, closed at "level".
void write_frames(const std::string& path, size_t n, size_t frame_bytes, int level,
                  uint32_t header_area = 1 << 16) {
  Container c = create(path, header_area);
  for (size_t f = 0; f < n; ++f) {
    append_all(c, records(f * frame_bytes / kRecord, frame_bytes));
    must(c.close_frame(f, level), "close");
  }
}

// A file of "n" tiny frames (one 32-byte record each, level 3), written as
// bytes and listed in one header rewrite: closing them one by one would
// take long for the sizes measured here.
void write_tiny_frames(const std::string& path, size_t n, uint32_t header_area) {
  {
    Container c = create(path, header_area);
  }
  const std::string rec = records(7, kRecord);
  const std::string stored = must(compress_frame(rec, 3), "compress");
  std::string data;
  data.reserve(n * stored.size());
  std::vector<Frame> frames;
  frames.reserve(n);
  const uint64_t hash = xxh64(stored);
  for (size_t i = 0; i < n; ++i) {
    frames.push_back(Frame{i, data.size(), stored.size(), hash});
    data += stored;
  }
  {
    std::unique_ptr<File> f = must(Env::posix().open(path, OpenMode::kReadWrite), "open");
    const uint64_t len = must(f->length(), "length");
    must(write_all_at(*f, len, data), "write");
  }
  Container c = must(ToolAccess::open_inner(path, true), "open_inner");
  ToolAccess::replace_counts(c, frames, n, n * kRecord);
  must(ToolAccess::mutable_headers(c).set("_frames", render_frames(frames)), "set");
  must(c.flush_headers(), "flush_headers");
}


// Plain reading of a container's frames: one descriptor, kept buffers and
// a kept decompression context.
class BareReader {
 public:
  explicit BareReader(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY)) {
    if (fd_ < 0) die("open " + path);
    Container c = must(Container::open_read(path), "open_read");
    frames_ = c.frames();
    data_start_ = c.data_start();
    dctx_ = ZSTD_createDCtx();
  }
  ~BareReader() {
    ZSTD_freeDCtx(dctx_);
    ::close(fd_);
  }
  const std::vector<Frame>& frames() const { return frames_; }

  std::string_view stored(const Frame& f) {
    if (stored_.size() < f.len) stored_.resize(f.len);
    if (::pread(fd_, stored_.data(), f.len, static_cast<off_t>(data_start_ + f.offset)) !=
        static_cast<ssize_t>(f.len)) {
      die("pread");
    }
    return std::string_view(stored_.data(), f.len);
  }

  size_t decode(std::string_view s) {
    const unsigned long long size = ZSTD_getFrameContentSize(s.data(), s.size());
    if (size == ZSTD_CONTENTSIZE_ERROR) die("not a zstd frame");
    size_t want = size == ZSTD_CONTENTSIZE_UNKNOWN ? 4 * kMiB : size;
    if (body_.size() < want) body_.resize(want);
    for (;;) {
      const size_t n = ZSTD_decompressDCtx(dctx_, body_.data(), body_.size(), s.data(), s.size());
      if (!ZSTD_isError(n)) return n;
      if (ZSTD_getErrorCode(n) != ZSTD_error_dstSize_tooSmall) die(ZSTD_getErrorName(n));
      body_.resize(body_.size() * 2);
    }
  }

  std::string_view body(size_t n) const { return std::string_view(body_.data(), n); }

  // The stored bytes of every frame, read with one pread into a kept
  // buffer; frame "f" is at f.offset in it.
  std::string_view all_stored() {
    const uint64_t end = frames_.empty() ? 0 : frames_.back().offset + frames_.back().len;
    if (all_.size() < end) all_.resize(end);
    if (::pread(fd_, all_.data(), end, static_cast<off_t>(data_start_)) !=
        static_cast<ssize_t>(end)) {
      die("pread");
    }
    return std::string_view(all_.data(), end);
  }

  size_t read_at(size_t index) { return decode(stored(frames_[index])); }

  // What validate has to do: each frame read, checksummed and decoded.
  uint64_t check_all() {
    uint64_t sum = 0;
    for (const Frame& f : frames_) {
      std::string_view s = stored(f);
      sum += xxh64(s) == f.hash;
      sum += decode(s);
    }
    return sum;
  }

 private:
  int fd_;
  std::vector<Frame> frames_;
  uint64_t data_start_ = 0;
  ZSTD_DCtx* dctx_;
  std::string stored_;
  std::string body_;
  std::string all_;
};

// Compression as a close does it, with one kept context and a kept output.
class BareCompressor {
 public:
  BareCompressor() : cctx_(ZSTD_createCCtx()), chunk_(ENCODE_CHUNK, '\0') {}
  ~BareCompressor() { ZSTD_freeCCtx(cctx_); }

  std::string_view compress(std::string_view data, int level) {
    out_.clear();
    ZSTD_CCtx_reset(cctx_, ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setParameter(cctx_, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx_, ZSTD_c_checksumFlag, 1);
    ZSTD_inBuffer in{data.data(), data.size(), 0};
    while (in.pos < in.size) {
      ZSTD_outBuffer o{chunk_.data(), chunk_.size(), 0};
      ZSTD_compressStream(cctx_, &o, &in);
      out_.append(chunk_.data(), o.pos);
    }
    for (;;) {
      ZSTD_outBuffer o{chunk_.data(), chunk_.size(), 0};
      const size_t rc = ZSTD_endStream(cctx_, &o);
      if (ZSTD_isError(rc)) die(ZSTD_getErrorName(rc));
      out_.append(chunk_.data(), o.pos);
      if (rc == 0) break;
    }
    return out_;
  }

  size_t context_bytes() const { return ZSTD_sizeof_CCtx(cctx_); }

 private:
  ZSTD_CCtx* cctx_;
  std::string chunk_;
  std::string out_;
};

void put_u64(char* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<char>(v >> (8 * i));
}

void sync_dir(const std::string& dir) {
  int d = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
  if (d >= 0) {
    ::fsync(d);
    ::close(d);
  }
}

// Every step of a frame close done with plain system calls and kept
// buffers: read the tail, compress, checksum, write and flush the journal
// and its directory, write the frame, cut the file, write the zone, flush,
// remove the journal and flush the directory. The floor that a close can
// approach.
class BareClose {
 public:
  BareClose(const std::string& path, uint32_t header_area)
      : path_(path), dir_(parent_dir(path)), zone_(header_area, '\n') {
    fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
    if (fd_ < 0) die("open " + path);
    std::string head(PREAMBLE_LEN + header_area, '\0');
    if (::pwrite(fd_, head.data(), head.size(), 0) != static_cast<ssize_t>(head.size())) {
      die("pwrite");
    }
    end_ = head.size();
  }
  ~BareClose() {
    ZSTD_freeCCtx(cctx_);
    ::close(fd_);
    std::filesystem::remove(path_);
  }

  // Untimed: the tail as the appends left it.
  void append(std::string_view tail) {
    if (::pwrite(fd_, tail.data(), tail.size(), static_cast<off_t>(end_)) !=
        static_cast<ssize_t>(tail.size())) {
      die("pwrite");
    }
    tail_start_ = end_;
    end_ += tail.size();
  }

  void close(int level) {
    const size_t n = end_ - tail_start_;
    if (tail_.size() < n) tail_.resize(n);
    if (::pread(fd_, tail_.data(), n, static_cast<off_t>(tail_start_)) != static_cast<ssize_t>(n)) {
      die("pread");
    }
    std::string_view stored = cz_.compress(std::string_view(tail_.data(), n), level);
    volatile uint64_t h = xxh64(stored);
    (void)h;
    const size_t body = 16 + zone_.size() + stored.size();
    if (journal_.size() < 22 + body) journal_.resize(22 + body);
    char* j = journal_.data();
    std::memcpy(j, "TJRNL2", 6);
    put_u64(j + 6, body);
    put_u64(j + 22, tail_start_);
    put_u64(j + 30, zone_.size());
    std::memcpy(j + 38, zone_.data(), zone_.size());
    std::memcpy(j + 38 + zone_.size(), stored.data(), stored.size());
    put_u64(j + 14, fnv1a64(std::string_view(j + 22, body)));
    const std::string jpath = path_ + ".seal";
    int jfd = ::open(jpath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (jfd < 0 || ::write(jfd, j, 22 + body) != static_cast<ssize_t>(22 + body)) die("journal");
    ::fsync(jfd);
    ::close(jfd);
    sync_dir(dir_);
    if (::pwrite(fd_, stored.data(), stored.size(), static_cast<off_t>(tail_start_)) !=
        static_cast<ssize_t>(stored.size())) {
      die("pwrite");
    }
    end_ = tail_start_ + stored.size();
    if (::ftruncate(fd_, static_cast<off_t>(end_)) != 0) die("ftruncate");
    if (::pwrite(fd_, zone_.data(), zone_.size(), PREAMBLE_LEN) !=
        static_cast<ssize_t>(zone_.size())) {
      die("pwrite");
    }
    ::fsync(fd_);
    ::unlink(jpath.c_str());
    sync_dir(dir_);
  }

  // The durable core of a close and nothing more: the whole tail read into
  // one buffer, compressed as a close compresses it into a buffer of the
  // compressed bound (neither buffer cleared), the frame written over the
  // tail, the file cut behind it, one flush. With "kept" the buffers and the
  // context are kept from close to close; without, each close makes them
  // afresh, as a program that keeps no memory between closes does.
  void durable_close(int level, bool kept) {
    const size_t n = end_ - tail_start_;
    const size_t bound = ZSTD_compressBound(n) + ENCODE_CHUNK;
    if (!kept || tail_room_ < n) {
      kept_tail_.reset(new char[n]);
      tail_room_ = n;
    }
    if (!kept || out_room_ < bound) {
      kept_out_.reset(new char[bound]);
      out_room_ = bound;
    }
    if (!kept && cctx_ != nullptr) {
      ZSTD_freeCCtx(cctx_);
      cctx_ = nullptr;
    }
    if (cctx_ == nullptr) cctx_ = ZSTD_createCCtx();
    char* tail = kept_tail_.get();
    char* out = kept_out_.get();
    if (::pread(fd_, tail, n, static_cast<off_t>(tail_start_)) != static_cast<ssize_t>(n)) {
      die("pread");
    }
    ZSTD_CCtx_reset(cctx_, ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setParameter(cctx_, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx_, ZSTD_c_checksumFlag, 1);
    ZSTD_inBuffer in{tail, n, 0};
    size_t len = 0;
    while (in.pos < in.size) {
      ZSTD_outBuffer o{out + len, ENCODE_CHUNK, 0};
      ZSTD_compressStream(cctx_, &o, &in);
      len += o.pos;
    }
    for (;;) {
      ZSTD_outBuffer o{out + len, ENCODE_CHUNK, 0};
      const size_t rc = ZSTD_endStream(cctx_, &o);
      if (ZSTD_isError(rc)) die(ZSTD_getErrorName(rc));
      len += o.pos;
      if (rc == 0) break;
    }
    if (::pwrite(fd_, out, len, static_cast<off_t>(tail_start_)) != static_cast<ssize_t>(len)) {
      die("pwrite");
    }
    end_ = tail_start_ + len;
    if (::ftruncate(fd_, static_cast<off_t>(end_)) != 0) die("ftruncate");
    ::fsync(fd_);
    if (!kept) {
      kept_tail_.reset();
      kept_out_.reset();
      tail_room_ = out_room_ = 0;
    }
  }

 private:
  std::string path_;
  std::string dir_;
  std::string zone_;
  int fd_ = -1;
  uint64_t end_ = 0;
  uint64_t tail_start_ = 0;
  std::string tail_;
  std::string journal_;
  BareCompressor cz_;
  std::unique_ptr<char[]> kept_tail_;
  std::unique_ptr<char[]> kept_out_;
  size_t tail_room_ = 0;
  size_t out_room_ = 0;
  ZSTD_CCtx* cctx_ = nullptr;
};

// A close of "tail" bytes at "level" in a container with a zone of
// "header_area" bytes, beside the bare floor of the same close.
void close_row(const char* name, const std::string& dir, uint32_t header_area, size_t tail_bytes,
               int level, int reps, const char* goal) {
  const std::string path = dir + "/close.tarvel";
  Container c = create(path, header_area);
  uint64_t seq = 0;
  uint64_t id = 0;
  BareClose bare(dir + "/close.bare", header_area);
  uint64_t bare_seq = 0;
  auto [ours, floor] = measure(
      reps,
      {[&] { must(c.close_frame(id++, level), "close"); },
       [&] { append_all(c, records(seq, tail_bytes)); seq += tail_bytes / kRecord; }},
      {[&] { bare.close(level); },
       [&] { bare.append(records(bare_seq, tail_bytes)); bare_seq += tail_bytes / kRecord; }});
  row(name, ours, floor, goal);
  std::filesystem::remove(path);
}

// Appends "bytes" of records to "c", one record at a time from a small
// buffer, so that nothing but the Container holds them.
void append_generated(Container& c, uint64_t first, size_t bytes) {
  char rec[kRecord];
  for (uint64_t i = 0; i < bytes / kRecord; ++i) {
    fill_record(rec, first + i);
    must(c.append_record(std::string_view(rec, kRecord)), "append");
  }
}

// A close of a large tail beside the bare durable sequence. With "first",
// by a Container that has closed nothing yet (its first close allocates
// whatever it keeps), beside a bare sequence that allocates afresh as well;
// without, by one Container close after close, beside a bare sequence that
// keeps its buffers and context too.
void large_close_row(const char* name, const std::string& dir, size_t tail_bytes, int level,
                     int reps, bool first) {
  const std::string path = dir + "/large.tarvel";
  std::unique_ptr<Container> c = std::make_unique<Container>(create(path));
  uint64_t id = 0;
  uint64_t seq = 0;
  BareClose bare(dir + "/large.bare", DEFAULT_HEADER_AREA);
  uint64_t bare_seq = 0;
  auto [ours, floor] = measure(
      reps,
      {[&] { must(c->close_frame(id++, level), "close"); },
       [&] {
         if (first) {
           c.reset();
           c = std::make_unique<Container>(create(path));
         }
         append_generated(*c, seq, tail_bytes);
         seq += tail_bytes / kRecord;
       }},
      {[&] { bare.durable_close(level, !first); },
       [&] {
         bare.append(records(bare_seq, tail_bytes));
         bare_seq += tail_bytes / kRecord;
       }});
  row(name, ours, floor, first ? "<= 1.15x, faults <= 1.0x" : "");
  c.reset();
  std::filesystem::remove(path);
}

// A field of /proc/self/status ("VmRSS", "VmHWM") in KiB.
double status_kib(const char* field) {
  std::FILE* f = std::fopen("/proc/self/status", "r");
  if (f == nullptr) die("/proc/self/status");
  char line[256];
  double kib = -1;
  const size_t n = std::strlen(field);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, n) == 0 && line[n] == ':') kib = std::atof(line + n + 1);
  }
  std::fclose(f);
  return kib;
}

// In this process, which has done nothing else: the peak resident memory
// of a first close of a tail of "mib" MiB at level 3, against the memory
// resident before it. The peak is reset right before the close (writing 5
// to clear_refs), so that it is the close's alone.
void close_memory(const std::string& dir, size_t mib) {
  const std::string path = dir + "/memory.tarvel";
  Container c = create(path);
  append_generated(c, 0, mib * kMiB);
  must(c.flush_data(), "flush");
  std::FILE* reset = std::fopen("/proc/self/clear_refs", "w");
  if (reset == nullptr || std::fputs("5", reset) < 0 || std::fclose(reset) != 0) {
    die("cannot reset the peak resident memory");
  }
  const double before = status_kib("VmRSS");
  must(c.close_frame(0, 3), "close");
  const double peak = status_kib("VmHWM");
  std::printf("  peak memory of a close, level 3, %zu MiB tail: %.1f MiB over the %.1f MiB"
              " resident before it (stored frame %.1f MiB)\n",
              mib, (peak - before) / 1024, before / 1024,
              static_cast<double>(c.frames().back().len) / kMiB);
  std::fflush(stdout);
  std::filesystem::remove(path);
}

// Runs close_memory in a fresh process (this program run again), so that
// no earlier row's memory is in its peak.
void close_memory_in_child(const std::string& dir, size_t mib) {
  std::fflush(stdout);
  const pid_t pid = fork();
  if (pid < 0) die("fork");
  if (pid == 0) {
    const std::string arg = std::to_string(mib);
    execl("/proc/self/exe", "rows_bench", "--close-memory", dir.c_str(), arg.c_str(),
          static_cast<char*>(nullptr));
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("close memory child failed");
}

bool wanted(const char* filter, const char* name) {
  return filter == nullptr || std::strstr(name, filter) != nullptr;
}

void pin_to_one_core() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  int cpu = sched_getcpu();
  if (cpu < 0) return;
  const size_t index = static_cast<size_t>(cpu);
  if (!CPU_ISSET(index, &allowed)) return;
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(index, &one);
  if (sched_setaffinity(0, sizeof one, &one) == 0) std::printf("pinned to cpu %d\n", cpu);
}

void run(const char* filter) {
  const std::string shm = "/dev/shm/tarvel-rows-" + std::to_string(getpid());
  const std::string disk =
      (std::filesystem::temp_directory_path() / ("tarvel-rows-" + std::to_string(getpid())))
          .string();
  std::filesystem::create_directories(shm);
  std::filesystem::create_directories(disk);
  print_header();

  if (wanted(filter, "append")) {
    // 1M records of 32 bytes, through the Container and through a plain
    // buffer written 64 KiB at a time.
    const std::string data = records(0, 32 * kMiB);
    const double n = static_cast<double>(data.size() / kRecord);
    std::string buf;
    auto [ours, bare] = measure(
        21,
        {[&] {
          Container c = create(shm + "/append.tarvel");
          append_all(c, data);
          must(c.flush_data(), "flush");
        }},
        {[&] {
          int fd = ::open((shm + "/append.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
          off_t at = 0;
          auto flush = [&] {
            if (::pwrite(fd, buf.data(), buf.size(), at) != static_cast<ssize_t>(buf.size())) {
              die("pwrite");
            }
            at += static_cast<off_t>(buf.size());
            buf.clear();
          };
          for (size_t i = 0; i < data.size(); i += kRecord) {
            buf.append(data.data() + i, kRecord);
            if (buf.size() > WRITE_BEHIND_LIMIT) flush();
          }
          if (!buf.empty()) flush();
          ::close(fd);
        }});
    row("append_record, 32-byte records", ours, bare, "<= 1.5x", n);
  }

  for (size_t mib : {size_t{1}, size_t{16}}) {
    char name[64];
    std::snprintf(name, sizeof name, "read_frame_at, %zu MiB frame, level 3", mib);
    if (!wanted(filter, name)) continue;
    const std::string path = shm + "/read.tarvel";
    write_frames(path, 2, mib * kMiB, 3);
    Container c = must(Container::open_read(path), "open_read");
    BareReader bare(path);
    const int reps = mib == 1 ? 201 : 21;
    auto [ours, base] = measure(reps, {[&] { (void)must(c.read_frame_at(1), "read_frame_at"); }},
                                {[&] { bare.read_at(1); }});
    row(name, ours, base, mib == 1 ? "<= 1.2x, faults within 2x" : "<= 1.2x");
    // The same read through the view that the Python module uses: no copy
    // of the body into a new string.
    auto [view, base2] =
        measure(reps, {[&] { (void)must(c.read_frame_at_view(1), "read_frame_at_view"); }},
                {[&] { bare.read_at(1); }});
    std::snprintf(name, sizeof name, "  read_frame_at_view, %zu MiB frame", mib);
    row(name, view, base2, "");
  }

  if (wanted(filter, "validate") || wanted(filter, "rebuild_headers, 256")) {
    const std::string path = shm + "/tools.tarvel";
    write_frames(path, 256, kMiB, 3);
    BareReader bare(path);
    if (wanted(filter, "validate")) {
      auto [ours, base] = measure(5, {[&] { (void)must(validate(path), "validate"); }},
                                  {[&] { bare.check_all(); }});
      row("validate, 256 frames of 1 MiB", ours, base, "<= 1.2x");
    }
    if (wanted(filter, "rebuild_headers, 256")) {
      auto [ours, base] = measure(5, {[&] { (void)must(rebuild_headers(path, false), "rebuild"); }},
                                  {[&] { bare.check_all(); }});
      row("rebuild_headers, 256 frames of 1 MiB", ours, base, "<= 1.2x");
    }
    std::filesystem::remove(path);
  }

  if (wanted(filter, "rebuild_headers, 16k")) {
    const std::string path = shm + "/tiny.tarvel";
    write_tiny_frames(path, 16384, 1 << 20);
    BareReader bare(path);
    CountingEnv env;
    auto [ours, base] = measure(
        5, {[&] { (void)must(rebuild_headers(path, false, env), "rebuild"); }},
        {[&] {
          for (size_t i = 0; i < bare.frames().size(); ++i) {
            std::string_view s = bare.stored(bare.frames()[i]);
            volatile uint64_t h = xxh64(s);
            (void)h;
            bare.decode(s);
          }
        }});
    row("rebuild_headers, 16k tiny frames", ours, base, "<= 1.5x");
    // The same work from one read of the data section: the floor.
    auto [ours2, once] = measure(
        5, {[&] { (void)must(rebuild_headers(path, false, env), "rebuild"); }},
        {[&] {
          const std::string_view all = bare.all_stored();
          for (const Frame& f : bare.frames()) {
            std::string_view s = all.substr(f.offset, f.len);
            volatile uint64_t h = xxh64(s);
            (void)h;
            bare.decode(s);
          }
        }});
    row("  rebuild_headers, same, bare reads the data once", ours2, once, "");
    const double size = static_cast<double>(std::filesystem::file_size(path));
    std::printf("  bytes read per rebuild: %.0f for a file of %.0f bytes (%.2fx; goal 1x)\n",
                static_cast<double>(env.bytes_read) / 12, size,
                static_cast<double>(env.bytes_read) / 12 / size);
    std::filesystem::remove(path);
  }

  if (wanted(filter, "close_frame, level 19")) {
    BareCompressor cz;
    const std::string tail = records(0, 64 * 1024);
    const std::string path = shm + "/close19.tarvel";
    Container c = create(path);
    uint64_t id = 0;
    auto [ours, base] =
        measure(9, {[&] { must(c.close_frame(id++, 19), "close"); }, [&] { append_all(c, tail); }},
                {[&] { cz.compress(tail, 19); }});
    row("close_frame, level 19, 64 KiB tail", ours, base, "<= 1.2x");
    BareCompressor hot;
    hot.compress(records(0, kMiB), 3);
    std::printf("  a kept compression context holds %.1f MiB at level 19, %.1f MiB at level 3"
                " (ZSTD_sizeof_CCtx)\n",
                static_cast<double>(cz.context_bytes()) / kMiB,
                static_cast<double>(hot.context_bytes()) / kMiB);
  }

  if (wanted(filter, "repack")) {
    const std::string path = shm + "/repack.tarvel";
    write_frames(path, 4, kMiB, 3);
    // Every frame read, decoded, compressed at level 19, written and
    // checksummed, with plain calls.
    auto bare_repack = [&](BareReader& reader, BareCompressor& cz) {
      int fd = ::open((shm + "/repack.bare").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      off_t at = 0;
      for (const Frame& f : reader.frames()) {
        std::string_view s = reader.stored(f);
        const size_t n = reader.decode(s);
        std::string_view packed = cz.compress(reader.body(n), 19);
        if (::pwrite(fd, packed.data(), packed.size(), at) != static_cast<ssize_t>(packed.size())) {
          die("pwrite");
        }
        at += static_cast<off_t>(packed.size());
        volatile uint64_t h = xxh64(packed);
        (void)h;
      }
      ::fsync(fd);
      ::close(fd);
    };
    // A program that repacks one file: its thread's first repack, beside
    // plain calls that make their contexts and buffers afresh as well.
    auto [first, fresh] = measure(
        3, {[&] { std::thread([&] { (void)must(repack(path, 19), "repack"); }).join(); }},
        {[&] {
          BareReader reader(path);
          BareCompressor cz;
          bare_repack(reader, cz);
        }});
    row("repack, level 19, 4 frames of 1 MiB, one file", first, fresh, "<= 1.1x");
    // A program that repacks a folder: every repack after its first, beside
    // plain calls with kept contexts and buffers.
    BareReader reader(path);
    BareCompressor cz;
    auto [later, kept] = measure(3, {[&] { (void)must(repack(path, 19), "repack"); }},
                                 {[&] { bare_repack(reader, cz); }});
    row("  repack, the same, the thread's later repacks", later, kept, "<= 1.1x");
    std::filesystem::remove(path);
    std::filesystem::remove(shm + "/repack.bare");
  }

  for (const auto& [where, dir] : {std::pair{"tmpfs", shm}, std::pair{"disk", disk}}) {
    char name[80];
    std::snprintf(name, sizeof name, "close_frame, level 3, 1 MiB tail, %s", where);
    if (wanted(filter, name)) close_row(name, dir, DEFAULT_HEADER_AREA, kMiB, 3, 21, "<= 1.05x");
    std::snprintf(name, sizeof name, "close_frame, 16 MiB zone, 64 KiB tail, %s", where);
    if (wanted(filter, name)) close_row(name, dir, MAX_HEADER_AREA, 64 * 1024, 3, 21, "<= 1.1x");
  }

  if (wanted(filter, "close_frame, level 3, 64 MiB tail, tmpfs")) {
    large_close_row("close_frame, level 3, 64 MiB tail, tmpfs", shm, 64 * kMiB, 3, 5, true);
    large_close_row("  close_frame, same, later closes (kept buffers)", shm, 64 * kMiB, 3, 5,
                    false);
    for (size_t mib : {size_t{64}, size_t{256}}) close_memory_in_child(shm, mib);
  }

  if (wanted(filter, "close_frame, N frames")) {
    // A small tail so that the work that grows with the list shows.
    const std::string tail = records(0, 4096);
    write_tiny_frames(shm + "/one.tarvel", 1, 1 << 20);
    write_tiny_frames(shm + "/many.tarvel", 16384, 1 << 20);
    Container one = must(Container::open_append(shm + "/one.tarvel"), "open_append");
    Container many = must(Container::open_append(shm + "/many.tarvel"), "open_append");
    uint64_t id = 1u << 30;
    auto [at_many, at_one] = measure(
        41,
        {[&] { must(many.close_frame(id++, 3), "close"); }, [&] { append_all(many, tail); }},
        {[&] { must(one.close_frame(id++, 3), "close"); }, [&] { append_all(one, tail); }});
    row("close_frame, 16k frames listed vs 1 (1 MiB zone)", at_many, at_one, "<= 1.3x");
  }

  if (wanted(filter, "read_frame(id)")) {
    const std::string path = shm + "/many.tarvel";
    const size_t n = 262144;
    write_tiny_frames(path, n, MAX_HEADER_AREA);
    Container c = must(Container::open_read(path), "open_read");
    auto [ours, base] =
        measure(201, {[&] { (void)must(c.read_frame(n - 1), "read_frame"); }},
                {[&] { (void)must(c.read_frame_at(n - 1), "read_frame_at"); }});
    row("read_frame(id) vs read_frame_at, 262k frames", ours, base, "O(1): ~1x");
    std::filesystem::remove(path);
  }

  std::filesystem::remove_all(shm);
  std::filesystem::remove_all(disk);
}

}  // namespace
}  // namespace tarvel

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--close-memory") == 0) {
    tarvel::close_memory(argv[2], std::strtoul(argv[3], nullptr, 10));
    return 0;
  }
  tarvel::pin_to_one_core();
  tarvel::run(argc > 1 ? argv[1] : nullptr);
  return 0;
}
