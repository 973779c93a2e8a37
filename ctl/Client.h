// The tool's connection to the running node: calls on the control interface and the signals
// it sends while the tool follows something.
#pragma once

#include <systemd/sd-bus.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/Variant.h"

namespace sablewick::ctl {

// A failure to print as "sablewick-ctl: <what>" with exit status 1.
struct CtlError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

class Client {
 public:
  // address: empty to look where scripts look ($SABLEWICK_ADDRESS, the session bus, the
  // default socket). Throws CtlError when no node answers.
  explicit Client(const std::string& address);
  ~Client();
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Calls a member of the control interface; its result. Throws CtlError with the node's
  // words when the call fails.
  vbs::Variant Call(const char* member, const std::vector<vbs::Variant>& args = {});

  // Receives the control interface's signal `member`: start makes the node send them (it runs
  // after the tool listens, so nothing is missed), then each signal goes to onSignal until it
  // returns false, SIGINT or SIGTERM arrives (true), or the node goes away (false). A signal
  // onSignal cannot read (it throws CtlError) is skipped.
  bool Follow(const char* member, const std::function<void()>& start,
              const std::function<bool(sd_bus_message*)>& onSignal);
  // A client of the node, once one answers: tries every second, says once on standard error
  // that it waits, and gives up (null) on SIGINT or SIGTERM.
  static std::unique_ptr<Client> WaitForNode(const std::string& address);
  // Follows as Follow does, across restarts of the node: when it goes away (or is not there
  // yet), waits for it and calls start again. Returns at the end onSignal asks for or on
  // SIGINT / SIGTERM.
  static void FollowAlways(const std::string& address, const char* member,
                           const std::function<void(Client&)>& start,
                           const std::function<bool(sd_bus_message*)>& onSignal);
  // True once SIGINT or SIGTERM came while following: whoever prints checks it before each
  // entry, since a write to a full pipe is interrupted only once.
  static bool StopRequested();
  // Reached through the session bus: connects to the node's private socket instead (followers
  // are served there only, where the node sees what waits for them).
  void UsePrivateSocket();
  // The one tagged value a signal or reply carries.
  static vbs::Variant ReadValue(sd_bus_message* m);

 private:
  sd_bus* bus_ = nullptr;
  bool onSessionBus_ = false;
};

}  // namespace sablewick::ctl
