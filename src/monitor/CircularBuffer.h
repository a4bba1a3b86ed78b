#pragma once

#include <vector>

#include "common/Exception.h"

namespace vel {

// Fixed-capacity ring that remembers the last values added, overwriting the oldest first.
// No lock of its own: the owner serialises access.
template <typename T>
class TCircularBuffer {
 public:
  explicit TCircularBuffer(int size) {
    if (size <= 0) throw Exception("Buffer size must be greater than zero.");
    FBuffer.resize(static_cast<size_t>(size));
    FBufferSize = size;
  }

  int Count() const { return FCount; }
  int Capacity() const { return FBufferSize; }

  void Add(const T& value) {
    FBuffer[static_cast<size_t>(FHead)] = value;
    FHead = (FHead + 1) % FBufferSize;
    if (FCount < FBufferSize) ++FCount;
  }

  bool Contains(const T& value) const {
    for (int i = 0; i < FCount; ++i)
      if (Slot(i) == value) return true;
    return false;
  }

  // 0 is the oldest value held, Count() - 1 the newest.
  const T& GetItem(int index) const {
    if (index < 0 || index >= FCount) throw Exception("Index out of range.");
    return Slot(index);
  }

 private:
  const T& Slot(int index) const {
    return FBuffer[static_cast<size_t>((FHead + FBufferSize - FCount + index) % FBufferSize)];
  }

  std::vector<T> FBuffer;
  int FBufferSize = 0;
  int FHead = 0;
  int FCount = 0;
};

}  // namespace vel
