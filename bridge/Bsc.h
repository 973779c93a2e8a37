// Home Assistant discovery for xAP BSC devices. Every endpoint (a source address with its
// sub-address) that reports its state in an xAPBSC.info or xAPBSC.event message gets one
// retained discovery config and a retained state topic; a command from Home Assistant on the
// endpoint's command topic becomes an xAPBSC.cmd to that endpoint. Each device (the address
// before the ':') has a retained availability topic driven by its heartbeats; the node is a
// device of its own that every xAP device is reached through.
//
//   <discovery>/<component>/xap/<object id>/config   the discovery config
//   <prefix>/bsc/<endpoint>/state                     {"state": "ON", "brightness": 40, ...}
//   <prefix>/bsc/<endpoint>/set                       "ON" / "OFF", {"state": "ON", "brightness": 40},
//                                                     or the text of a stream output
//   <prefix>/bsc/<device>/availability                "online" / "offline"
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace sablewick {

class XapMessage;

struct Publication {
  std::string topic;
  std::string payload;
  bool retain = false;
};

class BscDirectory {
 public:
  enum class Kind { BinarySensor, LevelSensor, TextSensor, Switch, Light, TextOutput };

  // A device's heartbeat interval until one of its heartbeats says otherwise (xAP's default).
  static constexpr uint32_t kDefaultIntervalMs = 60000;
  // Longest text state Home Assistant takes.
  static constexpr size_t kMaxTextState = 255;

  // statusTopic is the node's availability topic that every entity follows.
  BscDirectory(std::string prefix, std::string discovery, std::string statusTopic,
               size_t maxEndpoints);

  // The node as a device of its own (its status and version); the xAP devices are reached
  // through it. Without it the configs name no node.
  void SetNode(std::string source, std::string version);
  // Endpoints restored from the broker that report nothing within this many milliseconds of
  // being restored have their config and state removed (0: kept).
  void SetForgetUnseenAfter(uint64_t ms) { forgetAfterMs_ = ms; }

  // The publications for a state report: the endpoint's discovery config the first time it is
  // seen (when discovery is on) and its state whenever it changed; for any message of a known
  // device (heartbeats too) its availability when that changed. Nothing for other messages or
  // once the directory is full (Full() tells). nowMs: the node's tick count.
  std::vector<Publication> Observe(const XapMessage& msg, uint32_t nowMs = 0);
  // The availability of devices whose heartbeats stopped, and the removal of restored endpoints
  // that stayed silent; to be called about once a second.
  std::vector<Publication> Expire(uint32_t nowMs);
  // Every config, last state and availability again, for a broker that may have lost its
  // retained topics.
  std::vector<Publication> Replay() const;

  // The retained topics of this bridge's earlier runs that the broker still holds: a
  // discovery config makes its endpoint known again (so its commands are sent before it has
  // reported in this run), a state gives back the last level. The config again in today's
  // form when it was made by an older version. Other topics: nothing.
  std::vector<Publication> Restore(std::string_view topic, std::string_view payload,
                                   uint32_t nowMs);
  // The subscriptions that bring those retained topics back, and whether a topic is one of
  // theirs (the bridge's own publications come back on them as they are made).
  std::vector<std::string> RestoreFilters() const;
  bool RestoreTopic(std::string_view topic) const;

  // The xAPBSC.cmd for a command payload on a command topic.
  struct Command {
    std::string target;  // the endpoint address
    std::string items;   // the sending helper's item list
  };
  std::optional<Command> FromCommand(std::string_view topic, std::string_view payload,
                                     std::string* reason) const;
  // The subscription that catches every endpoint's command topic.
  std::string CommandFilter() const { return prefix_ + "/bsc/+/set"; }

  size_t Size() const { return endpoints_.size(); }
  bool Full() const { return endpoints_.size() >= maxEndpoints_; }

  // A level "n" (percent) or "n/m" as a percentage 0..100; nullopt when it is neither.
  static std::optional<int> LevelPercent(std::string_view level);

 private:
  struct Endpoint {
    std::string address;
    std::string level;  // the topic level that names it
    Kind kind = Kind::BinarySensor;
    std::string state;  // the last state payload published
    size_t device = 0;  // index in devices_
    int lastPercent = -1;  // the last level reported, for ON without a level
    bool restored = false;  // known from the broker, not reported in this run yet
    bool forgotten = false;  // its config was removed; a report announces it again
    uint64_t restoredAt = 0;  // on Elapsed's clock
  };
  struct Device {
    std::string address;  // the part before ':'
    std::string level;
    enum class Up { Unknown, Online, Offline } up = Up::Unknown;
    uint32_t lastHeard = 0;
    uint32_t intervalMs = kDefaultIntervalMs;
  };

  Publication Config(const Endpoint& e) const;
  std::string StateTopic(const Endpoint& e) const;
  std::string AvailabilityTopic(const Device& d) const;
  size_t DeviceOf(std::string_view address);
  Device* FindDevice(std::string_view address);
  void Heard(Device& d, uint32_t nowMs, std::vector<Publication>& out);
  void Origin(std::string& c) const;
  std::string NodeId() const;

  std::string prefix_, discovery_, statusTopic_;
  std::string nodeSource_, version_;
  size_t maxEndpoints_;
  uint64_t forgetAfterMs_ = 0;
  // The tick count carried past its wrap (every 49 days): Expire runs every second.
  uint64_t Elapsed(uint32_t nowMs);
  uint64_t elapsedMs_ = 0;
  uint32_t lastTick_ = 0;
  std::vector<Endpoint> endpoints_;
  std::unordered_map<std::string, size_t> byAddress_;  // exact address
  std::unordered_map<std::string, size_t> byLevel_;    // topic level
  std::vector<Device> devices_;
  std::unordered_map<std::string, size_t> devicesByAddress_;  // lower case
  std::string key_;
};

}  // namespace sablewick
