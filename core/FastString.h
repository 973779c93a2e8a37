// Builds a long text from many pieces without copying the whole text at each append. The
// slot bookkeeping (100 at a time) is kept because callers can observe how it grows.
#pragma once

#include <string>
#include <string_view>

namespace sablewick {

class FastString {
 public:
  FastString() { Reset(); }

  void Add(std::string_view value) {
    if (next_ > slots_) slots_ += kStep;
    text_ += value;
    ++next_;
  }
  std::string Value() const { return text_; }
  std::string_view View() const { return text_; }
  void Reset() {
    text_.clear();
    slots_ = kStep;
    next_ = 1;
  }
  // Highest slot index (100 when new; grows by 100).
  int Slots() const { return slots_; }
  int Count() const { return next_ - 1; }

 private:
  static constexpr int kStep = 100;
  std::string text_;
  int slots_ = kStep;
  int next_ = 1;
};

}  // namespace sablewick
