#pragma once
// Reads a fuzzer's input as the fields a target needs: each read takes the
// next bytes, and an input that has run out reads as zeros.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

class FuzzInput {
 public:
  FuzzInput(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  uint32_t Take(int bytes) {
    uint32_t value = 0;
    for (int i = 0; i < bytes && used_ < size_; ++i)
      value |= static_cast<uint32_t>(data_[used_++]) << (8 * i);
    return value;
  }
  size_t Left() const { return size_ - used_; }
  const uint8_t* Next() const { return data_ + used_; }
  void Skip(size_t n) { used_ += n < Left() ? n : Left(); }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t used_ = 0;
};

// A broken invariant: the fuzzer records the input that led here.
inline void Require(bool holds) {
  if (!holds) std::abort();
}
