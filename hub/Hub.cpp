#include "hub/Hub.h"

#include <arpa/inet.h>
#include <errno.h>
#include <glib-unix.h>
#include <ifaddrs.h>
#include <linux/sock_diag.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "hub/Heartbeat.h"

#ifndef SO_MEMINFO
#define SO_MEMINFO 55
#endif

namespace sablewick::hub {
namespace {

constexpr gint64 kAddressRefreshUs = 5 * G_USEC_PER_SEC;
constexpr size_t kPage = 4096;
constexpr size_t kMaxSourceShown = 128;
// Room for a burst while the hub waits for a core. Forced where the hub may (CAP_NET_ADMIN),
// else the kernel grants up to twice net.core.rmem_max (416 KB on a stock system).
constexpr int kReceiveBuffer = 4 << 20;

// The mapped working memory: receive slots first, then the headers of both directions.
struct Arena {
  char slots[Hub::kBatch][Hub::kSlot];
  mmsghdr in[Hub::kBatch];
  iovec inVec[Hub::kBatch];
  sockaddr_in inFrom[Hub::kBatch];
  mmsghdr out[Hub::kMaxOut];
  iovec outVec[Hub::kMaxOut];
  sockaddr_in outTo[Hub::kMaxOut];
};

Arena& ArenaOf(char* p) {
  return *reinterpret_cast<Arena*>(p);
}

std::string AddressText(in_addr a, uint16_t port) {
  char text[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &a, text, sizeof text);
  return std::string(text) + ":" + std::to_string(port);
}

std::string Shown(std::string_view source) {
  std::string s(source.substr(0, kMaxSourceShown));
  for (char& c : s) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  }
  return s;
}

}  // namespace

void Say(std::string_view line) {
  std::string text(line);
  text += '\n';
  // journald's stream is a socket: MSG_DONTWAIT drops a line rather than block the hub.
  if (::send(2, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0) return;
  if (errno == ENOTSOCK) {
    ssize_t written = ::write(2, text.data(), text.size());
    (void)written;
  }
}

Hub::Hub(const HubOptions& options) : options_(options) {
  clients_.reserve(kMaxClients);
}

Hub::~Hub() {
  for (guint* id : {&watch_, &expiryTimer_, &reportTimer_}) {
    if (*id != 0) g_source_remove(*id);
    *id = 0;
  }
  if (fd_ >= 0) ::close(fd_);
  if (arena_ != nullptr) ::munmap(arena_, sizeof(Arena));
}

int Hub::Open(std::string* problem) {
  const std::string where = AddressText(options_.listen, options_.port);
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    *problem = std::string("cannot make a UDP socket: ") + std::strerror(errno);
    return kExitFailure;
  }
  // No SO_REUSEADDR or SO_REUSEPORT: a second hub must fail to bind, not share the port and
  // hand every client each datagram twice.
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(options_.port);
  a.sin_addr = options_.listen;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    const int e = errno;
    if (e == EADDRINUSE) {
      *problem = "cannot listen on " + where +
                 ": the address is in use. Another xAP hub probably runs on this machine; the "
                 "node works with that one, so this hub is not needed (stop the other hub to use "
                 "this one)";
      return kExitPortTaken;
    }
    *problem = "cannot listen on " + where + ": " + std::strerror(e);
    if (e == EADDRNOTAVAIL) *problem += " (no interface of this machine has that address)";
    return kExitFailure;
  }
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0)
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
  watch_ = g_unix_fd_add(fd_, G_IO_IN, &Hub::OnReadable, this);
  return 0;
}

gboolean Hub::OnReadable(gint, GIOCondition, gpointer self) {
  static_cast<Hub*>(self)->ReadSocket();
  return G_SOURCE_CONTINUE;
}

void Hub::ReadSocket() {
  if (arena_ == nullptr) {
    void* m = ::mmap(nullptr, sizeof(Arena), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) return;  // still readable: the next turn tries again
    arena_ = static_cast<char*>(m);
  }
  Arena& ar = ArenaOf(arena_);
  for (unsigned round = 0; round < kBatchesPerWakeup; ++round) {
    for (unsigned i = 0; i < kBatch; ++i) {
      ar.inVec[i] = {ar.slots[i], kSlot};
      ar.in[i] = {};
      ar.in[i].msg_hdr.msg_iov = &ar.inVec[i];
      ar.in[i].msg_hdr.msg_iovlen = 1;
      ar.in[i].msg_hdr.msg_name = &ar.inFrom[i];
      ar.in[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    }
    const int n = ::recvmmsg(fd_, ar.in, kBatch, MSG_DONTWAIT, nullptr);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;  // EAGAIN: nothing more now
    }
    size_t largest = 0;
    for (int i = 0; i < n; ++i) {
      const size_t size = ar.in[i].msg_len;
      largest = std::max(largest, size);
      const std::string_view text(ar.slots[i], size);
      if (ar.in[i].msg_hdr.msg_namelen >= sizeof(sockaddr_in)) TakeHeartbeat(ar.inFrom[i], text);
      Forward(ar.slots[i], size);
    }
    SendOut();
    // The pages a rare large datagram filled go back at once.
    if (largest > kPage) {
      for (int i = 0; i < n; ++i) {
        const size_t size = ar.in[i].msg_len;
        if (size > kPage)
          ::madvise(ar.slots[i] + kPage, (size + kPage - 1) / kPage * kPage - kPage, MADV_DONTNEED);
      }
    }
    if (n < static_cast<int>(kBatch)) break;
  }
  ReadKernelDrops();
}

