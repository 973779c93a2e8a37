#include "watchdog/WatchedDevices.h"

#include <algorithm>

#include "core/Errors.h"

namespace sablewick {
namespace {

// The keyed table's own error numbers, as scripts know them.
constexpr int32_t kKeyExists = 457;
constexpr int32_t kObjectRequired = 424;

}  // namespace

void WatchedDeviceTable::Add(const std::string& key, std::shared_ptr<WDT> record) {
  if (!record) throw Failure(kObjectRequired, "Object required");
  if (Exists(key)) {
    throw Failure(kKeyExists, "This key is already associated with an element of this collection");
  }
  entries_.emplace_back(key, std::move(record));
}

bool WatchedDeviceTable::Exists(const std::string& key) const {
  return std::any_of(entries_.begin(), entries_.end(),
                     [&](const auto& entry) { return entry.first == key; });
}

std::shared_ptr<WDT> WatchedDeviceTable::Item(const std::string& key) const {
  for (const auto& [k, record] : entries_) {
    if (k == key) return record;
  }
  return nullptr;
}

bool WatchedDeviceTable::Remove(const std::string& key) {
  const auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const auto& entry) { return entry.first == key; });
  if (it == entries_.end()) return false;
  entries_.erase(it);
  return true;
}

std::vector<std::string> WatchedDeviceTable::Keys() const {
  std::vector<std::string> keys;
  keys.reserve(entries_.size());
  for (const auto& entry : entries_) keys.push_back(entry.first);
  return keys;
}

}  // namespace sablewick
