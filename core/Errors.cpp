#include "core/Errors.h"

#include <cerrno>
#include <cstring>

namespace sablewick {

void ThrowSystemError(std::string_view what) {
  const int code = errno;
  std::string text(what);
  text += ": ";
  text += std::strerror(code);
  throw Failure(code != 0 ? code : kGenericFailure, text);
}

}  // namespace sablewick
