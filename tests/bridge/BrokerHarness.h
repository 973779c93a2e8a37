// A Mosquitto broker of the test's own (a config file in a private folder, a loopback port of
// the test's network namespace, ended by its pid) and a small MQTT client that the test pumps
// itself with bounded waits.
#pragma once

#include <arpa/inet.h>
#include <mosquitto.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

namespace sablewick::testing {

class Broker {
 public:
  // extra: more lines of mosquitto.conf (listeners beyond the first, TLS, passwords).
  explicit Broker(int port, std::string extra = "allow_anonymous true\n")
      : port_(port), extra_(std::move(extra)) {}
  ~Broker() { Stop(); }
  Broker(const Broker&) = delete;
  Broker& operator=(const Broker&) = delete;

  // Starts it and waits (at most 5 s) until its port takes connections.
  bool Start() {
    WriteFile(dir_.Path() + "/mosquitto.conf", "per_listener_settings false\npersistence false\n"
                                               "listener " + std::to_string(port_) +
                                                   " 127.0.0.1\n" + extra_);
    pid_ = ::fork();
    if (pid_ == 0) {
      const std::string conf = dir_.Path() + "/mosquitto.conf";
      const std::string log = dir_.Path() + "/broker.log";
      FILE* out = std::freopen(log.c_str(), "a", stdout);
      (void)out;
      ::dup2(STDOUT_FILENO, STDERR_FILENO);
      ::execl("/usr/sbin/mosquitto", "mosquitto", "-c", conf.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    for (int i = 0; i < 500; ++i) {
      if (Accepts()) return true;
      ::usleep(10000);
    }
    return false;
  }
  void Stop(int sig = SIGTERM) {
    if (pid_ <= 0) return;
    ::kill(pid_, sig);
    ::waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }
  int Port() const { return port_; }
  const std::string& Folder() const { return dir_.Path(); }
  std::string Log() const { return ReadFile(dir_.Path() + "/broker.log"); }

 private:
  bool Accepts() const {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port_));
    ::inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
  }

  TempDir dir_;
  int port_;
  std::string extra_;
  pid_t pid_ = -1;
};

struct Received {
  std::string topic, payload;
  bool retain = false;
};

class MqttClient {
 public:
  MqttClient() {
    mosquitto_lib_init();
    mosq_ = mosquitto_new(nullptr, true, this);
    mosquitto_message_callback_set(mosq_, [](mosquitto*, void* self, const mosquitto_message* m) {
      static_cast<MqttClient*>(self)->messages.push_back(
          {m->topic, std::string(static_cast<const char*>(m->payload), m->payloadlen), m->retain});
    });
    mosquitto_connect_callback_set(mosq_, [](mosquitto*, void* self, int rc) {
      static_cast<MqttClient*>(self)->connack_ = rc;
    });
    mosquitto_subscribe_callback_set(
        mosq_, [](mosquitto*, void* self, int, int, const int*) {
          ++static_cast<MqttClient*>(self)->subacks_;
        });
  }
  ~MqttClient() {
    mosquitto_disconnect(mosq_);
    mosquitto_destroy(mosq_);
  }
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  mosquitto* Handle() { return mosq_; }

  // Connects and subscribes to every filter given, waiting for the broker's answers.
  bool Connect(int port, const std::vector<std::string>& filters = {}) {
    if (mosquitto_connect(mosq_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) return false;
    if (!Pump([&] { return connack_ == 0; })) return false;
    for (const std::string& f : filters) mosquitto_subscribe(mosq_, nullptr, f.c_str(), 1);
    return Pump([&] { return subacks_ == static_cast<int>(filters.size()); });
  }
  void Publish(const std::string& topic, const std::string& payload, bool retain = false) {
    mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                      payload.data(), 1, retain);
    Pump([&] { return !mosquitto_want_write(mosq_); }, 2000);
  }
  // Runs the client until done() holds; false after timeoutMs.
  bool Pump(const std::function<bool()>& done, int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done()) {
      if (std::chrono::steady_clock::now() > end) return false;
      mosquitto_loop(mosq_, 20, 1);
    }
    return true;
  }
  // The first message on a topic (with that payload, when given) not returned before, waiting
  // for it; nullopt after timeoutMs.
  std::optional<Received> WaitFor(const std::string& topic, int timeoutMs = 10000,
                                  const std::string& payload = {}) {
    std::optional<Received> found;
    Pump(
        [&] {
          taken_.resize(messages.size(), false);
          for (size_t i = 0; i < messages.size(); ++i) {
            if (!taken_[i] && messages[i].topic == topic &&
                (payload.empty() || messages[i].payload == payload)) {
              found = messages[i];
              taken_[i] = true;
              return true;
            }
          }
          return false;
        },
        timeoutMs);
    return found;
  }

  std::vector<Received> messages;

 private:
  mosquitto* mosq_ = nullptr;
  int connack_ = -1;
  int subacks_ = 0;
  std::vector<bool> taken_;
};

}  // namespace sablewick::testing
