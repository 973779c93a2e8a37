#include "script/Dispatcher.h"

#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "core/Log.h"
#include "core/Text.h"
#include "script/Process.h"
#include "xap/SendHelper.h"
#include "xap/Transport.h"
#include "xap/XapMessage.h"

namespace sablewick {

void Dispatcher::onMessage() {
  if (Dispatching) return;
  Dispatching = true;
  try {
    // Bounded by what is queued now plus what arrives meanwhile; the queue itself is bounded.
    while (app_.xap->TakeMessage(received_)) {
      if (!received_.empty()) Readmessage(received_);
    }
    // A rare large text does not keep its buffer.
    if (received_.capacity() > kKeptTextBuffer) std::string().swap(received_);
  } catch (...) {
    SetPendingError(app_, 0);
    LogToFile(app_, "Sablewick", "Main OnMessage");
  }
  Dispatching = false;
}

std::vector<int> Dispatcher::Inject(std::string_view text, bool dryRun) {
  ++Count.injected;
  if (!dryRun) {
    injecting_ = true;
    matched_.clear();
    try {
      Readmessage(text);
    } catch (...) {
      injecting_ = false;
      throw;
    }
    injecting_ = false;
    return std::move(matched_);
  }
  XapMessage msg(&app_);
  msg.Init();
  msg.FromXap(text, app_.clock->Now());
  std::vector<int> matched;
  if (msg.CompareClass("Homeseer.Role")) return matched;
  for (size_t i = 0; i < Subscriptions.size(); ++i) {
    if (!Subscriptions[i].LooksPrepared()) Subscriptions[i].Prepare();
    if (Passes(Subscriptions[i], msg)) matched.push_back(static_cast<int>(i + 1));
  }
  return matched;
}

bool Dispatcher::Passes(const ScriptVBS& sub, const XapMessage& msg) {
  // All four must pass; the class, the cheapest, is tried first.
  return (sub.SchemaFilter.Empty() || msg.MatchClass(sub.SchemaFilter)) &&
         (sub.SourceFilter.Empty() || msg.MatchSource(sub.SourceFilter)) &&
         (sub.TargetFilter.Empty() || msg.MatchTarget(sub.TargetFilter)) &&
         (sub.SectionFilter.Empty() || msg.MatchSection(sub.SectionFilter));
}

void Dispatcher::Readmessage(std::string_view text) {
  // The message of the text before is parsed into again: a text costs no allocation (a kept
  // one, its copy in the store's memory).
  std::shared_ptr<XapMessage> shared;
  if (spare_ != nullptr && spare_.use_count() == 1) {
    shared = std::move(spare_);
    shared->Recycle();
  } else {
    shared = std::make_shared<XapMessage>(&app_);
  }
  Dispatch(shared, text);
  if (shared.use_count() == 1 && shared->TextSize() <= kKeptTextBuffer) spare_ = std::move(shared);
}

void Dispatcher::Dispatch(const std::shared_ptr<XapMessage>& shared, std::string_view text) {
  StepRunner step(app_, "Sablewick", "Readmessage", ReportVia::Log);
  ++MessageCounter;
  const bool keepMatches = Trace || injecting_;
  if (Trace) matched_.clear();
  XapMessage& msg = *shared;
  step([&] {
    msg.Init();
    msg.FromXap(text, app_.clock->Now());
  });
  if (OnParsed) step([&] { OnParsed(msg); });
  // Asked only of role and echo queries, the only messages answered.
  const auto toUs = [&] {
    const std::string_view own = app_.xap ? std::string_view(app_.xap->XapSource()) : "";
    return msg.CompareTarget("Unknown") || msg.CompareTarget(own);
  };

  bool isRole = false;
  step([&] { isRole = msg.CompareClass("Homeseer.Role"); });
  if (isRole) {
    step([&] {
      if (!toUs()) return;
      const std::string role = ToLower(msg.GetItem("Role.Query", "Role"));
      if (role == "application" || role == "any") SendRoleNotification();
    });
    if (Trace) Trace({text, msg, {}, injecting_});
    return;  // role messages are never offered to subscriptions
  }

  step([&] {
    if (!msg.CompareClass("WDT.Echo") || !toUs()) return;
    const std::string_view query = msg.ItemValue("Echo.Query", "Query");
    if (query != "Unknown") SendEchoResponse(msg, query);
  });
  ++Count.dispatched;
  bool passedAny = false;

  // Made when the first subscription takes the message.
  const uint64_t number = MessageCounter;
  std::string handle;
  for (size_t i = 0; i < Subscriptions.size(); ++i) {
    ScriptVBS& sub = Subscriptions[i];
    if (!sub.LooksPrepared()) sub.Prepare();
    bool pass = true;
    step([&] { pass = Passes(sub, msg); });
    if (!pass) continue;
    passedAny = true;
    if (handle.empty()) handle = "M" + std::to_string(number);
    if (keepMatches) matched_.push_back(static_cast<int>(i + 1));
    step([&] {
      msg.Handle = handle;
      if (!Store.Contains(handle)) {
        std::string dropped;
        if (!Store.Add(msg, &dropped)) DropHandles({dropped});
        storePeak_ = std::max(storePeak_, Store.Count());
      }
    });
    step([&] { sub.AddMessageHandle(handle); });
    step([&] {
      if (sub.MessageCount() != 1 && !(HandlerIdle && HandlerIdle(static_cast<int>(i + 1)))) {
        return;
      }
      if (!StartScript) throw Failure(kGenericFailure, "scripts cannot be started");
      // The subscription list may change while the script starts; copy what we need.
      const std::string script = sub.Script;
      StartScript(script, static_cast<int>(i + 1));
    });
    step([&] {
      if (sub.MessageCount() == 1 && app_.SwapIcons) app_.SwapIcons();
    });
  }
  if (passedAny) ++Count.matched;
  if (Trace) Trace({text, msg, matched_, injecting_});
}

ScriptVBS* Dispatcher::SubscriptionAt(long position) {
  if (position < 1 || position > static_cast<long>(Subscriptions.size())) return nullptr;
  return &Subscriptions[static_cast<size_t>(position - 1)];
}

void Dispatcher::DropHandles(const std::vector<std::string>& handles) {
  for (ScriptVBS& sub : Subscriptions) {
    for (const std::string& h : handles) sub.RemoveMessageHandle(h);
  }
  storeDropped_ += handles.size();
  Count.storeDropped += handles.size();
  const uint32_t now = app_.clock->TickCount();
  if (!storeReported_ || now - lastStoreReport_ >= 60000) {
    storeReported_ = true;
    lastStoreReport_ = now;
    LogToFile(app_, "Sablewick",
              "Message store full: " + std::to_string(storeDropped_) + " messages dropped");
    storeDropped_ = 0;
  }
}

void Dispatcher::ExpireMessages() {
  const double now = app_.clock->Now();
  std::vector<std::string> expired;
  Store.ForEach([&](const XapMessage& m) {
    // Whole seconds between the receive time and now, as the date type counts them.
    const double seconds = std::nearbyint((now - m.Timestamp) * 86400.0);
    if (seconds > 60) expired.push_back(m.Handle);
  });
  if (!expired.empty()) {
    std::unordered_set<std::string> gone(expired.begin(), expired.end());
    for (ScriptVBS& sub : Subscriptions) {
      sub.expiredUnlogged +=
          sub.RemoveHandlesIf([&](const std::string& h) { return gone.count(h) != 0; });
    }
    for (const std::string& h : expired) Store.Remove(h);
  }
  // A handler that does not fetch what it is given is said, at most once a minute for each
  // subscription; what expires meanwhile is counted into the next line.
  const uint32_t tick = app_.clock->TickCount();
  for (size_t i = 0; i < Subscriptions.size(); ++i) {
    ScriptVBS& sub = Subscriptions[i];
    if (sub.expiredUnlogged == 0) continue;
    if (sub.expiryLogged && tick - sub.expiryLoggedAt < 60000) continue;
    sub.expiryLogged = true;
    sub.expiryLoggedAt = tick;
    LogToFile(app_, "Sablewick",
              "Subscription " + std::to_string(i + 1) + " (" + ShownPath(app_, sub.Script) +
                  "): " + std::to_string(sub.expiredUnlogged) +
                  " message(s) expired after 60 s without being fetched");
    sub.expiredUnlogged = 0;
  }
  // Once a busy spell is over, the heap it grew is handed back: free pages between the records
  // that outlive it (the run journal's, the log's) go back to the kernel.
  if (Store.Count() == 0 && storePeak_ >= kTrimAfterMessages) {
    storePeak_ = 0;
    ::malloc_trim(0);
  }
}

void Dispatcher::SendRoleNotification() {
  ++Count.roleAnswers;
  SendXap(app_, "", "Homeseer.Role", "Role.Notification",
          ItemList({{"Role", "Application"}, {"Path", app_.ProgramPath}}));
}

void Dispatcher::SendEchoResponse(const XapMessage& query, std::string_view value) {
  ++Count.echoAnswers;
  // The answer's one item (the query lower-cased), in a buffer kept from answer to answer.
  std::string& data = echoData_;
  data.assign("Response\1");
  const size_t start = data.size();
  data += value;
  for (size_t i = start; i < data.size(); ++i) data[i] = LowerAscii(data[i]);
  SendXap(app_, query.msgSource, "WDT.Echo", "Echo.Response", data);
  // A rare long query does not keep its buffer.
  if (data.capacity() > kKeptEchoBuffer) std::string().swap(data);
}

}  // namespace sablewick
