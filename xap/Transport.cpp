#include "xap/Transport.h"

#include <arpa/inet.h>
#include <glib-unix.h>
#include <ifaddrs.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <vector>

#include "core/Log.h"
#include "core/Text.h"
#include "xap/XapMessage.h"

namespace sablewick {
namespace {

// Large enough that a burst is not lost while a handler runs.
constexpr int kReceiveBuffer = 8 << 20;
// Datagrams read in one wake-up before the loop gets control back.
constexpr int kReadsPerWakeup = 1024;
// Datagrams taken from the kernel in one call, each into a slot of its own that holds the
// largest datagram. The slots are mapped memory: only the pages a datagram fills are backed,
// so small datagrams keep one page per slot.
constexpr unsigned kBatch = 16;
constexpr size_t kSlot = 65536;
constexpr size_t kPage = 4096;
// Under a flood (kBusyRead datagrams or more within a millisecond) a socket is not watched for
// a moment after it was read: what arrives meanwhile is taken in one go instead of in a wake-up
// per few datagrams, which is most of the node's cost then. Everyday traffic never comes near
// it and is read the moment it arrives. Only where the socket's buffer holds far more than can
// arrive in that moment at any rate loopback carries (about 1.2 KB of buffer per small datagram).
constexpr unsigned kRestMs = 1;
constexpr int kBusyRead = 32;
constexpr gint64 kBusyWindowUs = 1000;
constexpr int kRestBuffer = 4 << 20;
// Drops are logged at most once a minute.
constexpr uint32_t kDropReportMs = 60000;
constexpr char kQueueDropText[] = "Receive queue full: ";
constexpr char kKernelDropText[] = "Receive socket full: ";
// The send buffer's capacity kept between messages.
constexpr size_t kKeptSendBuffer = 4096;
// The receive queue's buffer kept once it is empty. A larger one stays while the drains use a
// good part of it (a steady stream does not grow it again every 50 ms) and is given back by
// a drain that used less than a quarter of it, or by the alive timer.
constexpr size_t kKeptQueueBuffer = 64 << 10;

std::vector<std::string_view> SplitDots(std::string_view s) {
  std::vector<std::string_view> pieces;
  size_t start = 0;
  for (;;) {
    const size_t dot = s.find('.', start);
    pieces.push_back(s.substr(start, dot == std::string_view::npos ? dot : dot - start));
    if (dot == std::string_view::npos) return pieces;
    start = dot + 1;
  }
}

long PieceNumber(std::string_view piece) {
  long value = 0;
  if (piece.empty() || piece.size() > 9) throw Failure(13, "Type mismatch");
  for (char c : piece) {
    if (c < '0' || c > '9') throw Failure(13, "Type mismatch");
    value = value * 10 + (c - '0');
  }
  return value;
}

}  // namespace

XapTransport::XapTransport(App& app)
    : app_(app),
      hubHintTimer_([this] { HubHintTimerFired(); }),
      aliveTimer_([this] {
        if (queueSizes_.empty() && queueText_.capacity() > kKeptQueueBuffer) {
          std::string().swap(queueText_);
        }
        PollKernelDrops();
        ReportDrops(queueDrops_, kQueueDropText, false);
        ReportDrops(kernelDrops_, kKernelDropText, false);
        if (OnAlive) OnAlive();
      }),
      hbeatTimer_([this] { HeartbeatTick(); }),
      receiveTimer_([this] { ReceiveTimerFired(); }, /*oneShot=*/true) {
  aliveTimer_.Start(55000);
  hbeatTimer_.Start(20000);
  RebuildHead();
}

XapTransport::~XapTransport() {
  // Drops not yet logged for the minute's limit are logged at the end.
  PollKernelDrops();
  ReportDrops(queueDrops_, kQueueDropText, true);
  ReportDrops(kernelDrops_, kKernelDropText, true);
  for (GSource* watch : {watch1_, watch2_}) {
    if (watch == nullptr) continue;
    g_source_destroy(watch);
    g_source_unref(watch);
  }
  for (guint timer : restTimer_) {
    if (timer != 0) g_source_remove(timer);
  }
  if (winsock1_ >= 0) ::close(winsock1_);
  if (winsock2_ >= 0) ::close(winsock2_);
  if (arena_ != nullptr) ::munmap(arena_, kBatch * kSlot);
}

void XapTransport::SetXapSource(std::string_view v) {
  xapSource_ = v;
  RebuildHead();
}
void XapTransport::SetXapTarget(std::string_view v) {
  xapTarget_ = v;
  RebuildHead();
}
void XapTransport::SetXapUID(std::string_view v) {
  xapUID_ = v;
  RebuildHead();
}

void XapTransport::RebuildHead() {
  hbeatHead_ = "xap-hbeat\n{\nv=12\nhop=1\nuid=" + xapUID_ +
               "\nclass=xap-hbeat.alive\nsource=" + xapSource_ + "\ninterval=";
}

std::string XapTransport::GetMessage() {
  std::string text;
  TakeMessage(text);
  return text;
}

bool XapTransport::TakeMessage(std::string& text) {
  if (queueSizes_.empty()) {
    text.clear();
    return false;
  }
  const size_t size = queueSizes_.front();
  text.assign(queueText_, queueHead_, size);
  queueSizes_.pop_front();
  queuedBytes_ -= size;
  queueHead_ += size;
  if (queueSizes_.empty()) {
    const size_t used = queueText_.size();
    queueHead_ = 0;
    queueText_.clear();
    if (queueText_.capacity() > kKeptQueueBuffer && used < queueText_.capacity() / 4) {
      std::string().swap(queueText_);
    }
  }
  return true;
}

bool XapTransport::AddressFitsMask(std::string_view mask, std::string_view address) {
  const auto m = SplitDots(mask);
  const auto a = SplitDots(address);
  if (m.size() != 4 || a.size() != 4) return false;
  for (size_t i = 0; i < 4; ++i) {
    const long ap = PieceNumber(a[i]);
    const long mp = PieceNumber(m[i]);
    if (ap != (ap & mp)) return false;
  }
  return true;
}

std::string XapTransport::GetIP() {
  // The IPv4 addresses of the interfaces that are up, in the kernel's order, loopback last:
  // the host name often resolves to loopback only, which would put the send socket on the
  // receive socket's address and port.
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return {};
  std::vector<std::string> addresses, loopback;
  for (ifaddrs* ifa = list; ifa != nullptr; ifa = ifa->ifa_next) {
    if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
    if ((ifa->ifa_flags & IFF_UP) == 0) continue;
    char text[INET_ADDRSTRLEN];
    const auto* sin = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr);
    if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) == nullptr) continue;
    ((ifa->ifa_flags & IFF_LOOPBACK) != 0 ? loopback : addresses).emplace_back(text);
  }
  ::freeifaddrs(list);
  addresses.insert(addresses.end(), loopback.begin(), loopback.end());
  if (addresses.empty()) return {};
  for (const std::string& address : addresses) {
    try {
      if (AddressFitsMask(InterfaceAddress, address)) return address;
    } catch (...) {
      SetPendingError(app_, 0);
      LogToFile(app_, "Sablewick", "GetIP");
    }
  }
  // Every address of 127.0.0.0/8 belongs to the loopback interface, though only 127.0.0.1 is
  // listed: a machine with nothing but loopback can still give the send socket an address of
  // its own that way.
  in_addr literal{};
  if (::inet_pton(AF_INET, InterfaceAddress.c_str(), &literal) == 1 &&
      (ntohl(literal.s_addr) >> 24) == 127) {
    return InterfaceAddress;
  }
  return addresses.front();
}

