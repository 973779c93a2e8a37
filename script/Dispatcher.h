// The road of every received xAP text: parse it, answer role and echo queries, and offer it to
// the subscriptions.
#pragma once

#include <cstdint>
#include <string_view>

#include "app/App.h"

namespace sablewick {

class XapMessage;

class Dispatcher {
 public:
  explicit Dispatcher(App& app) : app_(app) {}

  // Drains the transport's receive queue; a call made while a drain runs returns at once.
  void onMessage();
  void Readmessage(std::string_view text);

  bool Dispatching = false;
  // Texts given to Readmessage since start; the message handle is "M" and this count.
  uint64_t MessageCounter = 0;

 private:
  void SendRoleNotification();
  void SendEchoResponse(const XapMessage& query, std::string_view value);

  App& app_;
};

}  // namespace sablewick
