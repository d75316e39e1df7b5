// HeapBlock: sole owner of one malloc'd byte block, released on every path.
// Allocation failure is a state to test (ok()), never an exception.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

class HeapBlock {
 public:
  HeapBlock() = default;
  explicit HeapBlock(size_t size) { Allocate(size); }
  ~HeapBlock() { std::free(data_); }
  HeapBlock(const HeapBlock&) = delete;
  HeapBlock& operator=(const HeapBlock&) = delete;
  HeapBlock(HeapBlock&& other) noexcept : data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
  }
  HeapBlock& operator=(HeapBlock&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = other.data_;
      size_ = other.size_;
      other.data_ = nullptr;
      other.size_ = 0;
    }
    return *this;
  }

  // Replaces the block with a new one of size bytes (contents undefined).
  bool Allocate(size_t size) {
    Release();
    // malloc(0) may give null; a block of no bytes is still a valid block.
    data_ = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
    size_ = data_ != nullptr ? size : 0;
    return data_ != nullptr;
  }
  // Grows or shrinks the block keeping its bytes; on failure the old block
  // stays as it was.
  bool Resize(size_t size) {
    void* grown = std::realloc(data_, size == 0 ? 1 : size);
    if (grown == nullptr) return false;
    data_ = static_cast<uint8_t*>(grown);
    size_ = size;
    return true;
  }
  void Release() {
    std::free(data_);
    data_ = nullptr;
    size_ = 0;
  }

  bool ok() const { return data_ != nullptr; }
  uint8_t* data() { return data_; }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};
