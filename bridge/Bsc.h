// Home Assistant discovery for xAP BSC devices. Every endpoint (a source address with its
// sub-address) that reports its state in an xAPBSC.info or xAPBSC.event message gets one
// retained discovery config and a retained state topic; a command from Home Assistant on the
// endpoint's command topic becomes an xAPBSC.cmd to that endpoint.
//
//   <discovery>/<component>/xap/<object id>/config   the discovery config
//   <prefix>/bsc/<endpoint>/state                     {"state": "ON", "brightness": 40, ...}
//   <prefix>/bsc/<endpoint>/set                       "ON" / "OFF", or {"state": "ON", "brightness": 40}
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
  enum class Kind { BinarySensor, LevelSensor, TextSensor, Switch, Light };

  // statusTopic is the node's availability topic that every entity follows.
  BscDirectory(std::string prefix, std::string discovery, std::string statusTopic,
               size_t maxEndpoints);

  // The publications for a state report: the endpoint's discovery config the first time it is
  // seen (when discovery is on) and its state whenever it changed. Nothing for other messages
  // or once the directory is full (Full() tells).
  std::vector<Publication> Observe(const XapMessage& msg);
  // Every config and last state again, for a broker that may have lost its retained topics.
  std::vector<Publication> Replay() const;

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
  };

  Publication Config(const Endpoint& e) const;
  std::string StateTopic(const Endpoint& e) const;

  std::string prefix_, discovery_, statusTopic_;
  size_t maxEndpoints_;
  std::vector<Endpoint> endpoints_;
  std::unordered_map<std::string, size_t> byAddress_;  // exact address
  std::unordered_map<std::string, size_t> byLevel_;    // topic level
};

}  // namespace sablewick
