// One outgoing TCP connection for scripts' fire-and-forget text (SendTCP). Text that arrives
// before the connection is up waits (only the newest), and a refused or lost connection is
// retried every 20 seconds. Replies are read and thrown away.
#pragma once

#include <gio/gio.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "app/App.h"
#include "app/Timer.h"

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

 private:
  void Connect();
  void CloseSocket();
  void OnConnected(GSocketConnection* connection);
  void OnError();
  void Send(std::string_view data);
  void Flush();
  void DropConnection();
  static void ConnectDone(GObject* source, GAsyncResult* result, gpointer self);
  static void ClientEvent(GSocketClient*, GSocketClientEvent event, GSocketConnectable*,
                          GIOStream*, gpointer self);
  static gboolean Readable(GSocket* socket, GIOCondition condition, gpointer self);
  static gboolean Writable(GSocket* socket, GIOCondition condition, gpointer self);

  App& app_;
  std::string tcpHost_;
  int32_t tcpPort_ = 0;
  std::string pendingData_;
  State state_ = kClosed;
  GSocketClient* client_ = nullptr;
  GCancellable* cancellable_ = nullptr;
  GSocketConnection* connection_ = nullptr;
  GSource* readWatch_ = nullptr;
  GSource* writeWatch_ = nullptr;
  std::string unsent_;
  unsigned retryMs_;
  Timer winsockTimer_;
};

}  // namespace sablewick
