// The bridge between the node's xAP traffic and an MQTT broker: every parsed message goes out
// as JSON, JSON and raw xAP text from the broker come in through the sending helper, the node
// announces itself on a retained status topic, and xAP BSC devices appear in Home Assistant.
// Off unless [MQTT] Broker is set in Config/Sablewick.ini.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/App.h"
#include "bridge/Bsc.h"
#include "bridge/MqttLink.h"

namespace sablewick {

class IniTool;
class XapMessage;

struct BridgeConfig {
  std::string host;
  int port = 1883;
  std::string clientId;
  std::string username;
  // The password is the first line of this file (never logged), read again before every
  // connection attempt; empty: none.
  std::string passwordFile;
  std::string caFile;
  std::string prefix = "xap";
  std::string discovery = "homeassistant";  // empty: no discovery configs
  // Endpoints known from the broker's retained configs that stay silent this long after the
  // node connects lose their configs (0: never; at most a year).
  uint32_t removeUnseenSeconds = 0;
  // MQTT -> xAP sends per second (a token bucket holding a second's worth); past it messages
  // are dropped, counted and logged. xAP is a slow broadcast network shared with small devices.
  unsigned maxSendsPerSecond = 300;
};

// The [MQTT] section. nullopt with an empty *error when Broker is not set (the bridge is off);
// nullopt with *error when a setting cannot work. Relative paths are taken from Config/.
std::optional<BridgeConfig> ReadBridgeConfig(const App& app, const IniTool& ini,
                                             std::string* error);

// The password: the first line of a regular file that only its owner (this user) may read or
// write. nullopt and *error (naming the file, never its content) otherwise.
std::optional<std::string> ReadPasswordFile(const std::string& path, std::string* error);

// What a connection attempt needs from the files the settings name: the password and the CA
// certificates, read now. False with why (naming the file) when one cannot be read.
bool ReadBridgeCredentials(const BridgeConfig& config, MqttLink::Credentials& out,
                           std::string& why);

class Bridge {
 public:
  static constexpr size_t kMaxEndpoints = 1000;

  Bridge(App& app, BridgeConfig config, std::string nodeSource);
  ~Bridge();
  Bridge(const Bridge&) = delete;
  Bridge& operator=(const Bridge&) = delete;

  bool Start(std::string* error);
  // Says "offline" on the status topic and disconnects.
  void Stop();
  // While not connected: tries at once (the files it reads may just have been fixed).
  void AttemptNow();
  const BridgeConfig& Config() const { return config_; }

  // Every message the node received and parsed.
  void OnXapMessage(const XapMessage& msg);
  // Every heartbeat the node received (the dispatcher never sees them).
  void OnHeartbeat(std::string_view text);

  struct Status {
    bool connected = false;
    size_t queued = 0;
    uint64_t dropped = 0;
    uint64_t sendsDropped = 0;  // MQTT -> xAP past MaxSendsPerSecond
    std::string broker;  // host:port
    std::string down;    // why it is not connected, when known
  };
  Status State() const;
  // One line for a status display: "MQTT connected to host:port, queued 0, dropped 0".
  std::string StatusText() const;

  const std::string& StatusTopic() const { return statusTopic_; }

 private:
  void OnConnected();
  void OnMqttMessage(std::string_view topic, std::string_view payload);
  void OnRetained(std::string_view topic, std::string_view payload);
  void Expire();
  void Publish(std::vector<Publication> publications);
  void Refuse(std::string_view topic, const std::string& reason);
  // A token of the send bucket; false (the message dropped and counted) when none is left.
  bool TakeSendToken();
  void Log(const std::string& line);

  App& app_;
  BridgeConfig config_;
  std::string nodeSource_;
  std::string statusTopic_;
  BscDirectory bsc_;
  std::unique_ptr<MqttLink> link_;
  Timer expire_;
  bool fullReported_ = false;
  uint32_t refusalWindow_ = 0;
  int refusalsInWindow_ = 0;
  uint64_t refusalsUnlogged_ = 0;
  double sendTokens_ = 0;
  uint32_t sendRefill_ = 0;
  bool sendBucketStarted_ = false;
  uint64_t sendsDropped_ = 0, sendsDroppedUnlogged_ = 0;
  uint32_t sendDropLogged_ = 0;
  bool sendDropEverLogged_ = false;
};

// Makes and starts app.bridge when [MQTT] Broker is set, and feeds it every parsed message.
void StartBridge(App& app);
void StopBridge(App& app);
// The settings again: the bridge stopped and, when [MQTT] Broker is set, started with them.
// What became of it, in words ("reconnecting to host:port", "off: ...").
std::string RestartBridge(App& app);

}  // namespace sablewick
