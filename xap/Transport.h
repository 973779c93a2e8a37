// The node's one connection to the xAP network: a receive socket on 127.0.0.1 at the first
// free port from 32768 (a local hub forwards traffic there), a send socket on this machine's
// address and the same port, heartbeats, and the receive queue that the host drains after
// ReceiveTimer's 50 ms.
#pragma once

#include <glib.h>
#include <netinet/in.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "core/App.h"
#include "core/Timer.h"

namespace sablewick {

class XapTransport : public XapSink {
 public:
  static constexpr int kXapPort = 3639;
  static constexpr int kFirstPort = 32768;
  static constexpr int kPortTries = 200;
  // The receive queue's limits: beyond them datagrams are dropped and counted.
  static constexpr size_t kQueueMaxDatagrams = 100000;
  static constexpr size_t kQueueMaxBytes = 64u << 20;

  explicit XapTransport(App& app);
  ~XapTransport() override;
  XapTransport(const XapTransport&) = delete;
  XapTransport& operator=(const XapTransport&) = delete;

  void RegisterNewMessageCallback(std::function<void()> onMessage) {
    messageCallback_ = std::move(onMessage);
  }
  // Removes and returns the oldest queued text; empty when none is waiting.
  std::string GetMessage();
  // The same into the caller's string, whose buffer is reused; false when none is waiting.
  bool TakeMessage(std::string& text);

  bool FilterHeartbeats = true;
  // Sees each heartbeat that FilterHeartbeats keeps out of the queue, as it is read (the MQTT
  // bridge publishes them and follows each device's availability with them).
  std::function<void(std::string_view text)> OnHeartbeat;
  std::string BroadcastAddress = "Default";
  std::string InterfaceAddress = "Default";
  std::string XapClass;

  const std::string& XapSource() const { return xapSource_; }
  const std::string& XapTarget() const { return xapTarget_; }
  const std::string& XapUID() const { return xapUID_; }
  void SetXapSource(std::string_view v);
  void SetXapTarget(std::string_view v);
  void SetXapUID(std::string_view v);

  // Binds both sockets: the port, -1 when no port was free, minus the errno when the send
  // socket could not be bound.
  int32_t Init();
  // What made Init fail, in words (empty after a success).
  const std::string& InitProblem() const { return initProblem_; }
  void SendHeartbeat(int32_t LongInterval);
  void SendXap(std::string_view sTarget, std::string_view sClass, std::string_view sSection,
               std::string_view sData, std::string_view sSubaddress, std::string_view sUID,
               std::string_view sTargetSubaddress) override;
  // Sends the text unchanged; throws when the send fails.
  void SendRawXap(std::string_view sMessage) override;

  std::string GetIP();
  static bool AddressFitsMask(std::string_view mask, std::string_view address);
  // Accepts one received datagram (public so that tests can feed the queue).
  void ProcessReceivedMessage(std::string_view text);

  // Run at every tick of the 55 s alive timer (the watched-device scan).
  std::function<void()> OnAlive;

  int32_t ListenPort() const { return listenPort_; }
  const std::string& LocalAddress() const { return localAddress_; }
  const std::string& SendAddress() const { return sendAddress_; }
  // The hint the node gives when no hub forwards to its receive port: set kHubHintMs after
  // Init while nothing has arrived there, empty again once anything does. Until then a
  // heartbeat goes out every kHubHintMs too, so that a hub started late registers the node.
  static constexpr unsigned kHubHintMs = 30000;
  const std::string& HubHint() const { return hubHint_; }
  size_t QueueLength() const { return queueSizes_.size(); }
  uint64_t Dropped() const { return queueDrops_.total; }
  // Reads the kernel's drop counts of both sockets now (a burst's drops would otherwise show
  // only with the next datagram read): on the alive timer, for status, and at the end.
  void PollKernelDrops();
  // Datagrams the kernel dropped on our sockets because they were not read in time.
  uint64_t KernelDropped() const { return kernelDrops_.total; }
  // xAP messages that arrived (heartbeats left out when they are filtered), dropped or not.
  uint64_t Received() const { return received_; }
  Timer& HBeatTimer() { return hbeatTimer_; }
  Timer& ReceiveTimer() { return receiveTimer_; }
  Timer& AliveTimer() { return aliveTimer_; }

 private:
  void RebuildHead();
  void HeartbeatTick();
  void Send(std::string_view bytes);
  void ReadSocket(int fd);
  void ReadKernelDrops(int fd);
  GSource* WatchReadable(int fd);
  void ReceiveTimerFired();
  void HubHintTimerFired();
  void NoteHubForwarded();

  App& app_;
  std::string xapSource_, xapTarget_, xapUID_;
  std::string sendAddress_, localAddress_;
  std::string initProblem_;
  sockaddr_in sendTo_{};
  int32_t listenPort_ = 0;
  std::string hbeatHead_, hbeatTail_;
  std::string sendBuffer_;
  int16_t hbeatTicks_ = 0;
  // The receive queue: the texts end to end in one buffer (no allocation per datagram), their
  // sizes in arrival order. Emptied by every drain.
  std::string queueText_;
  size_t queueHead_ = 0;  // where the oldest text starts in queueText_
  std::deque<uint32_t> queueSizes_;
  size_t queuedBytes_ = 0;
  uint64_t received_ = 0;
  // Datagrams lost, logged at most once a minute per kind: the first at once, later ones with
  // a drop or an alive tick past the minute.
  struct DropCount {
    uint64_t total = 0;
    uint64_t unreported = 0;
    uint32_t lastReport = 0;
    bool reported = false;
  };
  // Closes both sockets (during the port search, before any watch is made on them).
  void CloseSockets();
  void CountDrops(DropCount& count, uint64_t n, const char* what);
  void ReportDrops(DropCount& count, const char* what, bool force);
  DropCount queueDrops_;   // the receive queue was full
  DropCount kernelDrops_;  // the kernel's socket buffer was full (SO_MEMINFO's drops)
  uint32_t kernelCounter_[2] = {0, 0};  // the kernel's running count, per socket
  std::function<void()> messageCallback_;
  char* arena_ = nullptr;  // the receive slots, mapped at the first read
  bool reading_ = false;
  int winsock1_ = -1;  // receive socket
  int winsock2_ = -1;  // send socket
  GSource* watch1_ = nullptr;
  GSource* watch2_ = nullptr;
  // Under a flood the sockets rest a moment after each full read (see ReadSocket), when their
  // buffers are large enough to hold what arrives meanwhile.
  bool mayRest_[2] = {false, false};
  guint restTimer_[2] = {0, 0};
  gint64 windowStart_[2] = {0, 0};  // the millisecond whose reads are counted
  int windowReads_[2] = {0, 0};
  void Rest(int fd);
  // Whether anything reached the receive port since Init: only a hub (or a sender that knows
  // the port) sends there.
  bool hubForwarded_ = false;
  std::string hubHint_;
  Timer hubHintTimer_;
  Timer aliveTimer_;
  Timer hbeatTimer_;
  Timer receiveTimer_;
};

}  // namespace sablewick
