#include "core/App.h"

#include "core/Errors.h"

namespace sablewick {

void XapSink::SendRawXap(std::string_view) {
  throw Failure(kGenericFailure, "this sender takes no raw text");
}

}  // namespace sablewick