int32_t XapTransport::Init() {
  localAddress_ = GetIP();
  sendAddress_ = EqualsNoCase(BroadcastAddress, "default") ? "255.255.255.255" : BroadcastAddress;

  sendTo_ = {};
  sendTo_.sin_family = AF_INET;
  sendTo_.sin_port = htons(kXapPort);
  if (::inet_pton(AF_INET, sendAddress_.c_str(), &sendTo_.sin_addr) != 1) {
    // A host name rather than an address.
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(sendAddress_.c_str(), nullptr, &hints, &res) == 0 && res != nullptr) {
      sendTo_.sin_addr = reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr;
      ::freeaddrinfo(res);
    }
  }

  initProblem_.clear();
  sockaddr_in receiveAt{};
  receiveAt.sin_family = AF_INET;
  receiveAt.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sockaddr_in sendFrom{};
  sendFrom.sin_family = AF_INET;
  if (localAddress_.empty() ||
      ::inet_pton(AF_INET, localAddress_.c_str(), &sendFrom.sin_addr) != 1) {
    sendFrom.sin_addr.s_addr = htonl(INADDR_ANY);
  }
  char sendShown[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &sendFrom.sin_addr, sendShown, sizeof sendShown);
  // The sending socket on the receive socket's own address (or on every address) would need
  // the very port the receive socket holds: no other port helps.
  const bool clashes = sendFrom.sin_addr.s_addr == receiveAt.sin_addr.s_addr ||
                       sendFrom.sin_addr.s_addr == htonl(INADDR_ANY);

  // A port is taken only when both sockets bind on it; another program (another user's, say)
  // holding either address on a port moves the search to the next one. No address reuse:
  // the search has to find a port that is really free.
  int receiveTaken = 0, sendTaken = 0;
  for (int i = 0; i < kPortTries; ++i) {
    listenPort_ = kFirstPort + i;
    receiveAt.sin_port = sendFrom.sin_port = htons(static_cast<uint16_t>(listenPort_));
    if (winsock1_ < 0) {
      winsock1_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (winsock1_ < 0) {
        const int e = errno;
        initProblem_ = std::string("cannot make the receiving socket: ") + std::strerror(e);
        return -e;
      }
    }
    if (::bind(winsock1_, reinterpret_cast<sockaddr*>(&receiveAt), sizeof receiveAt) != 0) {
      const int e = errno;
      if (e == EADDRINUSE) {
        ++receiveTaken;
        continue;
      }
      CloseSockets();
      initProblem_ = "cannot bind the receiving socket 127.0.0.1:" + std::to_string(listenPort_) +
                     ": " + std::strerror(e);
      return -e;
    }
    winsock2_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (winsock2_ < 0) {
      const int e = errno;
      CloseSockets();
      initProblem_ = std::string("cannot make the sending socket: ") + std::strerror(e);
      return -e;
    }
    const int on = 1;
    ::setsockopt(winsock2_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    if (::bind(winsock2_, reinterpret_cast<sockaddr*>(&sendFrom), sizeof sendFrom) == 0) break;
    const int e = errno;
    CloseSockets();  // the receive port goes back too: the pair moves on together
    if (e == EADDRINUSE && !clashes) {
      ++sendTaken;
      continue;
    }
    initProblem_ = "cannot bind the sending socket " + std::string(sendShown) + ":" +
                   std::to_string(listenPort_) + ": " + std::strerror(e);
    if (e == EADDRINUSE || e == EADDRNOTAVAIL) {
      initProblem_ += "; set InterfaceAddress in Config/Drumlin.ini to an address of this "
                      "machine other than 127.0.0.1 (127.0.0.2 works without a network)";
    }
    return e > 0 ? -e : e;
  }
  if (winsock2_ < 0) {
    CloseSockets();
    initProblem_ = "no port from " + std::to_string(kFirstPort) + " to " +
                   std::to_string(kFirstPort + kPortTries - 1) +
                   " where both sockets bind: the receiving socket's 127.0.0.1 was taken on " +
                   std::to_string(receiveTaken) + " of them, the sending socket's " + sendShown +
                   " on " + std::to_string(sendTaken) +
                   " (other programs hold them: ss -uanp shows which)";
    return -1;
  }

  for (int fd : {winsock1_, winsock2_}) {
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBuffer, sizeof kReceiveBuffer) != 0) {
      ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBuffer, sizeof kReceiveBuffer);
    }
    // What the kernel granted (twice what was asked for, its own bookkeeping included): without
    // the privilege to go past net.core.rmem_max it is often a few hundred KB, too little to rest.
    int granted = 0;
    socklen_t len = sizeof granted;
    mayRest_[fd == winsock1_ ? 0 : 1] =
        ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &len) == 0 && granted >= kRestBuffer;
  }
  watch1_ = WatchReadable(winsock1_);
  watch2_ = WatchReadable(winsock2_);

  hbeatTail_ = "0\nport=" + std::to_string(listenPort_) + "\n}\n";
  // The first heartbeat comes back through a hub within milliseconds of the start, and with
  // the packaged units the hub starts before the node. Half a minute leaves room for a hub
  // started by hand beside the node or slow to start on a loaded machine, and is still soon
  // enough that a user who starts the node and finds nothing arriving sees why.
  hubForwarded_ = false;
  hubHintTimer_.Start(kHubHintMs);
  return listenPort_;
}

