#include "script/Subscriptions.h"

#include "core/Text.h"

namespace sablewick {

void ScriptVBS::AddMessageHandle(std::string_view s) {
  if (messageHandles_.size() >= kMaxHandles) messageHandles_.pop_front();
  messageHandles_.emplace_back(s);
}

void ScriptVBS::RemoveMessageHandle(std::string_view s) {
  for (auto it = messageHandles_.begin(); it != messageHandles_.end(); ++it) {
    if (EqualsNoCase(*it, s)) {
      messageHandles_.erase(it);
      return;
    }
  }
}

std::string ScriptVBS::MessageHandle() {
  if (messageHandles_.empty()) return {};
  std::string h = std::move(messageHandles_.front());
  messageHandles_.pop_front();
  return h;
}

bool MessageStore::Key(std::string_view handle, uint64_t& key) {
  if (handle.size() < 2 || (handle[0] != 'M' && handle[0] != 'm') || handle.size() > 21) {
    return false;
  }
  key = 0;
  for (char c : handle.substr(1)) {
    if (c < '0' || c > '9') return false;
    key = key * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

bool MessageStore::Contains(std::string_view handle) const {
  uint64_t key;
  return Key(handle, key) && messages_.count(key) != 0;
}

bool MessageStore::Add(const XapMessage& msg, std::string* dropped) {
  uint64_t key;
  if (!Key(msg.Handle, key)) return true;
  bool full = false;
  if (messages_.size() >= kMaxMessages) {
    auto oldest = messages_.begin();
    if (dropped != nullptr) *dropped = oldest->second->Handle;
    messages_.erase(oldest);
    full = true;
  }
  const std::pmr::polymorphic_allocator<XapMessage> memory(messages_.get_allocator());
  messages_.emplace(key, std::allocate_shared<XapMessage>(memory, msg, memory.resource()));
  return !full;
}

std::shared_ptr<XapMessage> MessageStore::Find(std::string_view handle) const {
  uint64_t key;
  if (!Key(handle, key)) return nullptr;
  auto it = messages_.find(key);
  return it == messages_.end() ? nullptr : it->second;
}

void MessageStore::Remove(std::string_view handle) {
  uint64_t key;
  if (Key(handle, key)) messages_.erase(key);
}

}  // namespace sablewick