void Hub::TakeHeartbeat(const sockaddr_in& from, std::string_view text) {
  // Cheap test first: nearly every datagram is an xap-header message.
  size_t start = 0;
  while (start < text.size() && std::strchr(" \t\r\n\v\f", text[start]) != nullptr &&
         text[start] != '\0')
    ++start;
  if (text.size() - start < 9 || (text[start + 4] != 'h' && text[start + 4] != 'H') ||
      (text[start + 5] != 'b' && text[start + 5] != 'B'))
    return;
  const std::optional<Heartbeat> hb = ReadHeartbeat(text);
  if (!hb || !IsOwnAddress(from.sin_addr)) return;

  auto it = std::find_if(clients_.begin(), clients_.end(),
                         [&](const Client& c) { return c.port == hb->port; });
  if (hb->kind == HeartbeatKind::Stop) {
    if (it == clients_.end()) return;
    Event("client at port " + std::to_string(it->port) + " (" + it->source +
          ") stopped: its heartbeat said xap-hbeat.stop");
    clients_.erase(it);
    ArmExpiry();
    return;
  }
  if (hb->port == options_.port) {
    // Forwarding to our own port would hand every datagram back to us without end.
    if (it == clients_.end())
      Event("heartbeat from " + AddressText(from.sin_addr, ntohs(from.sin_port)) +
            " names the hub's own port " + std::to_string(hb->port) + ": not registered");
    return;
  }
  const uint32_t interval = UsedIntervalSeconds(hb->intervalSeconds);
  const gint64 expires =
      g_get_monotonic_time() + 2 * static_cast<gint64>(interval) * G_USEC_PER_SEC;
  if (it != clients_.end()) {
    it->intervalSeconds = interval;
    it->expiresUs = expires;
    if (expires < expiryDueUs_ || expiryTimer_ == 0) ArmExpiry();
    return;
  }
  if (clients_.size() >= kMaxClients) {
    CountDrop(unreported_.clientsRefused, 1);
    return;
  }
  clients_.push_back({hb->port, interval, expires, Shown(hb->source)});
  Event("client at port " + std::to_string(hb->port) + " (" + clients_.back().source +
        ") registered, heartbeat every " + std::to_string(interval) + " s");
  ArmExpiry();
}

void Hub::Forward(const char* data, size_t size) {
  Arena& ar = ArenaOf(arena_);
  for (const Client& c : clients_) {
    if (outCount_ == kMaxOut) SendOut();
    const size_t k = outCount_++;
    ar.outTo[k] = {};
    ar.outTo[k].sin_family = AF_INET;
    ar.outTo[k].sin_port = htons(c.port);
    ar.outTo[k].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ar.outVec[k] = {const_cast<char*>(data), size};
    ar.out[k] = {};
    ar.out[k].msg_hdr.msg_name = &ar.outTo[k];
    ar.out[k].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    ar.out[k].msg_hdr.msg_iov = &ar.outVec[k];
    ar.out[k].msg_hdr.msg_iovlen = 1;
  }
}