void XapTransport::CloseSockets() {
  for (int* fd : {&winsock1_, &winsock2_}) {
    if (*fd >= 0) ::close(*fd);
    *fd = -1;
  }
}

void XapTransport::SendHeartbeat(int32_t LongInterval) {
  int32_t n = LongInterval;
  if (n > 60) n = 60;
  if (n <= 0) n = 0;
  if (n >= 1 && n <= 4) n = 5;
  if (n > 0) {
    hbeatTimer_.Start(static_cast<unsigned>(n) * 1000);
  } else {
    hbeatTimer_.Stop();
  }
  try {
    Send(hbeatHead_ + std::to_string(n) + hbeatTail_);
  } catch (...) {
    // A lost heartbeat must not end the program; the hub re-registers us with the next one.
    SetPendingError(app_, 0);
    LogToFile(app_, "Sablewick", "SendHeartbeat");
  }
}

void XapTransport::HeartbeatTick() {
  hbeatTicks_ = static_cast<int16_t>((hbeatTicks_ + 1) % 10);
  if (hbeatTicks_ == 0) {
    SendHeartbeat(static_cast<int32_t>(std::nearbyint(hbeatTimer_.Interval() / 1000.0)));
  }
}

void XapTransport::Send(std::string_view bytes) {
  if (winsock2_ < 0) throw Failure(kGenericFailure, "the xAP socket is not bound");
  if (::sendto(winsock2_, bytes.data(), bytes.size(), MSG_NOSIGNAL,
               reinterpret_cast<const sockaddr*>(&sendTo_), sizeof sendTo_) < 0) {
    ThrowSystemError("sendto " + sendAddress_);
  }
}

