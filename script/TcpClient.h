// One outgoing TCP connection for scripts' fire-and-forget text (SendTCP). Text that arrives
// before the connection is up waits (only the newest), and a refused or lost connection is
// retried every 20 seconds. Replies are read and thrown away.
//
// Plain non-blocking sockets on the loop; a host name is resolved with the C library's
// asynchronous resolver, so a slow name server never holds the program.
#pragma once

#include <glib.h>
#include <netdb.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "core/App.h"
#include "core/Timer.h"

namespace sablewick {

class TcpClient {
 public:
  // The socket's states as scripts and logs number them.
  enum State : int { kClosed = 0, kResolving = 4, kConnecting = 6, kConnected = 7, kError = 9 };
  static constexpr unsigned kRetryMs = 20000;
  // Unsent bytes kept while the peer does not read; beyond this the connection is dropped.
  static constexpr size_t kMaxUnsent = 4u << 20;

  explicit TcpClient(App& app, unsigned retryMs = kRetryMs);
  ~TcpClient();
  TcpClient(const TcpClient&) = delete;
  TcpClient& operator=(const TcpClient&) = delete;

  void RemoteConnect(std::string_view sIP, int32_t iPort);
  // True when the text went to the socket now, false when it was left waiting.
  bool RemoteSend(std::string_view sData);
  void RemoteClose();

  State GetState() const { return state_; }
  const std::string& PendingData() const { return pendingData_; }
  Timer& WinsockTimer() { return winsockTimer_; }
  void WinsockTimer_Timer();

 // A host name lookup in flight (defined in the source file).
  struct Lookup;

 private:
  void Connect();
  void ConnectTo(const sockaddr* address, socklen_t length);
  void CloseSocket();
  void OnConnected();
  void OnError();
  void Send(std::string_view data);
  void Flush();
  void LookupDone();
  static gboolean CheckLookup(gpointer self);
  static gboolean Writable(gint fd, GIOCondition condition, gpointer self);
  static gboolean Readable(gint fd, GIOCondition condition, gpointer self);

  App& app_;
  std::string tcpHost_;
  int32_t tcpPort_ = 0;
  std::string pendingData_;
  State state_ = kClosed;
  int fd_ = -1;
  guint readWatch_ = 0;
  guint writeWatch_ = 0;
  std::unique_ptr<Lookup> lookup_;
  guint lookupTimer_ = 0;
  std::string unsent_;
  unsigned retryMs_;
  Timer winsockTimer_;
};

}  // namespace sablewick
