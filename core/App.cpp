#include "core/App.h"

#include "core/ChildReaper.h"
#include "core/Errors.h"

namespace sablewick {

ChildReaper& App::Reaper() {
  if (!reaper) reaper = std::make_unique<ChildReaper>();
  return *reaper;
}

void XapSink::SendRawXap(std::string_view) {
  throw Failure(kGenericFailure, "this sender takes no raw text");
}

}  // namespace sablewick
