// BitArray: the host's growable set of bits, used for map-channel requirements.
#pragma once

#include <vector>

class BitArray {
 public:
  BitArray() = default;
  explicit BitArray(int n) : bits_(static_cast<std::size_t>(n > 0 ? n : 0), false) {}

  int GetSize() const { return static_cast<int>(bits_.size()); }
  void SetSize(int n) { bits_.resize(static_cast<std::size_t>(n > 0 ? n : 0), false); }
  // Setting a bit beyond the size grows the array; negative indices are ignored.
  void Set(int i, bool on = true) {
    if (i < 0) return;
    if (i >= GetSize()) SetSize(i + 1);
    bits_[static_cast<std::size_t>(i)] = on;
  }
  void Clear(int i) { Set(i, false); }
  bool operator[](int i) const { return i >= 0 && i < GetSize() && bits_[static_cast<std::size_t>(i)]; }
  int NumberSet() const {
    int n = 0;
    for (bool b : bits_) n += b;
    return n;
  }

 private:
  std::vector<bool> bits_;
};
