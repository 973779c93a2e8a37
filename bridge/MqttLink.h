// One MQTT connection driven from the GLib loop: libmosquitto's socket is watched by a loop
// source (readable always, writable while the library has bytes to send), keep-alive runs
// from a one-second timer, and a lost or refused connection is tried again after 1 s,
// doubling up to 60 s. No thread of its own. The library itself is loaded with the first
// link (Start says so when it cannot be).
//
// Publishing never blocks: a message goes to the socket at once while the connection is up
// and keeping pace; otherwise it waits in a queue bounded in count and bytes, whose oldest
// entries are dropped (counted, logged at most once a minute) when it overflows.
//
// What a connection needs from files (the password, the CA certificates) is read again before
// every attempt through ReadCredentials, so a file fixed while the node runs is used by the
// next attempt; a file that cannot be read stops the attempts (nothing read earlier is used)
// and is logged once for each new reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <string_view>

#include "core/Timer.h"

struct mosquitto;
struct mosquitto_message;
typedef struct _GSource GSource;

namespace sablewick {

class Clock;

class MqttLink {
 public:
  struct Settings {
    std::string host;
    int port = 1883;
    std::string clientId;
    std::string username;
    std::string password;  // never logged
    std::string caFile;    // TLS when set
    std::string willTopic, willPayload;
    int keepAliveSeconds = 30;
    size_t maxQueued = 5000;
    size_t maxQueuedBytes = 1u << 20;
  };

  // What a connection attempt is made with. Another value than the one in use makes a new
  // client: the TLS library keeps the certificates it once loaded for the client's life.
  struct Credentials {
    std::string username;
    std::string password;      // never logged
    std::string passwordFile;  // where the password came from, for the log ("" for none)
    std::string caFile;        // TLS when set
    std::string caText;        // the CA file's content as read for this attempt
    bool operator==(const Credentials&) const = default;
  };

  // log receives one line per event worth recording; clock paces the drop reports.
  MqttLink(Settings settings, const Clock& clock, std::function<void(const std::string&)> log);
  ~MqttLink();
  MqttLink(const MqttLink&) = delete;
  MqttLink& operator=(const MqttLink&) = delete;

  // Loads the library and makes the first attempt; false (and *error) when the library
  // cannot be used. Problems of the files an attempt reads are logged, and tried again.
  bool Start(std::string* error);
  // Reads the credentials for the coming attempt; false with why (naming the file, never its
  // content) when they cannot be read. Unset: the settings' username, password and CA file.
  std::function<bool(Credentials& out, std::string& why)> ReadCredentials;
  // While not connected: the next attempt now, with the backoff from its start (the user has
  // just fixed something). Nothing while connected or connecting.
  void AttemptNow();
  // Sends what it can of the queue and a clean disconnect, waiting for the socket at most
  // about a second; no reconnection afterwards.
  void Stop();

  void Publish(std::string topic, std::string payload, bool retain, int qos = 0);
  void Subscribe(const std::string& filter, int qos = 0);

  // Runs on every accepted connection (subscribe and announce here).
  std::function<void()> OnConnected;
  // retained: the broker kept it and hands it over because we subscribed.
  std::function<void(std::string_view topic, std::string_view payload, bool retained)> OnMessage;

  bool Connected() const { return connected_; }
  // Why the link is down (the broker's refusal, the connection error); empty while connected
  // or before the first attempt has failed.
  const std::string& DownReason() const { return downReason_; }
  size_t Queued() const { return queue_.size(); }
  uint64_t Dropped() const { return droppedTotal_; }
  unsigned BackoffMs() const { return backoffMs_; }

 private:
  struct Pending {
    std::string topic, payload;
    bool retain;
    int qos;
  };

  void Attempt();
  // The client for these credentials (a new one when they differ from those in use); false
  // with why when the library refuses them.
  bool UseCredentials(const Credentials& fresh, std::string& why);
  void Watch();
  void Unwatch();
  void Retry();
  void AfterIo(int rc);
  void Flush();
  bool PublishNow(const Pending& p);
  void Drop(uint64_t count, const char* why);
  void Note(const std::string& line);
  std::string BrokerText() const;
  void OnSocket(unsigned condition);
  void Tick();

  static void ConnectCallback(mosquitto*, void* self, int rc);
  static void DisconnectCallback(mosquitto*, void* self, int rc);
  static void MessageCallback(mosquitto*, void* self, const mosquitto_message* m);
  static void LogCallback(mosquitto*, void* self, int level, const char* text);
  // The library's words for rc, with the CA file and the TLS library's reason on a TLS failure.
  std::string Why(int rc) const;
  static int Prepare(GSource* source, int* timeout);
  static int Dispatch(GSource* source, int (*)(void*), void*);

  Settings settings_;
  const Clock& clock_;
  std::function<void(const std::string&)> log_;
  mosquitto* mosq_ = nullptr;
  std::string tlsError_;  // what the TLS library said about the last handshake
  Credentials inUse_;     // what the client was made with
  bool clientMade_ = false;
  std::string credentialProblem_;  // why the files could not be read, as last logged
  GSource* source_ = nullptr;
  void* tag_ = nullptr;
  bool watchingWrite_ = false;  // the socket is watched for writability now
  Timer tick_;
  Timer retry_;
  bool connected_ = false;
  bool attempting_ = false;
  bool stopping_ = false;
  bool refused_ = false;  // the broker answered this attempt with a refusal
  bool closeExplained_ = false;  // the disconnect callback ran for this connection
  bool everAttempted_ = false;
  uint32_t attemptStarted_ = 0;
  unsigned backoffMs_ = 1000;
  std::string lastFailure_;
  std::string downReason_;
  uint32_t lastFailureLogged_ = 0;
  std::deque<Pending> queue_;
  size_t queuedBytes_ = 0;
  uint64_t droppedTotal_ = 0;
  uint64_t droppedUnreported_ = 0;
  uint32_t lastDropReport_ = 0;
  bool dropReported_ = false;
};

}  // namespace sablewick
