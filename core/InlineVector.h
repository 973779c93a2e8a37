// A vector that keeps its first N elements inside the object: the common case costs no
// allocation. For small trivially copyable records only. Elements beyond N go to a vector with
// the given allocator; assignment keeps this vector's allocator where a std::vector with that
// allocator would.
#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <vector>

namespace sablewick {

template <class T, size_t N, class Allocator = std::allocator<T>>
class InlineVector {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  InlineVector() = default;
  explicit InlineVector(const Allocator& allocator) : overflow_(allocator) {}

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() {
    size_ = 0;
    overflow_.clear();
  }
  void push_back(const T& value) {
    if (size_ < N) {
      inline_[size_] = value;
    } else {
      overflow_.push_back(value);
    }
    ++size_;
  }
  T& operator[](size_t i) { return i < N ? inline_[i] : overflow_[i - N]; }
  const T& operator[](size_t i) const { return i < N ? inline_[i] : overflow_[i - N]; }
  T& back() { return (*this)[size_ - 1]; }

 private:
  T inline_[N];
  size_t size_ = 0;
  std::vector<T, Allocator> overflow_;
};

}  // namespace sablewick