void XapTransport::SendXap(std::string_view sTarget, std::string_view sClass,
                           std::string_view sSection, std::string_view sData,
                           std::string_view sSubaddress, std::string_view sUID,
                           std::string_view sTargetSubaddress) {
  // A failure to send (a text too large for a datagram, no route) reaches the caller: the
  // sending helper logs it, and WriteLog falls back to the log file. The text is what
  // XapMessage composes (header, one section, its items), written into one buffer that keeps
  // its capacity from message to message.
  std::string& b = sendBuffer_;
  b.clear();
  b += "xap-header\n{\nv=12\nhop=1\nuid=";
  b += sUID.empty() ? std::string_view(xapUID_) : sUID;
  b += "\nclass=";
  b += sClass;
  b += "\nsource=";
  b += xapSource_;
  if (!sSubaddress.empty()) {
    b += ':';
    b += sSubaddress;
  }
  b += '\n';
  if (!sTarget.empty()) {
    b += "target=";
    b += sTarget;
    if (!sTargetSubaddress.empty()) {
      b += ':';
      b += sTargetSubaddress;
    }
    b += '\n';
  }
  b += "}\n";
  b += sSection;
  b += "\n{\n";
  std::string_view data = sData;
  while (!data.empty()) {
    const size_t end = data.find('\0');
    const std::string_view item = data.substr(0, end);
    const size_t sep = item.find('\1');
    if (sep != std::string_view::npos) {
      b += item.substr(0, sep);
      b += '=';
      b += item.substr(sep + 1);
      b += '\n';
    }
    if (end == std::string_view::npos) break;
    data.remove_prefix(end + 1);
  }
  b += "}\n";
  Send(b);
  // A rare large text does not keep its buffer.
  if (b.capacity() > kKeptSendBuffer) std::string().swap(b);
}

void XapTransport::SendRawXap(std::string_view sMessage) { Send(sMessage); }

void XapTransport::ProcessReceivedMessage(std::string_view text) {
  if (FilterHeartbeats && !StartsWithNoCase(text, "xap-head")) {
    if (OnHeartbeat && StartsWithNoCase(text, "xap-hbeat")) OnHeartbeat(text);
    return;
  }
  ++received_;
  if (queueSizes_.size() >= kQueueMaxDatagrams || queuedBytes_ + text.size() > kQueueMaxBytes) {
    CountDrops(queueDrops_, 1, kQueueDropText);
    return;
  }
  if (queueText_.size() + text.size() > queueText_.capacity() && queueHead_ > 0) {
    // The texts already taken make room before the buffer grows.
    queueText_.erase(0, queueHead_);
    queueHead_ = 0;
  }
  // Grown by doubling, but never past what the byte limit lets the queue hold.
  const size_t needed = queueText_.size() + text.size();
  if (needed > queueText_.capacity()) {
    queueText_.reserve(std::max(needed, std::min(2 * queueText_.capacity(), kQueueMaxBytes)));
  }
  queuedBytes_ += text.size();
  queueText_.append(text);
  queueSizes_.push_back(static_cast<uint32_t>(text.size()));
  // The first datagram after a drain arms the timer; later ones ride on it, so a steady
  // stream cannot push the notice back forever.
  if (!receiveTimer_.Enabled()) receiveTimer_.Start(50);
}

