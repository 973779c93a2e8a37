// The hub: one UDP socket on port 3639 that takes every xAP datagram and hands each, byte for
// byte, to every client on this machine that announced its port in a heartbeat. Runs on the
// default GLib main context of the one thread.
//
// Limits: at most kMaxClients clients (more are refused and counted); each wakeup reads at
// most kBatch * kBatchesPerWakeup datagrams before the loop turns again; the hub keeps no
// queue of its own: a datagram is handed to the kernel for every client before the next one
// is read, and what the kernel refuses is counted. Every count of lost datagrams and refused
// clients is logged at once the first time, then at most once a minute.
//
// Idle, the hub wakes only for datagrams and, while clients exist, for the earliest moment a
// client would expire.
#pragma once

#include <glib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace sablewick::hub {

struct HubOptions {
  in_addr listen{};  // INADDR_ANY: every interface
  uint16_t port = 3639;
};

// The exit statuses of sablewick-hub (its unit restarts on none but kExitFailure).
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitPortTaken = 3;

// One line on standard error (journald under the unit). It never holds the hub: on a socket
// (journald's stream) a line that cannot go at once is dropped.
void Say(std::string_view line);

class Hub {
 public:
  static constexpr size_t kMaxClients = 64;
  static constexpr unsigned kBatch = 32;
  static constexpr unsigned kBatchesPerWakeup = 8;
  static constexpr size_t kSlot = 65536;  // the largest UDP datagram fits
  static constexpr size_t kMaxOut = 512;  // forwards handed to the kernel per call
  static constexpr unsigned kReportMs = 60000;
  // Room for every client to register and leave within one minute.
  static constexpr unsigned kEventLinesPerMinute = 4 * kMaxClients;

  explicit Hub(const HubOptions& options);
  ~Hub();
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;

  // Binds the socket and starts watching it. kExitPortTaken when another program holds the
  // address and port, kExitFailure for any other failure; *problem says it in words.
  int Open(std::string* problem);
  // Logs what is not yet reported (at the end).
  void Flush();

 private:
  struct Client {
    uint16_t port = 0;
    uint32_t intervalSeconds = 0;
    gint64 expiresUs = 0;  // monotonic: two intervals after the last heartbeat
    std::string source;
  };

  static gboolean OnReadable(gint fd, GIOCondition condition, gpointer self);
  static gboolean OnExpiry(gpointer self);
  static gboolean OnReport(gpointer self);

  void ReadSocket();
  void TakeHeartbeat(const sockaddr_in& from, std::string_view text);
  void Forward(const char* data, size_t size);
  void SendOut();
  void ArmExpiry();
  void Expire();
  bool IsOwnAddress(in_addr address);
  void Event(const std::string& line);
  void CountDrop(uint64_t& counter, uint64_t n);
  void Report();
  void ReadKernelDrops();

  HubOptions options_;
  int fd_ = -1;
  guint watch_ = 0;
  guint expiryTimer_ = 0;
  gint64 expiryDueUs_ = 0;
  guint reportTimer_ = 0;
  std::vector<Client> clients_;

  // The receive slots and the forwards of one batch, mapped at the first read so that an idle
  // hub holds none of it.
  char* arena_ = nullptr;
  size_t outCount_ = 0;

  // This machine's addresses, read again when a heartbeat comes from one not among them (at
  // most every kAddressRefreshUs).
  std::vector<in_addr_t> ownAddresses_;
  gint64 addressesReadUs_ = 0;

  // Counts for the minute's report: not yet reported, and the totals.
  struct Drops {
    uint64_t forwardsRefused = 0;  // the kernel refused a forward (errno in lastError)
    uint64_t kernelDropped = 0;    // datagrams dropped before the hub read them
    uint64_t clientsRefused = 0;   // heartbeats of new clients beyond kMaxClients
    uint64_t linesLeftOut = 0;     // event lines beyond kEventLinesPerMinute
  } unreported_;
  int lastSendError_ = 0;
  uint32_t kernelDropsSeen_ = 0;
  gint64 eventWindowUs_ = 0;
  unsigned eventLines_ = 0;
};

}  // namespace sablewick::hub
