// What scripts see of an xAP message and of its item collections. A stored message is shared:
// the store, the dispatcher and every script holding it see one message.
#pragma once

#include <memory>
#include <span>

#include "engine/HostObject.h"
#include "xap/XapMessage.h"

namespace sablewick {

class XapMessageObject : public vbs::TableObject<XapMessageObject> {
 public:
  static constexpr std::string_view kTypeName = "XapMessage";
  static const std::span<const vbs::Member<XapMessageObject>> kMembers;

  explicit XapMessageObject(std::shared_ptr<XapMessage> msg);
  XapMessage& Msg() { return *msg_; }
  const std::shared_ptr<XapMessage>& Shared() const { return msg_; }

 private:
  // The table kMembers views: sized only in the .cpp, so nothing else iterates it.
  static const vbs::Member<XapMessageObject> kMemberTable[];
  std::shared_ptr<XapMessage> msg_;
};

// One section's items: Count, Item(position from 1 or name) as the default member, and
// For Each over the whole item lines.
class ItemCollectionObject : public vbs::TableObject<ItemCollectionObject> {
 public:
  static constexpr std::string_view kTypeName = "Collection";
  static const std::span<const vbs::Member<ItemCollectionObject>> kMembers;

  ItemCollectionObject(std::shared_ptr<XapMessage> msg, int section);
  ItemCollection Items() const { return ItemCollection(*msg_, section_); }
  std::unique_ptr<vbs::Enumerator> Enumerate() override;

 private:
  // The table kMembers views: sized only in the .cpp, so nothing else iterates it.
  static const vbs::Member<ItemCollectionObject> kMemberTable[];
  std::shared_ptr<XapMessage> msg_;
  int section_;
};

class ObjectServer;

// Gives every class that scripts see its interface on the object server.
void RegisterScriptClasses(ObjectServer& server);

// Wraps a message for a script; Nothing for null.
vbs::Variant MessageVariant(const std::shared_ptr<XapMessage>& msg);

}  // namespace sablewick
