// What the loop learns about a started process: shared by its object and the loop's
// callbacks, which may outlive the object.
#pragma once

#include <glib.h>
#include <sys/types.h>

#include <string>

namespace sablewick {

struct ProcessState {
  pid_t pid = -1;
  bool ended = false;
  int exitCode = 0;
  struct Stream {
    std::string text;
    bool closed = false;
    guint watch = 0;
  } out, err;
};

}  // namespace sablewick
