// Small helpers shared by the library's tests: a scratch directory that is
// removed afterwards, and whole-file reads and writes.
#ifndef TARVEL_TESTS_TEST_UTIL_H_
#define TARVEL_TESTS_TEST_UTIL_H_

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace tarvel::testing {

class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "tarvel-test-XXXXXX").string();
    char* made = mkdtemp(tmpl.data());
    if (made == nullptr) abort();
    path_ = made;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline bool file_exists(const std::string& path) {
  return std::filesystem::exists(path);
}

}  // namespace tarvel::testing

#endif  // TARVEL_TESTS_TEST_UTIL_H_
