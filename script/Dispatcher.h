// The road of every received xAP text: parse it, answer role and echo queries, and offer it to
// the subscriptions.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/App.h"
#include "script/Subscriptions.h"

namespace sablewick {

class XapMessage;

class Dispatcher {
 public:
  explicit Dispatcher(App& app) : app_(app) {}

  // Drains the transport's receive queue; a call made while a drain runs returns at once.
  void onMessage();
  void Readmessage(std::string_view text);
  // Drops stored messages older than 60 seconds and their queued handles.
  void ExpireMessages();

  // The subscription at a position counted from 1; null when there is none.
  ScriptVBS* SubscriptionAt(long position);

  bool Dispatching = false;
  // Texts given to Readmessage since start; the message handle is "M" and this count.
  uint64_t MessageCounter = 0;
  // All subscriptions; a script learns its subscription's position (from 1) when started.
  std::vector<ScriptVBS> Subscriptions;
  MessageStore Store;
  // Starts a subscription's script file with its position as the one argument; throws when
  // the file cannot be started.
  std::function<void(const std::string& script, int position)> StartScript;

 private:
  void SendRoleNotification();
  void SendEchoResponse(const XapMessage& query, std::string_view value);
  void DropHandles(const std::vector<std::string>& handles);

  uint64_t storeDropped_ = 0;
  uint32_t lastStoreReport_ = 0;
  bool storeReported_ = false;

  App& app_;
};

}  // namespace sablewick
