#include "core/BusSource.h"

#include <poll.h>

#include <cerrno>
#include <cstdint>

namespace sablewick {

struct BusSource::Source {
  GSource base;
  sd_bus* bus;     // own reference, so a handler that drops the owner's cannot pull it away
  gpointer fdTag;
  BusSource* owner;  // null once the owner has gone
  uint64_t deadlineUsec;  // CLOCK_MONOTONIC, UINT64_MAX when sd-bus waits for nothing
  GIOCondition watched;   // what the fd is polled for now
};

GSourceFuncs BusSource::funcs_ = {&BusSource::Prepare, &BusSource::Check, &BusSource::Dispatch,
                                  &BusSource::Finalize, nullptr, nullptr};

namespace {

GIOCondition ToCondition(int events) {
  int cond = 0;
  if (events & POLLIN) cond |= G_IO_IN;
  if (events & POLLOUT) cond |= G_IO_OUT;
  return static_cast<GIOCondition>(cond);
}

// g_get_monotonic_time is CLOCK_MONOTONIC in microseconds, the clock of sd_bus_get_timeout.
uint64_t NowUsec() { return static_cast<uint64_t>(g_get_monotonic_time()); }

}  // namespace

BusSource::BusSource(sd_bus* bus, std::function<void(int)> onLost, GMainContext* context)
    : bus_(bus), onLost_(std::move(onLost)) {
  const int fd = sd_bus_get_fd(bus);
  if (fd < 0) return;  // not started: nothing to watch; the owner sees !Attached()
  source_ = reinterpret_cast<Source*>(g_source_new(&funcs_, sizeof(Source)));
  source_->bus = sd_bus_ref(bus);
  source_->owner = this;
  source_->deadlineUsec = UINT64_MAX;
  source_->watched = G_IO_IN;
  source_->fdTag = g_source_add_unix_fd(&source_->base, fd, source_->watched);
  g_source_set_name(&source_->base, "sd-bus");
  g_source_attach(&source_->base, context);
}

BusSource::~BusSource() {
  if (source_ == nullptr) return;
  source_->owner = nullptr;
  g_source_destroy(&source_->base);
  g_source_unref(&source_->base);
}

gboolean BusSource::Prepare(GSource* gsource, gint* timeoutMs) {
  auto* s = reinterpret_cast<Source*>(gsource);
  *timeoutMs = -1;
  const int events = sd_bus_get_events(s->bus);
  if (events < 0) return TRUE;  // closed or failed: let Dispatch find out and report it
  // Changing the watch wakes the context up, so only touch it when the wish changed.
  const GIOCondition wanted = ToCondition(events);
  if (wanted != s->watched) {
    g_source_modify_unix_fd(gsource, s->fdTag, wanted);
    s->watched = wanted;
  }

  uint64_t until = UINT64_MAX;
  if (sd_bus_get_timeout(s->bus, &until) < 0) return TRUE;
  s->deadlineUsec = until;
  if (until == UINT64_MAX) return FALSE;
  const uint64_t now = NowUsec();
  if (until <= now) {
    *timeoutMs = 0;
    return TRUE;
  }
  const uint64_t waitMs = (until - now + 999) / 1000;
  *timeoutMs = waitMs > G_MAXINT ? G_MAXINT : static_cast<gint>(waitMs);
  return FALSE;
}

gboolean BusSource::Check(GSource* gsource) {
  auto* s = reinterpret_cast<Source*>(gsource);
  if (g_source_query_unix_fd(gsource, s->fdTag) != 0) return TRUE;
  return s->deadlineUsec != UINT64_MAX && s->deadlineUsec <= NowUsec();
}

gboolean BusSource::Dispatch(GSource* gsource, GSourceFunc, gpointer) {
  auto* s = reinterpret_cast<Source*>(gsource);
  for (int i = 0; i < kMessagesPerDispatch; ++i) {
    const int r = sd_bus_process(s->bus, nullptr);
    // A handler may have destroyed the owner; then the connection is no longer ours to drive.
    if (g_source_is_destroyed(gsource) || s->owner == nullptr) return G_SOURCE_REMOVE;
    if (r < 0) {
      s->owner->Lost(r);
      return G_SOURCE_REMOVE;
    }
    if (r == 0) break;
  }
  if (sd_bus_is_open(s->bus) <= 0) {
    s->owner->Lost(-ECONNRESET);
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

void BusSource::Finalize(GSource* gsource) {
  auto* s = reinterpret_cast<Source*>(gsource);
  sd_bus_unref(s->bus);
}

void BusSource::Lost(int error) {
  // Detach first: the callback may delete this object.
  Source* s = source_;
  source_ = nullptr;
  s->owner = nullptr;
  g_source_destroy(&s->base);
  g_source_unref(&s->base);
  if (auto onLost = std::move(onLost_)) onLost(error);
}

}  // namespace sablewick
