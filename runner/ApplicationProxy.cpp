#include "runner/ApplicationProxy.h"

#include <systemd/sd-bus.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/Errors.h"
#include "engine/Variant.h"
#include "script/BusValue.h"

namespace runner {
namespace {

using sablewick::CheckBus;
using vbs::Variant;

// A call may wait behind another script's WaitMilliseconds in the daemon: only a daemon that
// is truly stuck should time out.
constexpr uint64_t kCallTimeoutUsec = 10ull * 60 * 1000 * 1000;
// VBScript's number for "the remote server machine does not exist or is unavailable".
constexpr int32_t kServerUnavailable = 462;

// The process's one connection to the daemon, shared by every proxy and closed (after its last
// Release messages are written) when the last proxy goes.
class Link {
 public:
  Link(sd_bus* bus, const char* destination) : bus_(bus), destination_(destination) {}
  ~Link() { sd_bus_flush_close_unref(bus_); }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

  sd_bus* Bus() const { return bus_; }
  // The bus name on the session bus; null on a private peer connection.
  const char* Destination() const { return destination_; }

  sd_bus_message* NewCall(const std::string& path, const char* interface, const char* member) {
    sd_bus_message* m = nullptr;
    CheckBus(sd_bus_message_new_method_call(bus_, &m, destination_, path.c_str(), interface,
                                            member),
             member);
    return m;
  }

  // Sends the call and waits for its reply; a failure becomes the matching script error.
  sd_bus_message* Call(sd_bus_message* m) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    sd_bus_message* reply = nullptr;
    const int r = sd_bus_call(bus_, m, kCallTimeoutUsec, &error, &reply);
    sd_bus_message_unref(m);
    if (r >= 0) return reply;
    int32_t number = 0;
    std::string description;
    if (!sablewick::ParseScriptError(&error, number, description)) {
      const bool noMember = sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_METHOD) ||
                            sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_INTERFACE);
      number = noMember ? vbs::kNoSuchMember : kServerUnavailable;
      description = std::string("Sablewick: ") +
                    (error.message ? error.message : std::strerror(-r));
    }
    sd_bus_error_free(&error);
    vbs::Throw(number, std::move(description));
  }

 private:
  sd_bus* bus_;
  const char* destination_;
};

class RemoteObject;

class ProxyMapper : public sablewick::ObjectMapper {
 public:
  explicit ProxyMapper(std::shared_ptr<Link> link) : link_(std::move(link)) {}
  std::string PathOf(vbs::HostObject* object) override;
  Variant ObjectAt(std::string_view path) override;

 private:
  std::shared_ptr<Link> link_;
};

class VectorEnumerator : public vbs::Enumerator {
 public:
  explicit VectorEnumerator(std::vector<Variant> items) : items_(std::move(items)) {}
  bool Next(Variant& out) override {
    if (next_ >= items_.size()) return false;
    out = std::move(items_[next_++]);
    return true;
  }

 private:
  std::vector<Variant> items_;
  size_t next_ = 0;
};

class RemoteObject : public vbs::HostObject {
 public:
  RemoteObject(std::shared_ptr<Link> link, std::string path)
      : link_(std::move(link)), path_(std::move(path)) {}

  const std::string& Path() const { return path_; }
  const Link* LinkOf() const { return link_.get(); }

  std::string TypeName() const override {
    if (typeName_.empty()) {
      try {
        sd_bus_message* reply =
            link_->Call(link_->NewCall(path_, sablewick::kObjectInterface, "TypeName"));
        const char* name = nullptr;
        if (sd_bus_message_read(reply, "s", &name) >= 0 && name) typeName_ = name;
        sd_bus_message_unref(reply);
      } catch (const vbs::ScriptError&) {
      }
      if (typeName_.empty()) typeName_ = "Object";
    }
    return typeName_;
  }

  // Every name is accepted here; the daemon answers 438 when the object has no such member.
  int MemberId(std::string_view name) override {
    if (name.empty()) return vbs::kDefaultMember;
    for (size_t i = 0; i < names_.size(); ++i)
      if (vbs::NameEquals(names_[i], name)) return static_cast<int>(i) + 1;
    names_.emplace_back(name);
    return static_cast<int>(names_.size());
  }

