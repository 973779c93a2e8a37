// The watched-device table: WDT records under keys, kept in the order they were added. The
// scan walks the keys in that order.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace sablewick {

class WDT;

class WatchedDeviceTable {
 public:
  // Adds a record under a key not yet present; a present key or a missing record is a
  // failure and leaves the table unchanged.
  void Add(const std::string& key, std::shared_ptr<WDT> record);
  bool Exists(const std::string& key) const;
  // The record under key; null when the key is not there (the table is not changed).
  std::shared_ptr<WDT> Item(const std::string& key) const;
  // False when the key was not there.
  bool Remove(const std::string& key);
  void RemoveAll() { entries_.clear(); }
  std::vector<std::string> Keys() const;
  size_t Count() const { return entries_.size(); }

 private:
  // A device number has two hex digits, so the table stays small: a scan over a vector
  // is cheaper than keeping an index beside it.
  std::vector<std::pair<std::string, std::shared_ptr<WDT>>> entries_;
};

}  // namespace sablewick