void XapTransport::CountDrops(DropCount& count, uint64_t n, const char* what) {
  count.total += n;
  count.unreported += n;
  ReportDrops(count, what, !count.reported);
}

void XapTransport::ReportDrops(DropCount& count, const char* what, bool force) {
  if (count.unreported == 0) return;
  const uint32_t now = app_.clock->TickCount();
  if (!force && now - count.lastReport < kDropReportMs) return;
  count.reported = true;
  count.lastReport = now;
  LogToFile(app_, "Sablewick",
            what + std::to_string(count.unreported) + " datagrams dropped");
  count.unreported = 0;
}

void XapTransport::HubHintTimerFired() {
  if (hubForwarded_ || winsock1_ < 0) {
    hubHintTimer_.Stop();
    return;
  }
  if (hubHint_.empty()) {
    hubHint_ =
        "no xAP hub is forwarding to port " + std::to_string(listenPort_) + "; start sablewick-hub";
    LogToFile(app_, "Sablewick", hubHint_);
  }
  // A hub registers the node from a heartbeat, and the node's come ten intervals apart: while
  // none forwards, one more every kHubHintMs lets a hub started now find the node at once
  // instead of minutes later. The regular heartbeats keep their pace (none when switched off).
  if (!hbeatTimer_.Enabled()) return;
  try {
    Send(hbeatHead_ +
         std::to_string(static_cast<int32_t>(std::nearbyint(hbeatTimer_.Interval() / 1000.0))) +
         hbeatTail_);
  } catch (...) {
    SetPendingError(app_, 0);
    LogToFile(app_, "Sablewick", "SendHeartbeat");
  }
}

void XapTransport::NoteHubForwarded() {
  hubForwarded_ = true;
  hubHintTimer_.Stop();
  if (hubHint_.empty()) return;
  hubHint_.clear();
  LogToFile(app_, "Sablewick",
            "an xAP hub forwards to port " + std::to_string(listenPort_) + " now");
}

void XapTransport::ReceiveTimerFired() {
  receiveTimer_.Stop();
  if (messageCallback_) messageCallback_();
}