void Hub::SendOut() {
  Arena& ar = ArenaOf(arena_);
  size_t done = 0;
  uint64_t refused = 0;
  // Every turn moves on by at least one forward, so the loop ends within outCount_ turns.
  while (done < outCount_) {
    const int n = ::sendmmsg(fd_, ar.out + done, static_cast<unsigned>(outCount_ - done),
                             MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    lastSendError_ = n < 0 ? errno : EIO;
    ++refused;
    ++done;
  }
  outCount_ = 0;
  if (refused > 0) CountDrop(unreported_.forwardsRefused, refused);
}

void Hub::ReadKernelDrops() {
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t len = sizeof info;
  if (::getsockopt(fd_, SOL_SOCKET, SO_MEMINFO, info, &len) != 0 ||
      len < sizeof(uint32_t) * (SK_MEMINFO_DROPS + 1))
    return;
  const uint32_t now = info[SK_MEMINFO_DROPS];
  if (now != kernelDropsSeen_) {
    CountDrop(unreported_.kernelDropped, now - kernelDropsSeen_);
    kernelDropsSeen_ = now;
  }
}

void Hub::ArmExpiry() {
  if (clients_.empty()) {
    if (expiryTimer_ != 0) g_source_remove(expiryTimer_);
    expiryTimer_ = 0;
    return;
  }
  gint64 earliest = G_MAXINT64;
  for (const Client& c : clients_) earliest = std::min(earliest, c.expiresUs);
  // A timer due no later than the earliest expiry stays: it finds the later ones when it fires.
  if (expiryTimer_ != 0 && expiryDueUs_ <= earliest) return;
  if (expiryTimer_ != 0) g_source_remove(expiryTimer_);
  const gint64 waitUs = std::max<gint64>(earliest - g_get_monotonic_time(), 0);
  expiryDueUs_ = earliest;
  expiryTimer_ = g_timeout_add(static_cast<guint>((waitUs + 999) / 1000), &Hub::OnExpiry, this);
}

gboolean Hub::OnExpiry(gpointer self) {
  Hub* hub = static_cast<Hub*>(self);
  hub->expiryTimer_ = 0;
  hub->Expire();
  return G_SOURCE_REMOVE;
}

void Hub::Expire() {
  const gint64 now = g_get_monotonic_time();
  for (auto it = clients_.begin(); it != clients_.end();) {
    if (it->expiresUs > now) {
      ++it;
      continue;
    }
    Event("client at port " + std::to_string(it->port) + " (" + it->source +
          ") dropped: no heartbeat for " + std::to_string(2 * it->intervalSeconds) +
          " s, twice its interval");
    it = clients_.erase(it);
  }
  ArmExpiry();
}

bool Hub::IsOwnAddress(in_addr address) {
  const in_addr_t a = ntohl(address.s_addr);
  if ((a >> 24) == 127) return true;
  auto known = [&] {
    return std::find(ownAddresses_.begin(), ownAddresses_.end(), address.s_addr) !=
           ownAddresses_.end();
  };
  if (known()) return true;
  const gint64 now = g_get_monotonic_time();
  if (addressesReadUs_ != 0 && now - addressesReadUs_ < kAddressRefreshUs) return false;
  addressesReadUs_ = now;
  ownAddresses_.clear();
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    ownAddresses_.push_back(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
  }
  ::freeifaddrs(list);
  return known();
}

void Hub::Event(const std::string& line) {
  const gint64 now = g_get_monotonic_time();
  if (now - eventWindowUs_ >= static_cast<gint64>(kReportMs) * 1000) {
    eventWindowUs_ = now;
    eventLines_ = 0;
  }
  if (eventLines_ >= kEventLinesPerMinute) {
    CountDrop(unreported_.linesLeftOut, 1);
    return;
  }
  ++eventLines_;
  Say(line);
}

void Hub::CountDrop(uint64_t& counter, uint64_t n) {
  counter += n;
  // The first loss is said at once; then the report timer runs while losses go on.
  if (reportTimer_ == 0) {
    Report();
    reportTimer_ = g_timeout_add(kReportMs, &Hub::OnReport, this);
  }
}

gboolean Hub::OnReport(gpointer self) {
  Hub* hub = static_cast<Hub*>(self);
  const Drops& d = hub->unreported_;
  if (d.forwardsRefused + d.kernelDropped + d.clientsRefused + d.linesLeftOut == 0) {
    hub->reportTimer_ = 0;  // a quiet minute: the timer rests until the next loss
    return G_SOURCE_REMOVE;
  }
  hub->Report();
  return G_SOURCE_CONTINUE;
}

void Hub::Report() {
  Drops& d = unreported_;
  std::string line;
  auto add = [&line](uint64_t n, const std::string& what) {
    if (n == 0) return;
    if (!line.empty()) line += ", ";
    line += std::to_string(n) + " " + what;
  };
  add(d.kernelDropped, "datagrams dropped by the kernel before the hub read them");
  add(d.forwardsRefused,
      std::string("forwards refused by the kernel (") + std::strerror(lastSendError_) + ")");
  add(d.clientsRefused,
      "heartbeats of new clients refused (at most " + std::to_string(kMaxClients) + " clients)");
  add(d.linesLeftOut, "log lines left out");
  if (line.empty()) return;
  Say("lost since the last report: " + line);
  d = {};
}

void Hub::Flush() {
  ReadKernelDrops();
  Report();
}

}  // namespace sablewick::hub
