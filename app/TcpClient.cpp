#include "app/TcpClient.h"

#include "app/Log.h"

namespace sablewick {

TcpClient::TcpClient(App& app, unsigned retryMs)
    : app_(app), retryMs_(retryMs), winsockTimer_([this] { WinsockTimer_Timer(); }) {
  client_ = g_socket_client_new();
  g_signal_connect(client_, "event", G_CALLBACK(&TcpClient::ClientEvent), this);
}

TcpClient::~TcpClient() {
  CloseSocket();
  g_signal_handlers_disconnect_by_data(client_, this);
  g_object_unref(client_);
}

void TcpClient::RemoteConnect(std::string_view sIP, int32_t iPort) {
  StepRunner step(app_, "Sablewick", "RemoteConnect", ReportVia::Event);
  step([&] {
    if (sIP != tcpHost_ || iPort != tcpPort_) RemoteClose();
  });
  step([&] {
    tcpHost_ = sIP;
    tcpPort_ = iPort;
  });
  step([&] {
    if (state_ != kResolving && state_ != kConnecting && state_ != kConnected) {
      CloseSocket();
      Connect();
    }
  });
}

bool TcpClient::RemoteSend(std::string_view sData) {
  bool sent = false;
  StepRunner step(app_, "Sablewick", "RemoteSend", ReportVia::Event);
  step([&] {
    if (state_ == kConnected) {
      pendingData_.clear();
      Send(sData);
      sent = true;
    } else {
      winsockTimer_.Start(retryMs_);
      pendingData_ = sData;
    }
  });
  return sent;
}

void TcpClient::RemoteClose() {
  const int before = state_;
  try {
    CloseSocket();
  } catch (...) {
    SetPendingError(app_, 0);
    ReportEvent(app_, "Sablewick", "RemoteClose" + std::to_string(before));
  }
}

void TcpClient::WinsockTimer_Timer() {
  if (state_ == kConnected) return;
  CloseSocket();
  Connect();
}

void TcpClient::Connect() {
  if (tcpHost_.empty() || tcpPort_ <= 0 || tcpPort_ > 65535) {
    OnError();
    return;
  }
  cancellable_ = g_cancellable_new();
  state_ = kResolving;
  g_socket_client_connect_to_host_async(client_, tcpHost_.c_str(),
                                        static_cast<guint16>(tcpPort_), cancellable_,
                                        &TcpClient::ConnectDone, this);
}

void TcpClient::CloseSocket() {
  if (cancellable_ != nullptr) {
    // The pending connect completes with "cancelled" and must not touch us any more.
    g_cancellable_cancel(cancellable_);
    g_object_unref(cancellable_);
    cancellable_ = nullptr;
  }
  DropConnection();
}

void TcpClient::DropConnection() {
  for (GSource** watch : {&readWatch_, &writeWatch_}) {
    if (*watch != nullptr) {
      g_source_destroy(*watch);
      g_source_unref(*watch);
      *watch = nullptr;
    }
  }
  if (connection_ != nullptr) {
    g_io_stream_close(G_IO_STREAM(connection_), nullptr, nullptr);
    g_object_unref(connection_);
    connection_ = nullptr;
  }
  unsent_.clear();
  state_ = kClosed;
}

void TcpClient::ClientEvent(GSocketClient*, GSocketClientEvent event, GSocketConnectable*,
                            GIOStream*, gpointer self) {
  auto* client = static_cast<TcpClient*>(self);
  if (client->cancellable_ == nullptr) return;
  if (event == G_SOCKET_CLIENT_RESOLVING) client->state_ = kResolving;
  if (event == G_SOCKET_CLIENT_CONNECTING) client->state_ = kConnecting;
}

void TcpClient::ConnectDone(GObject* source, GAsyncResult* result, gpointer self) {
  GError* error = nullptr;
  GSocketConnection* connection =
      g_socket_client_connect_to_host_finish(G_SOCKET_CLIENT(source), result, &error);
  if (error != nullptr && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_CANCELLED)) {
    g_error_free(error);
    if (connection != nullptr) g_object_unref(connection);
    return;  // closed meanwhile; `self` may be gone
  }
  auto* client = static_cast<TcpClient*>(self);
  if (client->cancellable_ != nullptr) {
    g_object_unref(client->cancellable_);
    client->cancellable_ = nullptr;
  }
  if (connection == nullptr) {
    g_error_free(error);
    client->OnError();
    return;
  }
  client->OnConnected(connection);
}

