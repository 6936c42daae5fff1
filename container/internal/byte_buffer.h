// ByteBuffer: a growable run of bytes whose room past the end is never
// cleared. Memory is taken from the allocator as it comes, so the pages of a
// large buffer that no byte has reached yet are never touched (a cleared
// std::string would fault in every one of them), and appending is one copy.
#ifndef TARVEL_CONTAINER_INTERNAL_BYTE_BUFFER_H_
#define TARVEL_CONTAINER_INTERNAL_BYTE_BUFFER_H_

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string_view>
#include <utility>

namespace tarvel {

// Copies "n" bytes, W <= n <= 2 * W, as two moves of W bytes that overlap
// in the middle: the first W bytes and the last W.
template <size_t W>
inline void copy_overlapping(char* to, const char* from, size_t n) {
  char head[W];
  char last[W];
  std::memcpy(head, from, W);
  std::memcpy(last, from + n - W, W);
  std::memcpy(to, head, W);
  std::memcpy(to + n - W, last, W);
}

// Copies "n" bytes from "from" to "to" (which do not overlap). Runs of 8 to
// 32 bytes, the common size of a record, are copied inline; a call of
// memcpy costs more than the copy for them.
inline void copy_bytes(char* to, const char* from, size_t n) {
  if (n >= 16 && n <= 32) {
    copy_overlapping<16>(to, from, n);
  } else if (n >= 8 && n < 16) {
    copy_overlapping<8>(to, from, n);
  } else if (n != 0) {
    std::memcpy(to, from, n);
  }
}

class ByteBuffer {
 public:
  ByteBuffer() = default;
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::move(other.data_)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ByteBuffer& operator=(ByteBuffer&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
  }
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;

  const char* data() const { return data_.get(); }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t capacity() const { return capacity_; }
  std::string_view view() const { return std::string_view(data_.get(), size_); }

  // Empties the buffer; its room is kept.
  void clear() { size_ = 0; }

  // Makes room for at least "n" more bytes behind the content, which is
  // kept; grows by doubling at least. Throws std::bad_alloc, leaving the
  // buffer as it was.
  void reserve_more(size_t n) {
    if (n > capacity_ - size_) [[unlikely]] grow(n);
  }

  // Empties the buffer and makes room for at least "n" bytes. A buffer too
  // small is freed before the new one is taken, so the two are never held
  // together. Throws std::bad_alloc, leaving the buffer empty.
  void reset(size_t n) {
    size_ = 0;
    if (n <= capacity_) return;
    data_.reset();
    capacity_ = 0;
    data_.reset(new char[n]);
    capacity_ = n;
  }

  // Appends "bytes". Throws std::bad_alloc, leaving the buffer as it was.
  void append(std::string_view bytes) {
    reserve_more(bytes.size());
    copy_bytes(data_.get() + size_, bytes.data(), bytes.size());
    size_ += bytes.size();
  }

  // The room behind the content, for a caller that writes into it and then
  // takes what it wrote with "commit".
  // REQUIRES for commit: n <= capacity() - size()
  char* end() { return data_.get() + size_; }
  void commit(size_t n) { size_ += n; }

 private:
  void grow(size_t n) {
    const size_t want = std::max(size_ + n, 2 * capacity_);
    std::unique_ptr<char[]> bigger(new char[want]);
    if (size_ != 0) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    capacity_ = want;
  }

  std::unique_ptr<char[]> data_;
  size_t size_ = 0;
  size_t capacity_ = 0;
};

}  // namespace tarvel

#endif  // TARVEL_CONTAINER_INTERNAL_BYTE_BUFFER_H_
