// Subscriptions and the message store. A subscription (ScriptVBS) joins four filters to a
// script file and queues the handles of the stored messages that passed them; the store keeps
// each matching message once, under its handle, until it expires, as a copy in memory of its
// own (the copies and the store's index, away from the heap where the traffic that brought
// them comes and goes).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "xap/XapMessage.h"

namespace sablewick {

class ScriptVBS {
 public:
  // Handles a subscription keeps before the oldest is dropped: a script that never fetches
  // must not let a busy network grow memory without end.
  static constexpr size_t kMaxHandles = 10000;

  std::string Schema, Source, Target, Section, Script;
  // Queued messages that expired unfetched and are not yet in the log, and when the last
  // such line was written (tick count).
  uint64_t expiredUnlogged = 0;
  uint32_t expiryLoggedAt = 0;
  bool expiryLogged = false;
  // The four filters prepared for matching; Prepare() after changing them.
  XapFilter SchemaFilter, SourceFilter, TargetFilter, SectionFilter;
  void Prepare() {
    SchemaFilter = XapFilter(Schema);
    SourceFilter = XapFilter(Source);
    TargetFilter = XapFilter(Target);
    SectionFilter = XapFilter(Section);
  }
  // A cheap guard for a subscription made without Prepare(): its empty filters would let
  // every message through. Lengths only (the texts are not changed once made).
  bool LooksPrepared() const {
    return SchemaFilter.Text().size() == Schema.size() &&
           SourceFilter.Text().size() == Source.size() &&
           TargetFilter.Text().size() == Target.size() &&
           SectionFilter.Text().size() == Section.size();
  }

  void AddMessageHandle(std::string_view s);
  // Removes the first entry equal to s, letter case ignored.
  void RemoveMessageHandle(std::string_view s);
  int MessageCount() const { return static_cast<int>(messageHandles_.size()); }
  // Takes the oldest handle out of the queue; empty when there is none.
  std::string MessageHandle();
  // Oldest first.
  const std::deque<std::string>& Handles() const { return messageHandles_; }
  // Removes every queued handle for which drop(handle) is true.
  // Removes every queued handle for which drop(handle) is true; how many went.
  template <class Pred>
  size_t RemoveHandlesIf(Pred drop) {
    return std::erase_if(messageHandles_, drop);
  }

 private:
  std::deque<std::string> messageHandles_;
};

class MessageStore {
 public:
  // Messages kept at most; beyond it the oldest goes first, as if it had expired.
  static constexpr size_t kMaxMessages = 100000;

  // memory holds the kept copies and the index; it must outlive every copy handed out.
  explicit MessageStore(std::pmr::memory_resource* memory = std::pmr::get_default_resource())
      : messages_(memory) {}

  bool Contains(std::string_view handle) const;
  // Keeps a copy of the message, made in the store's memory, under its Handle; false when the
  // store was full and the oldest message had to go (its handle is returned through dropped).
  bool Add(const XapMessage& msg, std::string* dropped = nullptr);
  std::shared_ptr<XapMessage> Find(std::string_view handle) const;
  void Remove(std::string_view handle);
  size_t Count() const { return messages_.size(); }

  // Oldest first.
  template <class Fn>
  void ForEach(Fn fn) const {
    for (const auto& [key, msg] : messages_) fn(*msg);
  }

 private:
  // Handles are "M" and a rising count, so the count orders the store by arrival.
  static bool Key(std::string_view handle, uint64_t& key);
  std::pmr::map<uint64_t, std::shared_ptr<XapMessage>> messages_;
};

}  // namespace sablewick