void TcpClient::OnConnected(GSocketConnection* connection) {
  connection_ = connection;
  state_ = kConnected;
  GSocket* socket = g_socket_connection_get_socket(connection_);
  g_socket_set_blocking(socket, FALSE);
  readWatch_ = g_socket_create_source(
      socket, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), nullptr);
  g_source_set_callback(readWatch_, G_SOURCE_FUNC(&TcpClient::Readable), this, nullptr);
  g_source_attach(readWatch_, nullptr);
  if (!pendingData_.empty()) {
    winsockTimer_.Stop();
    const std::string data = std::move(pendingData_);
    pendingData_.clear();
    Send(data);
    g_main_context_iteration(nullptr, FALSE);
  }
}

void TcpClient::OnError() {
  state_ = kError;
  winsockTimer_.Start(retryMs_);
}

void TcpClient::Send(std::string_view data) {
  if (unsent_.size() + data.size() > kMaxUnsent) {
    // The peer stopped reading; holding more would let it grow our memory without end.
    DropConnection();
    OnError();
    throw Failure(kGenericFailure, "TCP peer is not reading; connection dropped");
  }
  unsent_ += data;
  Flush();
}

void TcpClient::Flush() {
  if (connection_ == nullptr) return;
  GSocket* socket = g_socket_connection_get_socket(connection_);
  while (!unsent_.empty()) {
    GError* error = nullptr;
    const gssize n = g_socket_send(socket, unsent_.data(), unsent_.size(), nullptr, &error);
    if (n < 0) {
      const bool wouldBlock = g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK);
      g_error_free(error);
      if (wouldBlock) break;
      DropConnection();
      OnError();
      return;
    }
    unsent_.erase(0, static_cast<size_t>(n));
  }
  if (!unsent_.empty() && writeWatch_ == nullptr) {
    writeWatch_ = g_socket_create_source(socket, G_IO_OUT, nullptr);
    g_source_set_callback(writeWatch_, G_SOURCE_FUNC(&TcpClient::Writable), this, nullptr);
    g_source_attach(writeWatch_, nullptr);
  }
}

gboolean TcpClient::Writable(GSocket*, GIOCondition, gpointer self) {
  auto* client = static_cast<TcpClient*>(self);
  GSource* current = client->writeWatch_;
  client->writeWatch_ = nullptr;  // Flush makes a new one if bytes remain
  client->Flush();
  if (current != nullptr) g_source_unref(current);
  return G_SOURCE_REMOVE;
}

gboolean TcpClient::Readable(GSocket* socket, GIOCondition, gpointer self) {
  auto* client = static_cast<TcpClient*>(self);
  char buf[4096];
  // Replies are read and discarded, a bounded number of reads per wake-up.
  for (int i = 0; i < 64; ++i) {
    GError* error = nullptr;
    const gssize n = g_socket_receive(socket, buf, sizeof buf, nullptr, &error);
    if (n > 0) continue;
    const bool wouldBlock =
        error != nullptr && g_error_matches(error, G_IO_ERROR, G_IO_ERROR_WOULD_BLOCK);
    if (error != nullptr) g_error_free(error);
    if (wouldBlock) return G_SOURCE_CONTINUE;
    // The peer closed or the connection failed: simply not connected any more.
    client->DropConnection();
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace sablewick
