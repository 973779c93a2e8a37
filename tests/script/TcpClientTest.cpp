#include "script/TcpClient.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>

#include "tests/TestSupport.h"

namespace sablewick {
namespace {

// A loopback TCP server that accepts and records what each connection sent.
class Server {
 public:
  Server() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  ~Server() {
    for (int c : clients_) ::close(c);
    ::close(fd_);
  }
  void Listen() { ::listen(fd_, 8); }
  int Port() const { return port_; }
  // Accepts and reads whatever is there; call repeatedly.
  void Poll() {
    for (int c; (c = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK)) >= 0;) {
      clients_.push_back(c);
      received.emplace_back();
    }
    for (size_t i = 0; i < clients_.size(); ++i) {
      char buf[1024];
      ssize_t n;
      while ((n = ::recv(clients_[i], buf, sizeof buf, 0)) > 0) received[i].append(buf, n);
    }
  }
  void ReplyToAll(const std::string& text) {
    for (int c : clients_) (void)!::send(c, text.data(), text.size(), MSG_NOSIGNAL);
  }
  std::vector<std::string> received;

 private:
  int fd_;
  int port_;
  std::vector<int> clients_;
};

// Runs the loop until the condition holds or the time is up.
bool RunUntil(const std::function<bool()>& done, Server* server, int timeoutMs = 3000) {
  const gint64 end = g_get_monotonic_time() + timeoutMs * 1000;
  while (g_get_monotonic_time() < end) {
    g_main_context_iteration(nullptr, FALSE);
    if (server) server->Poll();
    if (done()) return true;
    g_usleep(1000);
  }
  return false;
}

TEST(TcpClient, TextWaitsForTheConnectionAndOnlyTheNewestIsSent) {
  testing::TestApp t;
  Server server;
  server.Listen();
  TcpClient tcp(t.app, 100);
  tcp.RemoteConnect("127.0.0.1", server.Port());
  EXPECT_FALSE(tcp.RemoteSend("first"));
  tcp.RemoteConnect("127.0.0.1", server.Port());
  EXPECT_FALSE(tcp.RemoteSend("second"));
  ASSERT_TRUE(RunUntil([&] { return !server.received.empty() && !server.received[0].empty(); },
                       &server));
  EXPECT_EQ(server.received[0], "second");
  EXPECT_EQ(tcp.GetState(), TcpClient::kConnected);
  EXPECT_FALSE(tcp.WinsockTimer().Enabled());

  // Same destination: sent at once on the same connection.
  EXPECT_TRUE(tcp.RemoteSend("third"));
  ASSERT_TRUE(RunUntil([&] { return server.received[0] == "secondthird"; }, &server));
  EXPECT_EQ(server.received.size(), 1u);

  // Host written differently: a new destination, so a new connection.
  tcp.RemoteConnect("127.0.0.1", server.Port());
  tcp.RemoteConnect("localhost", server.Port());
  tcp.RemoteSend("fourth");
  ASSERT_TRUE(RunUntil([&] { return server.received.size() == 2 && server.received[1] == "fourth"; },
                       &server));
}

TEST(TcpClient, RefusedConnectionIsRetriedUntilThePeerListens) {
  testing::TestApp t;
  Server server;  // bound but not listening: connections are refused
  TcpClient tcp(t.app, 100);
  tcp.RemoteConnect("127.0.0.1", server.Port());
  tcp.RemoteSend("late text");
  ASSERT_TRUE(RunUntil([&] { return tcp.GetState() == TcpClient::kError; }, nullptr));
  EXPECT_TRUE(tcp.WinsockTimer().Enabled());
  server.Listen();
  ASSERT_TRUE(RunUntil([&] { return !server.received.empty() && server.received[0] == "late text"; },
                       &server));
  EXPECT_FALSE(tcp.WinsockTimer().Enabled());
  EXPECT_TRUE(t.sink.sent.empty()) << "nothing is reported for a refused connection";
}

TEST(TcpClient, RepliesAreDiscardedAndAPeerCloseIsNoFailure) {
  testing::TestApp t;
  auto server = std::make_unique<Server>();
  server->Listen();
  TcpClient tcp(t.app, 100);
  tcp.RemoteConnect("127.0.0.1", server->Port());
  tcp.RemoteSend("x");
  ASSERT_TRUE(RunUntil([&] { return !server->received.empty() && server->received[0] == "x"; },
                       server.get()));
  server->ReplyToAll(std::string(100000, 'r'));
  RunUntil([] { return false; }, nullptr, 50);
  EXPECT_EQ(tcp.GetState(), TcpClient::kConnected);
  server.reset();  // the peer goes away
  ASSERT_TRUE(RunUntil([&] { return tcp.GetState() == TcpClient::kClosed; }, nullptr));
  tcp.RemoteClose();
  EXPECT_TRUE(t.sink.sent.empty());
}

}  // namespace
}  // namespace sablewick