  Variant Invoke(int id, vbs::InvokeKind kind, vbs::Args args) override {
    std::string name;
    if (id != vbs::kDefaultMember) {
      if (id < 1 || static_cast<size_t>(id) > names_.size()) vbs::Throw(vbs::kNoSuchMember);
      name = names_[id - 1];
    }
    ProxyMapper map(link_);
    sd_bus_message* m = link_->NewCall(path_, sablewick::kObjectInterface, "Invoke");
    try {
      CheckBus(sd_bus_message_append(m, "sy", name.c_str(), static_cast<uint8_t>(kind)), "Invoke");
      sablewick::AppendArguments(m, args, map);
    } catch (...) {
      sd_bus_message_unref(m);
      throw;
    }
    sd_bus_message* reply = link_->Call(m);
    try {
      Variant result = sablewick::ReadTagged(reply, map);
      sd_bus_message_unref(reply);
      return result;
    } catch (...) {
      sd_bus_message_unref(reply);
      throw;
    }
  }

  std::unique_ptr<vbs::Enumerator> Enumerate() override {
    sd_bus_message* reply = nullptr;
    try {
      reply = link_->Call(link_->NewCall(path_, sablewick::kObjectInterface, "Enumerate"));
    } catch (const vbs::ScriptError& e) {
      if (e.number == vbs::kNotACollection) return nullptr;
      throw;
    }
    ProxyMapper map(link_);
    std::vector<Variant> items;
    try {
      CheckBus(sd_bus_message_enter_container(reply, 'a', sablewick::kTaggedSignature), "items");
      while (sd_bus_message_at_end(reply, false) == 0)
        items.push_back(sablewick::ReadTagged(reply, map));
    } catch (...) {
      sd_bus_message_unref(reply);
      throw;
    }
    sd_bus_message_unref(reply);
    return std::make_unique<VectorEnumerator>(std::move(items));
  }

 protected:
  // The daemon keeps the object until told; no reply is awaited, the connection's close
  // writes what is still queued.
  void LastReleased() override {
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_method_call(link_->Bus(), &m, link_->Destination(), path_.c_str(),
                                       sablewick::kObjectInterface, "Release") >= 0) {
      sd_bus_message_set_expect_reply(m, 0);
      sd_bus_send(link_->Bus(), m, nullptr);
      sd_bus_message_unref(m);
    }
    delete this;
  }

 private:
  std::shared_ptr<Link> link_;
  std::string path_;
  std::vector<std::string> names_;
  mutable std::string typeName_;
};

std::string ProxyMapper::PathOf(vbs::HostObject* object) {
  auto* remote = dynamic_cast<RemoteObject*>(object);
  if (remote == nullptr || remote->LinkOf() != link_.get())
    vbs::Throw(vbs::kTypeMismatch, "only the program's own objects can be passed to it");
  return remote->Path();
}

Variant ProxyMapper::ObjectAt(std::string_view path) {
  return Variant::Object(vbs::MakeObject<RemoteObject>(link_, std::string(path)));
}

// Opened by the first CreateObject, shared by all the proxies of the process while any lives.
std::shared_ptr<Link> OpenLink(std::string& tried, std::string& refusal) {
  // A weak reference: the link closes with its last proxy, and a later CreateObject opens a
  // new one. One process, one thread: nothing else touches it.
  static std::weak_ptr<Link> shared;
  if (auto link = shared.lock()) return link;

  std::shared_ptr<Link> link;
  bool onSessionBus = false;
  if (sd_bus* bus = sablewick::ConnectToDaemon({}, tried, onSessionBus, refusal))
    link = std::make_shared<Link>(bus, onSessionBus ? sablewick::kBusName : nullptr);
  shared = link;
  return link;
}

}  // namespace

vbs::ObjectPtr<vbs::HostObject> MakeApplicationProxy() {
  std::string tried, refusal;
  std::shared_ptr<Link> link = OpenLink(tried, refusal);
  if (!link && !refusal.empty())
    vbs::Throw(vbs::kCannotCreateObject, "ActiveX component can't create object: " + refusal);
  if (!link)
    vbs::Throw(vbs::kCannotCreateObject,
               "ActiveX component can't create object: Sablewick is not running (tried" + tried +
                   ")");
  sd_bus_message* reply = nullptr;
  try {
    reply = link->Call(link->NewCall(sablewick::kFactoryPath, sablewick::kFactoryInterface,
                                     "Create"));
  } catch (const vbs::ScriptError& e) {
    vbs::Throw(vbs::kCannotCreateObject,
               "ActiveX component can't create object: " + e.description);
  }
  const char* path = nullptr;
  const int r = sd_bus_message_read(reply, "o", &path);
  std::string where = r >= 0 && path ? path : "";
  sd_bus_message_unref(reply);
  if (where.empty()) vbs::Throw(vbs::kCannotCreateObject);
  return vbs::MakeObject<RemoteObject>(std::move(link), std::move(where));
}

}  // namespace runner
