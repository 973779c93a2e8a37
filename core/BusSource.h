// Drives an sd-bus connection from a GLib main context: the connection's socket and its
// time-outs become one GSource, so every method call, reply and signal of the connection is
// handled on the loop's thread like any other event. Works for any sd_bus: the session bus,
// a private peer-to-peer connection, a server-side connection.
#pragma once

#include <glib.h>
#include <systemd/sd-bus.h>

#include <functional>

namespace sablewick {

class BusSource {
 public:
  // onLost runs once, from the loop, when the connection fails or is closed by the peer; its
  // argument is the negative errno that sd_bus_process reported (or -ECONNRESET). The source is
  // detached by then; the callback may destroy this object.
  BusSource(sd_bus* bus, std::function<void(int error)> onLost,
            GMainContext* context = nullptr);
  // Detaches from the loop and drops this source's reference to the bus; it does not close the
  // connection (its owner decides whether to flush and close).
  ~BusSource();
  BusSource(const BusSource&) = delete;
  BusSource& operator=(const BusSource&) = delete;

  sd_bus* Bus() const { return bus_; }
  bool Attached() const { return source_ != nullptr; }

  // How many messages one dispatch handles at most before the loop gets a turn; the rest wait
  // for the next iteration (sd-bus keeps them queued and asks for an immediate wake-up).
  static constexpr int kMessagesPerDispatch = 64;

 private:
  struct Source;
  static gboolean Prepare(GSource* source, gint* timeoutMs);
  static gboolean Check(GSource* source);
  static gboolean Dispatch(GSource* source, GSourceFunc, gpointer);
  static void Finalize(GSource* source);
  static GSourceFuncs funcs_;
  void Lost(int error);

  sd_bus* bus_;
  std::function<void(int)> onLost_;
  Source* source_ = nullptr;
};

}  // namespace sablewick
