// The program's failure convention: an operation that can fail catches every failure of a
// step, leaves it behind as the pending error, reports it with the operation's name and goes
// on with the next step. LogToFile and ReportEvent read the pending error and clear it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace sablewick {

struct PendingError {
  int32_t number = 0;  // 0 when no error is pending
  int32_t line = 0;    // the failing step's label; 0 when none
  std::string description;

  bool IsSet() const { return number != 0; }
  void Clear() { *this = PendingError{}; }
};

// A failure that carries an error number of its own (script-visible errors, system errors).
class Failure : public std::runtime_error {
 public:
  Failure(int32_t number, const std::string& description, std::string source = {})
      : std::runtime_error(description), number_(number), source_(std::move(source)) {}
  int32_t Number() const { return number_; }
  const std::string& Source() const { return source_; }

 private:
  int32_t number_;
  std::string source_;
};

// Error number used for failures that have none of their own (a C++ exception).
inline constexpr int32_t kGenericFailure = 5;

// Throws a Failure for the current errno, prefixed with what was being done.
[[noreturn]] void ThrowSystemError(std::string_view what);

}  // namespace sablewick
