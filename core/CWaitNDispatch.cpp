#include "core/CWaitNDispatch.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>

#include "core/Errors.h"

namespace sablewick {
namespace {

int64_t MonotonicNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

CWaitNDispatch::~CWaitNDispatch() {
  Cancel();
  if (event_ >= 0) ::close(event_);
}

void CWaitNDispatch::Wait(int32_t ms) {
  if (ms == 0) return;
  if (waiting_) {
    throw Failure(kNotReentrant,
                  "This function is not reentrant. If you want to wait for a second period use "
                  "a new object",
                  "CWaitNDispatch");
  }
  event_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (event_ < 0) ThrowSystemError("eventfd");
  waiting_ = true;
  // A monotonic deadline: a change of the wall clock neither stretches nor cuts the wait.
  const int64_t end = MonotonicNs() + static_cast<int64_t>(ms) * 1000000;
  for (int guard = 0; guard < 1000000; ++guard) {
    const int64_t remaining = end - MonotonicNs();
    if (remaining <= 0) break;
    pollfd pfd{event_, POLLIN, 0};
    const int timeout = static_cast<int>(std::ceil(static_cast<double>(remaining) / 1e6));
    const int n = ::poll(&pfd, 1, timeout);
    if (n > 0) break;  // cancelled
    if (n < 0 && errno != EINTR) break;
  }
  if (OnTimer) OnTimer();
  ::close(event_);
  event_ = -1;
  waiting_ = false;
}

void CWaitNDispatch::Cancel() {
  if (event_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(event_, &one, sizeof one);
  }
}

}  // namespace sablewick
