// The object server: other processes create "Sablewick.Application" and call its members over
// D-Bus, and every call runs here, on the loop's one thread.
//
// It serves a private peer-to-peer socket (same user only) and, when a session bus is there,
// the name org.sablewick.Sablewick on it. The factory object kFactoryPath makes a new instance
// per Create and returns its path; every object a call returns gets a path of its own below
// kObjectsPath. An object belongs to the client that received it (a peer connection, or a
// unique name on the bus): only that client can call it, and it lives until the client
// releases it or goes away. CreateKept makes an instance that lives until released and that
// any client of the user may call, for callers that open a new connection per call (busctl,
// gdbus and dbus-send in shell scripts).
//
// Every object offers kObjectInterface (Invoke by name without regard to case, TypeName,
// MemberNames, Enumerate, Release). A class registered with RegisterClass<T>() also gets an
// interface generated from T::kMembers, one D-Bus method per member, so that introspection
// shows every member; script/README.md describes the mapping and the names.
//
// A service (RegisterService<T>) is a fixed path served to each client by an object of its own,
// made at the client's first call there and released when the client goes; its interface is
// generated from T::kMembers the same way, with the signals T::kSignals lists (name and
// signature).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <typeindex>
#include <typeinfo>
#include <vector>

#include "engine/HostObject.h"

typedef struct sd_bus_message sd_bus_message;

namespace sablewick {

struct App;

// A signal of a service: its name and D-Bus signature ("(qv)" for one tagged value).
struct SignalSpec {
  std::string_view name;
  std::string_view signature;
};

// What a service object holds of its client: a way to send it signals.
class ClientLink {
 public:
  virtual ~ClientLink() = default;
  // Sends the signal with the arguments fill appends (fill returns a negative errno on
  // failure), to this client alone; false as Emit.
  virtual bool EmitWith(std::string_view member,
                        const std::function<int(sd_bus_message*)>& fill) = 0;
  // Sends the signal, carrying one tagged value, to this client alone. False when the client
  // is gone or has not read what it was sent already: the signal is dropped, never queued
  // without bound.
  virtual bool Emit(std::string_view member, const vbs::Variant& value) = 0;
  // True when the node sees how much waits for this client (a private-socket connection); on
  // the session bus the bus daemon queues for it, out of the node's sight.
  virtual bool Bounded() const = 0;
};

class ObjectServer {
 public:
  using Factory = std::function<vbs::ObjectPtr<vbs::HostObject>()>;

  struct Options {
    std::string socketPath;      // empty: DefaultSocketPath() (script/BusValue.h)
    bool useSessionBus = true;   // claim the bus name when a session bus is there
    std::string sessionAddress;  // empty: the session bus the environment names
    // Every resource a client can grow has a limit.
    size_t maxConnections = 256;
    size_t maxObjectsPerClient = 10000;
    size_t maxObjects = 100000;
    // Messages waiting for one connection's socket beyond which ClientLink::Emit drops: with
    // signals of at most 64 KB (Control batches its own), a client that stops reading costs
    // about 2 MB besides the socket's buffer.
    size_t maxQueuedSignals = 32;
    // Bytes of replies a peer connection may leave unread once its socket's buffer (at most
    // peerSendBuffer, 0: what sd-bus chose) is full; past it the client is disconnected.
    size_t maxUnreadBytes = 32u << 20;
    // Replies waiting for one connection beyond which it is disconnected too: a small reply
    // costs the node about a kilobyte of bookkeeping, whatever its bytes.
    size_t maxUnreadReplies = 8192;
    size_t peerSendBuffer = 2u << 20;
    // A kept object nobody used for this long is released (checked every minute, or at this
    // interval when it is shorter).
    unsigned keptIdleSeconds = 3600;
  };

  // factory makes a new "Sablewick.Application" instance per creation.
  ObjectServer(App& app, Factory factory);
  ObjectServer(App& app, Factory factory, Options options);
  // Flushes pending replies (bounded in time), closes every connection, releases every object
  // and removes the socket file.
  ~ObjectServer();
  ObjectServer(const ObjectServer&) = delete;
  ObjectServer& operator=(const ObjectServer&) = delete;

  // Opens the private socket and, when there is one, the session bus. False, with one log
  // line, when the private socket cannot be made; a missing session bus is not a failure.
  bool Start();
  // "unix:path=..." of the private socket, for the processes the program starts.
  const std::string& Address() const;
  const std::string& SocketPath() const;

  // Gives the objects of class T their own D-Bus interface, generated from T::kMembers. Call
  // once per class; objects of classes never registered still offer the generic interface.
  template <class T>
  void RegisterClass() {
    std::vector<ClassMember> members;
    for (const auto& m : T::kMembers)
      members.push_back({m.name, static_cast<uint8_t>(m.kind), m.minArgs, m.maxArgs});
    RegisterClassTable(std::type_index(typeid(T)), T::kTypeName, members);
  }

  // Serves path with one T per client, made by make; call once per path, before Start or after.
  template <class T>
  void RegisterService(std::string_view path,
                       std::function<vbs::ObjectPtr<T>(std::shared_ptr<ClientLink>)> make) {
    std::vector<ClassMember> members;
    for (const auto& m : T::kMembers)
      members.push_back({m.name, static_cast<uint8_t>(m.kind), m.minArgs, m.maxArgs});
    std::vector<SignalSpec> signals(std::begin(T::kSignals), std::end(T::kSignals));
    RegisterServiceTable(std::type_index(typeid(T)), T::kTypeName, members, signals, path,
                         [make = std::move(make)](std::shared_ptr<ClientLink> link) {
                           return vbs::ObjectPtr<vbs::HostObject>(make(std::move(link)));
                         });
  }

  // Releases the kept objects made from processes of the process group pgid: a script the
  // node started (the leader of its group) has ended.
  void ReleaseKeptOf(int pgid);

  size_t ObjectCount() const;      // live exported objects
  size_t ConnectionCount() const;  // peer connections
  bool OwnsBusName() const;        // the session-bus name is ours at the moment

 private:
  struct ClassMember {
    std::string_view name;
    uint8_t kind;  // vbs::MemberKind
    int8_t minArgs;
    int8_t maxArgs;
  };
  void RegisterClassTable(std::type_index type, std::string_view typeName,
                          std::span<const ClassMember> members);
  void RegisterServiceTable(
      std::type_index type, std::string_view typeName, std::span<const ClassMember> members,
      std::span<const SignalSpec> signals, std::string_view path,
      std::function<vbs::ObjectPtr<vbs::HostObject>(std::shared_ptr<ClientLink>)> make);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace sablewick
