// The road of every received xAP text: parse it, answer role and echo queries, and offer it to
// the subscriptions.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/App.h"
#include "script/Subscriptions.h"

namespace sablewick {

class XapMessage;

// One text as the dispatcher saw it, for whoever traces the node.
struct TraceEvent {
  std::string_view text;
  const XapMessage& msg;
  std::span<const int> matched;  // positions (from 1) of the subscriptions it passed
  bool injected;                 // given by Inject, not received
};

class Dispatcher {
 public:
  explicit Dispatcher(App& app) : Store(&app.keptMessages), app_(app) {}

  // Drains the transport's receive queue; a call made while a drain runs returns at once.
  void onMessage();
  void Readmessage(std::string_view text);
  // Dispatches a text as if it had been received; the positions of the subscriptions it
  // passed. dryRun: only the filters are tried; nothing is stored, started or answered.
  std::vector<int> Inject(std::string_view text, bool dryRun);
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
  // True when the subscription's handler neither runs nor waits to be started again: a new
  // message then starts it even with others queued (those a failed start left behind).
  std::function<bool(int position)> HandlerIdle;
  // Called for every text while set (someone traces the node); unset, tracing costs nothing.
  std::function<void(const TraceEvent&)> Trace;

  // What the node did with what it received, for its status.
  struct Counters {
    uint64_t dispatched = 0;    // messages offered to the subscriptions
    uint64_t matched = 0;       // of those, the ones that passed at least one
    uint64_t injected = 0;      // texts given by Inject (dry runs included)
    uint64_t roleAnswers = 0;
    uint64_t echoAnswers = 0;
    uint64_t storeDropped = 0;  // stored messages pushed out by a full store
  } Count;
  // Sees every message once it is parsed, before anything else is done with it.
  std::function<void(const XapMessage&)> OnParsed;

 private:
  void SendRoleNotification();
  // value: the query as received; the answer carries it lower-cased.
  void SendEchoResponse(const XapMessage& query, std::string_view value);
  void Dispatch(const std::shared_ptr<XapMessage>& msg, std::string_view text);
  void DropHandles(const std::vector<std::string>& handles);
  static bool Passes(const ScriptVBS& sub, const XapMessage& msg);

  bool injecting_ = false;
  // Buffers kept from message to message: the text taken from the receive queue, the message
  // parsed from it (the store keeps copies, so it is free again once dispatched), the echo
  // answer's item.
  std::string received_;
  std::shared_ptr<XapMessage> spare_;
  std::string echoData_;
  static constexpr size_t kKeptTextBuffer = 4096;
  static constexpr size_t kKeptEchoBuffer = 4096;
  // Positions passed by the text being dispatched, kept only while someone asks for them.
  std::vector<int> matched_;

  // The most messages stored since the heap was last trimmed; a store that held this many and
  // empties has the heap trimmed.
  static constexpr size_t kTrimAfterMessages = 1000;
  size_t storePeak_ = 0;
  uint64_t storeDropped_ = 0;
  uint32_t lastStoreReport_ = 0;
  bool storeReported_ = false;

  App& app_;
};

}  // namespace sablewick
