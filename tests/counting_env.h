// CountingEnv: the real file system (or another Env), counting the bytes
// that reads through the files it opens return. Tests and benchmarks use it
// to check how much of a file an operation reads.
#ifndef TARVEL_TESTS_COUNTING_ENV_H_
#define TARVEL_TESTS_COUNTING_ENV_H_

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "container/file.h"

namespace tarvel::testing {

class CountingEnv final : public EnvWrapper {
 public:
  explicit CountingEnv(Env& target = Env::posix()) : EnvWrapper(target) {}

  uint64_t bytes_read = 0;

  Result<std::unique_ptr<File>> open(const std::string& path, OpenMode mode) override {
    TARVEL_TRY_ASSIGN(std::unique_ptr<File> f, target().open(path, mode));
    return std::unique_ptr<File>(new Counted(std::move(f), &bytes_read));
  }

 private:
  class Counted final : public FileWrapper {
   public:
    Counted(std::unique_ptr<File> f, uint64_t* n) : FileWrapper(std::move(f)), n_(n) {}
    Result<size_t> read(char* buf, size_t n) override {
      Result<size_t> r = FileWrapper::read(buf, n);
      if (r) *n_ += *r;
      return r;
    }

   private:
    uint64_t* n_;
  };
};

}  // namespace tarvel::testing

#endif  // TARVEL_TESTS_COUNTING_ENV_H_