void XapTransport::ReadSocket(int fd) {
  // The slots hold the batch being handed on; a read nested in a handler (one that ran the
  // loop) waits for the next turn instead of writing over them.
  if (reading_) return;
  if (arena_ == nullptr) {
    void* m = ::mmap(nullptr, kBatch * kSlot, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (m == MAP_FAILED) return;  // the socket stays readable: the next turn tries again
    arena_ = static_cast<char*>(m);
  }
  mmsghdr headers[kBatch];
  iovec slots[kBatch];
  for (unsigned i = 0; i < kBatch; ++i) {
    slots[i] = {arena_ + i * kSlot, kSlot};
    headers[i] = {};
    headers[i].msg_hdr.msg_iov = &slots[i];
    headers[i].msg_hdr.msg_iovlen = 1;
  }
  reading_ = true;
  int read = 0;
  bool drained = false;
  while (read < kReadsPerWakeup) {
    const int n = ::recvmmsg(fd, headers, kBatch, MSG_DONTWAIT, nullptr);
    if (n < 0) {
      if (errno == EINTR) {
        ++read;
        continue;
      }
      // EAGAIN: drained. Anything else loses only the datagram that failed, never queues
      // an earlier one again.
      drained = true;
      break;
    }
    size_t largest = 0;
    for (int i = 0; i < n; ++i) {
      const size_t size = headers[i].msg_len;
      largest = std::max(largest, size);
      try {
        ProcessReceivedMessage(std::string_view(arena_ + i * kSlot, size));
      } catch (...) {
        SetPendingError(app_, 0);
        LogToFile(app_, "Sablewick", "ProcessReceivedMessage");
      }
    }
    // The pages a rare large datagram filled go back at once.
    if (largest > kPage) {
      for (int i = 0; i < n; ++i) {
        const size_t size = headers[i].msg_len;
        if (size > kPage) {
          ::madvise(arena_ + i * kSlot + kPage, (size + kPage - 1) / kPage * kPage - kPage,
                    MADV_DONTNEED);
        }
      }
    }
    if (n > 0 && !hubForwarded_ && fd == winsock1_) NoteHubForwarded();
    read += std::max(n, 1);
    // A short batch means the kernel found the socket empty.
    if (n < static_cast<int>(kBatch)) {
      drained = true;
      break;
    }
  }
  reading_ = false;
  ReadKernelDrops(fd);
  const int i = fd == winsock1_ ? 0 : 1;
  if (mayRest_[i] && read > 0) {
    const gint64 now = g_get_monotonic_time();
    if (now - windowStart_[i] >= kBusyWindowUs) {
      windowStart_[i] = now;
      windowReads_[i] = 0;
    }
    windowReads_[i] += read;
    // A socket left with datagrams (the read stopped at its limit) is read again at the loop's
    // next turn: resting then would let a flood outgrow what one read takes.
    if (drained && windowReads_[i] >= kBusyRead) Rest(fd);
  }
}

void XapTransport::Rest(int fd) {
  const int i = fd == winsock1_ ? 0 : 1;
  GSource*& watch = i == 0 ? watch1_ : watch2_;
  if (!mayRest_[i] || restTimer_[i] != 0) return;
  // Destroying the watch from its own callback is allowed; the loop holds it until it returns.
  if (watch != nullptr) {
    g_source_destroy(watch);
    g_source_unref(watch);
    watch = nullptr;
  }
  struct Ticket {
    XapTransport* self;
    int fd;
  };
  restTimer_[i] = g_timeout_add_full(
      G_PRIORITY_DEFAULT, kRestMs,
      [](gpointer data) -> gboolean {
        const auto* t = static_cast<Ticket*>(data);
        XapTransport& self = *t->self;
        const int n = t->fd == self.winsock1_ ? 0 : 1;
        self.restTimer_[n] = 0;
        // What came meanwhile is read now; a read that is busy again rests again, else the
        // socket is watched as before.
        self.ReadSocket(t->fd);
        GSource*& watch = n == 0 ? self.watch1_ : self.watch2_;
        if (self.restTimer_[n] == 0 && watch == nullptr) watch = self.WatchReadable(t->fd);
        return G_SOURCE_REMOVE;
      },
      new Ticket{this, fd}, [](gpointer data) { delete static_cast<Ticket*>(data); });
}

void XapTransport::ReadKernelDrops(int fd) {
  // The kernel's running count of the datagrams it dropped on this socket for want of
  // buffer, read once per batch rather than carried by every datagram.
  uint32_t info[SK_MEMINFO_VARS] = {};
  socklen_t len = sizeof info;
  if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &len) != 0 ||
      len <= SK_MEMINFO_DROPS * sizeof(uint32_t)) {
    return;
  }
  uint32_t& counter = kernelCounter_[fd == winsock1_ ? 0 : 1];
  const uint32_t total = info[SK_MEMINFO_DROPS];
  if (total != counter) CountDrops(kernelDrops_, total - counter, kKernelDropText);
  counter = total;
}

void XapTransport::PollKernelDrops() {
  // A burst's drops would otherwise show only with the next batch read.
  for (int fd : {winsock1_, winsock2_})
    if (fd >= 0) ReadKernelDrops(fd);
}

GSource* XapTransport::WatchReadable(int fd) {
  GSource* source = g_unix_fd_source_new(fd, G_IO_IN);
  g_source_set_callback(source, reinterpret_cast<GSourceFunc>(+[](gint fd, GIOCondition,
                                                                    gpointer self) -> gboolean {
                          static_cast<XapTransport*>(self)->ReadSocket(fd);
                          return G_SOURCE_CONTINUE;
                        }),
                        this, nullptr);
  // A source that may not recurse is blocked around each dispatch: GLib takes its descriptor
  // out of the poll set and puts it back, and each change wakes the loop (two eventfd writes
  // and an extra turn per batch). Reading never runs the loop, so nothing can recurse here.
  g_source_set_can_recurse(source, TRUE);
  g_source_attach(source, nullptr);
  return source;
}

}  // namespace sablewick
