#include "script/TcpClient.h"

#include <arpa/inet.h>
#include <glib-unix.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/Log.h"

namespace sablewick {

// One asynchronous name lookup. A lookup that cannot be cancelled must stay alive until the
// resolver is done with it, so it is handed to a sweeper instead of being freed.
struct TcpClient::Lookup {
  std::string host;
  std::string service;
  addrinfo hints{};
  gaicb request{};
  gaicb* list[1] = {&request};
};

namespace {

constexpr unsigned kLookupPollMs = 10;

gboolean SweepLookup(gpointer data) {
  auto* lookup = static_cast<TcpClient::Lookup*>(data);
  if (gai_error(&lookup->request) == EAI_INPROGRESS) return G_SOURCE_CONTINUE;
  if (lookup->request.ar_result != nullptr) freeaddrinfo(lookup->request.ar_result);
  delete lookup;
  return G_SOURCE_REMOVE;
}

}  // namespace

TcpClient::TcpClient(App& app, unsigned retryMs)
    : app_(app), retryMs_(retryMs), winsockTimer_([this] { WinsockTimer_Timer(); }) {}

TcpClient::~TcpClient() { CloseSocket(); }

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
  // An address needs no lookup.
  sockaddr_in v4{};
  v4.sin_family = AF_INET;
  v4.sin_port = htons(static_cast<uint16_t>(tcpPort_));
  if (inet_pton(AF_INET, tcpHost_.c_str(), &v4.sin_addr) == 1) {
    ConnectTo(reinterpret_cast<sockaddr*>(&v4), sizeof v4);
    return;
  }
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  v6.sin6_port = htons(static_cast<uint16_t>(tcpPort_));
  if (inet_pton(AF_INET6, tcpHost_.c_str(), &v6.sin6_addr) == 1) {
    ConnectTo(reinterpret_cast<sockaddr*>(&v6), sizeof v6);
    return;
  }
  lookup_ = std::make_unique<Lookup>();
  lookup_->host = tcpHost_;
  lookup_->service = std::to_string(tcpPort_);
  lookup_->hints.ai_family = AF_UNSPEC;
  lookup_->hints.ai_socktype = SOCK_STREAM;
  lookup_->request.ar_name = lookup_->host.c_str();
  lookup_->request.ar_service = lookup_->service.c_str();
  lookup_->request.ar_request = &lookup_->hints;
  if (getaddrinfo_a(GAI_NOWAIT, lookup_->list, 1, nullptr) != 0) {
    lookup_.reset();
    OnError();
    return;
  }
  state_ = kResolving;
  lookupTimer_ = g_timeout_add(kLookupPollMs, &TcpClient::CheckLookup, this);
}

gboolean TcpClient::CheckLookup(gpointer self) {
  auto* client = static_cast<TcpClient*>(self);
  if (gai_error(&client->lookup_->request) == EAI_INPROGRESS) return G_SOURCE_CONTINUE;
  client->lookupTimer_ = 0;
  client->LookupDone();
  return G_SOURCE_REMOVE;
}

void TcpClient::LookupDone() {
  std::unique_ptr<Lookup> lookup = std::move(lookup_);
  addrinfo* result = lookup->request.ar_result;
  if (gai_error(&lookup->request) != 0 || result == nullptr) {
    if (result != nullptr) freeaddrinfo(result);
    OnError();
    return;
  }
  ConnectTo(result->ai_addr, result->ai_addrlen);
  freeaddrinfo(result);
}

void TcpClient::ConnectTo(const sockaddr* address, socklen_t length) {
  fd_ = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) {
    OnError();
    return;
  }
  if (::connect(fd_, address, length) == 0) {
    OnConnected();
    return;
  }
  if (errno != EINPROGRESS) {
    ::close(fd_);
    fd_ = -1;
    OnError();
    return;
  }
  state_ = kConnecting;
  writeWatch_ = g_unix_fd_add(fd_, G_IO_OUT, &TcpClient::Writable, this);
}

void TcpClient::CloseSocket() {
  if (lookupTimer_ != 0) {
    g_source_remove(lookupTimer_);
    lookupTimer_ = 0;
  }
  if (lookup_) {
    if (gai_cancel(&lookup_->request) == EAI_ALLDONE || gai_error(&lookup_->request) != EAI_INPROGRESS) {
      if (lookup_->request.ar_result != nullptr) freeaddrinfo(lookup_->request.ar_result);
      lookup_.reset();
    } else {
      g_timeout_add(100, &SweepLookup, lookup_.release());
    }
  }
  for (guint* watch : {&readWatch_, &writeWatch_}) {
    if (*watch != 0) {
      g_source_remove(*watch);
      *watch = 0;
    }
  }
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  unsent_.clear();
  state_ = kClosed;
}

void TcpClient::OnConnected() {
  state_ = kConnected;
  readWatch_ = g_unix_fd_add(fd_, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                             &TcpClient::Readable, this);
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
    CloseSocket();
    OnError();
    throw Failure(kGenericFailure, "TCP peer is not reading; connection dropped");
  }
  unsent_ += data;
  Flush();
}

void TcpClient::Flush() {
  while (fd_ >= 0 && !unsent_.empty()) {
    const ssize_t n = ::send(fd_, unsent_.data(), unsent_.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      CloseSocket();
      OnError();
      return;
    }
    unsent_.erase(0, static_cast<size_t>(n));
  }
  if (fd_ >= 0 && !unsent_.empty() && writeWatch_ == 0) {
    writeWatch_ = g_unix_fd_add(fd_, G_IO_OUT, &TcpClient::Writable, this);
  }
}

gboolean TcpClient::Writable(gint fd, GIOCondition, gpointer self) {
  auto* client = static_cast<TcpClient*>(self);
  client->writeWatch_ = 0;  // this source ends here; Flush makes a new one if bytes remain
  if (client->state_ == kConnecting) {
    int error = 0;
    socklen_t len = sizeof error;
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len);
    if (error != 0) {
      ::close(client->fd_);
      client->fd_ = -1;
      client->OnError();
      return G_SOURCE_REMOVE;
    }
    client->OnConnected();
    return G_SOURCE_REMOVE;
  }
  client->Flush();
  return G_SOURCE_REMOVE;
}

gboolean TcpClient::Readable(gint fd, GIOCondition, gpointer self) {
  auto* client = static_cast<TcpClient*>(self);
  char buf[4096];
  // Replies are read and discarded, a bounded number of reads per wake-up.
  for (int i = 0; i < 64; ++i) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      return G_SOURCE_CONTINUE;
    }
    // The peer closed or the connection failed: simply not connected any more.
    client->readWatch_ = 0;  // this source ends by returning REMOVE
    client->CloseSocket();
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

}  // namespace sablewick
