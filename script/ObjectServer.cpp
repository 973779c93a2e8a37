#include "script/ObjectServer.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <malloc.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <map>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/BusSource.h"
#include "core/Errors.h"
#include "core/Log.h"
#include "engine/Errors.h"
#include "engine/Variant.h"
#include "script/BusValue.h"

namespace sablewick {

using vbs::Variant;

namespace {

constexpr char kDbusPath[] = "/org/freedesktop/DBus";
constexpr char kDbusInterface[] = "org.freedesktop.DBus";
// Refusals are logged one line each, up to this many per run and kind (other users, and
// connections past the limit): a flood must not fill the log, nor hide the other kind.
constexpr int kMaxRefusalLines = 20;
// Unread replies of a closed connection past which freed memory is handed back at once.
constexpr uint64_t kTrimAfterReplies = 256;
// How long shutdown waits for replies that the kernel did not take at once.
constexpr int kFlushMs = 1000;
constexpr int kAcceptsPerWakeup = 16;
// Enumerate sends a whole collection in one reply; D-Bus caps a message at 128 MiB anyway.
constexpr size_t kMaxCollectionItems = 100000;

// D-Bus address values escape every byte outside [-0-9A-Za-z_/.\*].
std::string EscapeAddressValue(std::string_view s) {
  static const char hex[] = "0123456789abcdef";
  std::string out;
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    if (g_ascii_isalnum(c) || std::strchr("-_/.\\*", c) != nullptr) {
      out += ch;
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

bool IsBusMemberName(std::string_view s) {
  if (s.empty() || s.size() > 255 || g_ascii_isdigit(s[0])) return false;
  for (char c : s)
    if (!g_ascii_isalnum(c) && c != '_') return false;
  return true;
}

sd_bus_vtable MethodEntry(const char* member, const char* signature, const char* result,
                          sd_bus_message_handler_t handler, const char* names) {
  sd_bus_vtable e = SD_BUS_METHOD_WITH_NAMES_OFFSET(member, signature, "", result, "", handler, 0,
                                                     SD_BUS_VTABLE_UNPRIVILEGED);
  e.x.method.names = names;
  return e;
}

// About what a value takes in a message: its text and a few bytes per value.
size_t WireBytes(const Variant& value) {
  const Variant& v = value.Deref();
  if (v.IsString()) return 16 + v.AsString().size();
  if (!v.IsArray() || v.AsArray() == nullptr) return 16;
  size_t bytes = 16;
  for (const Variant& e : v.AsArray()->data) bytes += WireBytes(e);
  return bytes;
}

// The folder of the socket must be ours alone: in /tmp someone else could have made it first
// (and would then receive what our clients send, or keep us from serving at all).
bool PrepareFolder(const std::string& folder, std::string& why) {
  if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
    why = "cannot create " + folder + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    why = folder + " is not a folder";
    return false;
  }
  if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    why =
        folder + (st.st_uid != ::geteuid() ? " belongs to another user (uid " +
                                                 std::to_string(st.st_uid) + ", mode " + mode + ")"
                                           : " is open to others (mode " + std::string(mode) + ")");
    return false;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// State

struct ObjectServer::Impl {
  struct Face;
  struct Connection;

  // One exported object. Its owner key names the client: "p<connection>" for a peer
  // connection, "b<unique name>" on the session bus, "k" for kept objects.
  struct Entry {
    Impl* server;
    uint64_t id;
    vbs::ObjectPtr<vbs::HostObject> object;
    std::string owner;
    const Face* face;  // null when the class was never registered
    // Kept objects: the process group of the process that made it, and when it was last used.
    pid_t maker = 0;
    gint64 lastUse = 0;
  };

  // The D-Bus interface generated from a class's member table.
  struct Face {
    struct Method {
      std::string tableName;
      bool assign;   // SetX: Let (or Set when the value is an object)
      bool list;     // arguments as one av instead of a v each
    };
    std::type_index type;
    std::string interface;
    std::deque<std::string> strings;  // the vtable points into these
    std::vector<sd_bus_vtable> vtable;
    std::unordered_map<std::string, Method> methods;  // by D-Bus member name
    std::vector<std::string> memberNames;
    // A service's fixed path and the maker of its per-client objects; empty for a class.
    std::string servicePath;
    std::function<vbs::ObjectPtr<vbs::HostObject>(std::shared_ptr<ClientLink>)> make;
  };

  // What a class vtable's find callback needs.
  struct FaceBinding {
    Connection* connection;
    const Face* face;
  };

  struct Connection {
    Impl* server;
    uint64_t id;
    bool session;
    sd_bus* bus = nullptr;
    std::unique_ptr<BusSource> source;
    std::vector<sd_bus_slot*> slots;
    std::vector<std::unique_ptr<FaceBinding>> bindings;
    // Bytes of replies sent since sd-bus last had nothing waiting for this socket.
    size_t unreadBytes = 0;
    bool overLimit = false;

    void DropSlots() {
      for (sd_bus_slot* s : slots) sd_bus_slot_unref(s);
      slots.clear();
    }
    ~Connection() {
      DropSlots();
      source.reset();
      if (bus) sd_bus_close_unref(bus);
    }
  };

  // Turns objects into paths for one client and back, undoing its exports when the call fails.
  class Mapper : public ObjectMapper {
   public:
    Mapper(Impl& server, std::string owner) : server_(server), owner_(std::move(owner)) {}
    std::string PathOf(vbs::HostObject* object) override {
      const uint64_t id = server_.Export(vbs::ObjectPtr<vbs::HostObject>(object), owner_);
      made_.push_back(id);
      return server_.PathFor(id);
    }
    Variant ObjectAt(std::string_view path) override {
      Entry* e = server_.Lookup(path, owner_);
      if (e == nullptr) vbs::Throw(vbs::kObjectRequired, "no such object: " + std::string(path));
      return Variant::Object(e->object);
    }
    void Undo() {
      for (uint64_t id : made_) server_.Drop(id);
      made_.clear();
    }

   private:
    Impl& server_;
    std::string owner_;
    std::vector<uint64_t> made_;
  };

  Impl(App& a, Factory f, Options o)
      : app(a), factory(std::move(f)), options(std::move(o)) {}

  App& app;
  Factory factory;
  Options options;
  std::string socketPath;
  // The folder made with mkdtemp when the default one was refused; removed at the end.
  std::string madeFolder;
  std::string address;
  int listenFd = -1;
  guint acceptWatch = 0;
  guint acceptPause = 0;
  sd_id128_t serverId{};
  uint64_t nextConnection = 1;
  uint64_t nextObject = 1;
  guint keptSweep = 0;
  // Peers that left too many replies unread, disconnected from the loop after the call.
  std::vector<uint64_t> unreadDrops;
  guint unreadIdle = 0;
  int otherUserLines = 0;
  int pastLimitLines = 0;
  bool closing = false;

  std::map<uint64_t, std::unique_ptr<Connection>> peers;
  std::unique_ptr<Connection> session;
  bool ownsName = false;

  std::unordered_map<uint64_t, Entry> objects;
  std::unordered_map<std::string, std::unordered_set<uint64_t>> owners;
  std::deque<Face> faces;
  std::unordered_map<std::type_index, const Face*> faceByType;
  // Each client's object of each service: (owner key, service) -> object id.
  std::map<std::pair<std::string, const Face*>, uint64_t> serviceObjects;

  // A service object's way back to its client.
  class Link : public ClientLink {
   public:
    Link(Impl& server, uint64_t connection, std::string destination, const Face& face)
        : server_(server), connection_(connection), destination_(std::move(destination)),
          face_(face) {}
    bool Emit(std::string_view member, const Variant& value) override {
      return EmitWith(member, [&](sd_bus_message* m) {
        try {
          NoObjects none;
          AppendTagged(m, value, none);
          return 0;
        } catch (...) {
          return -EINVAL;
        }
      });
    }
    bool EmitWith(std::string_view member,
                  const std::function<int(sd_bus_message*)>& fill) override {
      Connection* c = server_.ConnectionById(connection_);
      if (c == nullptr || server_.closing) return false;
      uint64_t queued = 0;
      if (sd_bus_get_n_queued_write(c->bus, &queued) < 0 ||
          queued >= server_.options.maxQueuedSignals)
        return false;
      sd_bus_message* m = nullptr;
      const std::string name(member);
      int r = sd_bus_message_new_signal(c->bus, &m, face_.servicePath.c_str(),
                                        face_.interface.c_str(), name.c_str());
      if (r >= 0 && !destination_.empty())
        r = sd_bus_message_set_destination(m, destination_.c_str());
      if (r >= 0) r = fill(m);
      if (r >= 0) r = sd_bus_send(c->bus, m, nullptr);
      sd_bus_message_unref(m);
      return r >= 0;
    }

    bool Bounded() const override { return connection_ != 0; }

   private:
    // Signals carry plain values only.
    struct NoObjects : ObjectMapper {
      std::string PathOf(vbs::HostObject*) override { vbs::Throw(vbs::kTypeMismatch); }
      Variant ObjectAt(std::string_view) override { vbs::Throw(vbs::kTypeMismatch); }
    };
    Impl& server_;
    uint64_t connection_;  // 0: the session bus
    std::string destination_;
    const Face& face_;
  };

  Connection* ConnectionById(uint64_t id) {
    if (id == 0) return session.get();
    auto it = peers.find(id);
    return it == peers.end() ? nullptr : it->second.get();
  }

  void Log(const std::string& line) { LogToFile(app, "Sablewick", "ObjectServer: " + line); }

  // ---- objects

  std::string PathFor(uint64_t id) const {
    return std::string(kObjectsPath) + "/" + std::to_string(id);
  }

  uint64_t Export(vbs::ObjectPtr<vbs::HostObject> object, const std::string& owner) {
    if (!object) vbs::Throw(vbs::kObjectRequired);
    auto& mine = owners[owner];
    if (mine.size() >= options.maxObjectsPerClient || objects.size() >= options.maxObjects) {
      if (mine.empty()) owners.erase(owner);
      vbs::Throw(vbs::kOutOfMemory, "too many objects held (limit " +
                                        std::to_string(options.maxObjectsPerClient) +
                                        " per client); release some first");
    }
    const uint64_t id = nextObject++;
    auto it = faceByType.find(std::type_index(typeid(*object)));
    const Face* face = it == faceByType.end() ? nullptr : it->second;
    objects.emplace(id, Entry{this, id, std::move(object), owner, face});
    mine.insert(id);
    return id;
  }

  // The entry at path when the caller may use it: its own objects and the kept ones.
  Entry* Lookup(std::string_view path, const std::string& caller) {
    const std::string_view prefix = kObjectsPath;
    if (path.size() <= prefix.size() + 1 || path.substr(0, prefix.size()) != prefix ||
        path[prefix.size()] != '/')
      return nullptr;
    uint64_t id = 0;
    for (char c : path.substr(prefix.size() + 1)) {
      if (c < '0' || c > '9' || id > UINT64_MAX / 10 - 1) return nullptr;
      id = id * 10 + static_cast<uint64_t>(c - '0');
    }
    auto it = objects.find(id);
    if (it == objects.end()) return nullptr;
    if (it->second.owner != caller && it->second.owner != "k") return nullptr;
    if (it->second.owner == "k") it->second.lastUse = g_get_monotonic_time();
    return &it->second;
  }

  // Kept objects go when their maker's script ended (pgid given) or when unused too long.
  void ReleaseKept(pid_t pgid, gint64 unusedSince) {
    auto o = owners.find("k");
    if (o == owners.end()) return;
    std::vector<uint64_t> stale;
    for (uint64_t id : o->second) {
      const Entry& e = objects.at(id);
      if ((pgid > 0 && e.maker == pgid) || e.lastUse < unusedSince) stale.push_back(id);
    }
    for (uint64_t id : stale) Drop(id);
  }

  static gboolean OnKeptSweep(gpointer userdata) {
    auto* s = static_cast<Impl*>(userdata);
    s->ReleaseKept(0, g_get_monotonic_time() -
                          static_cast<gint64>(s->options.keptIdleSeconds) * G_USEC_PER_SEC);
    return G_SOURCE_CONTINUE;
  }

  // The process group of the caller of m, 0 when unknown.
  static pid_t CallerGroup(sd_bus_message* m) {
    sd_bus_creds* creds = nullptr;
    pid_t pid = 0;
    if (sd_bus_query_sender_creds(m, SD_BUS_CREDS_PID, &creds) >= 0 &&
        sd_bus_creds_get_pid(creds, &pid) >= 0 && pid > 0) {
      const pid_t group = ::getpgid(pid);
      pid = group > 0 ? group : 0;
    }
    sd_bus_creds_unref(creds);
    return pid;
  }

  void Drop(uint64_t id) {
    auto it = objects.find(id);
    if (it == objects.end()) return;
    // The object's destructor runs after the books are straight: it may call back into us.
    vbs::ObjectPtr<vbs::HostObject> keep = std::move(it->second.object);
    auto o = owners.find(it->second.owner);
    if (o != owners.end()) {
      o->second.erase(id);
      if (o->second.empty()) owners.erase(o);
    }
    objects.erase(it);
  }

  void ReleaseOwner(const std::string& owner) {
    for (auto it = serviceObjects.lower_bound({owner, nullptr});
         it != serviceObjects.end() && it->first.first == owner;)
      it = serviceObjects.erase(it);
    auto o = owners.find(owner);
    if (o == owners.end()) return;
    std::vector<vbs::ObjectPtr<vbs::HostObject>> dying;
    for (uint64_t id : o->second) {
      auto it = objects.find(id);
      if (it == objects.end()) continue;
      dying.push_back(std::move(it->second.object));
      objects.erase(it);
    }
    owners.erase(o);
  }

  void ReleaseAll() {
    serviceObjects.clear();
    std::vector<vbs::ObjectPtr<vbs::HostObject>> dying;
    for (auto& [id, e] : objects) dying.push_back(std::move(e.object));
    objects.clear();
    owners.clear();
  }

  static std::string CallerOf(const Connection* c, sd_bus_message* m) {
    if (!c->session) return "p" + std::to_string(c->id);
    const char* sender = m ? sd_bus_message_get_sender(m) : nullptr;
    return sender ? std::string("b") + sender : std::string("b?");
  }

  // ---- calls

  // Invokes name on the entry's object with the arguments and replies with the tagged result.
  int Call(sd_bus_message* m, Entry& entry, std::string_view name, vbs::InvokeKind kind,
           std::vector<Variant> args, Mapper& map, sd_bus_error* error) {
    // The entry may go while the member runs (a nested loop turn can drop a connection).
    vbs::ObjectPtr<vbs::HostObject> object = entry.object;
    try {
      const int id = object->MemberId(name);
      if (id == vbs::kUnknownMember) vbs::Throw(vbs::kNoSuchMember);
      std::vector<Variant*> refs;
      refs.reserve(args.size());
      for (auto& a : args) refs.push_back(&a);
      Variant result = object->Invoke(id, kind, refs);
      return ReplyValue(m, result, map);
    } catch (...) {
      map.Undo();
      return ReplyFailure(error);
    }
  }

  int ReplyValue(sd_bus_message* m, const Variant& result, Mapper& map) {
    sd_bus_message* reply = nullptr;
    CheckBus(sd_bus_message_new_method_return(m, &reply), "reply");
    try {
      AppendTagged(reply, result, map);
    } catch (...) {
      sd_bus_message_unref(reply);
      throw;
    }
    SendReply(reply, WireBytes(result));
    return 1;
  }

  // Sends a reply of about bytes and drops it. A client gone gets no answer (its objects go
  // with its connection). Replies sent while earlier ones still wait in our memory (the
  // socket's buffer is full) are counted; a client that leaves more than maxUnreadBytes so is
  // disconnected. One large reply to a client that reads it does not count.
  void SendReply(sd_bus_message* reply, size_t bytes) {
    sd_bus* bus = sd_bus_message_get_bus(reply);
    Connection* c = nullptr;
    for (auto& [id, peer] : peers)
      if (peer->bus == bus) c = peer.get();
    if (c != nullptr && c->overLimit) {  // already going: nothing more is queued for it
      sd_bus_message_unref(reply);
      return;
    }
    uint64_t waiting = 0;
    const bool counted = c != nullptr && sd_bus_get_n_queued_write(bus, &waiting) >= 0;
    sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    if (!counted) return;
    c->unreadBytes = waiting == 0 ? 0 : c->unreadBytes + bytes;
    if (c->unreadBytes <= options.maxUnreadBytes && waiting < options.maxUnreadReplies) return;
    c->overLimit = true;
    Log("disconnected a client that left " + std::to_string(waiting + 1) + " replies (" +
        std::to_string(c->unreadBytes) + " bytes) unread (limits " +
        std::to_string(options.maxUnreadReplies) + " replies, " +
        std::to_string(options.maxUnreadBytes) + " bytes)");
    unreadDrops.push_back(c->id);
    if (unreadIdle != 0) return;
    // Not now: sd-bus is in the middle of this connection's call.
    unreadIdle = g_idle_add_full(
        G_PRIORITY_HIGH,
        [](gpointer data) {
          auto* self = static_cast<Impl*>(data);
          self->unreadIdle = 0;
          std::vector<uint64_t> ids;
          ids.swap(self->unreadDrops);
          for (uint64_t id : ids) self->DropPeer(id);
          return gboolean(G_SOURCE_REMOVE);
        },
        this, nullptr);
  }

  // Turns the exception being handled into the D-Bus error of the call.
  static int ReplyFailure(sd_bus_error* error) {
    try {
      throw;
    } catch (const vbs::ScriptError& e) {
      return SetScriptError(error, e.number,
                            e.description.empty() ? vbs::ErrorText(e.number) : e.description);
    } catch (const Failure& f) {
      return SetScriptError(error, f.Number() != 0 ? f.Number() : kGenericFailure, f.what());
    } catch (const std::exception& e) {
      return SetScriptError(error, kGenericFailure, e.what());
    } catch (...) {
      return SetScriptError(error, kGenericFailure, "Unknown failure");
    }
  }

  // ---- handlers

  static int FindObject(sd_bus* bus, const char* path, const char*, void* userdata, void** found,
                        sd_bus_error*) {
    auto* c = static_cast<Connection*>(userdata);
    Entry* e = c->server->Lookup(path, CallerOf(c, sd_bus_get_current_message(bus)));
    if (e == nullptr) return 0;
    *found = e;
    return 1;
  }

  static int FindFaceObject(sd_bus* bus, const char* path, const char*, void* userdata,
                            void** found, sd_bus_error*) {
    auto* b = static_cast<FaceBinding*>(userdata);
    Impl* s = b->connection->server;
    Entry* e = s->Lookup(path, CallerOf(b->connection, sd_bus_get_current_message(bus)));
    if (e == nullptr || e->face != b->face) return 0;
    *found = e;
    return 1;
  }

  // The caller's object of the service, made at its first call.
  static int FindServiceObject(sd_bus* bus, const char* path, const char*, void* userdata,
                               void** found, sd_bus_error* error) {
    auto* b = static_cast<FaceBinding*>(userdata);
    Impl* s = b->connection->server;
    const Face& face = *b->face;
    if (face.servicePath != path || s->closing) return 0;
    sd_bus_message* m = sd_bus_get_current_message(bus);
    const std::string caller = CallerOf(b->connection, m);
    const auto key = std::make_pair(caller, &face);
    auto known = s->serviceObjects.find(key);
    if (known != s->serviceObjects.end()) {
      auto it = s->objects.find(known->second);
      if (it != s->objects.end()) {
        *found = &it->second;
        return 1;
      }
      s->serviceObjects.erase(known);
    }
    try {
      const char* sender = b->connection->session && m ? sd_bus_message_get_sender(m) : nullptr;
      auto link = std::make_shared<Link>(*s, b->connection->id, sender ? sender : "", face);
      vbs::ObjectPtr<vbs::HostObject> object = face.make(std::move(link));
      if (!object) vbs::Throw(vbs::kCannotCreateObject);
      const uint64_t id = s->Export(std::move(object), caller);
      s->serviceObjects[key] = id;
      *found = &s->objects.at(id);
      return 1;
    } catch (...) {
      return ReplyFailure(error);
    }
  }

  // busctl tree and introspection of the subtree list the caller's own objects.
  static int EnumerateObjects(sd_bus* bus, const char*, void* userdata, char*** nodes,
                              sd_bus_error*) {
    auto* c = static_cast<Connection*>(userdata);
    Impl* s = c->server;
    const std::string caller = CallerOf(c, sd_bus_get_current_message(bus));
    std::vector<char*> list;
    for (const char* key : {caller.c_str(), "k"}) {
      auto o = s->owners.find(key);
      if (o == s->owners.end()) continue;
      for (uint64_t id : o->second) list.push_back(strdup(s->PathFor(id).c_str()));
    }
    char** out = static_cast<char**>(calloc(list.size() + 1, sizeof(char*)));
    if (out == nullptr) {
      for (char* p : list) free(p);
      return -ENOMEM;
    }
    for (size_t i = 0; i < list.size(); ++i) out[i] = list[i];
    *nodes = out;
    return 1;
  }

  static Connection* ConnectionOf(void* userdata) { return static_cast<Connection*>(userdata); }

  static int Create(sd_bus_message* m, void* userdata, sd_bus_error* error, bool kept) {
    Connection* c = ConnectionOf(userdata);
    Impl* s = c->server;
    try {
      vbs::ObjectPtr<vbs::HostObject> object = s->factory();
      if (!object) vbs::Throw(vbs::kCannotCreateObject);
      const uint64_t id = s->Export(std::move(object), kept ? "k" : CallerOf(c, m));
      if (kept) {
        Entry& e = s->objects.at(id);
        e.maker = CallerGroup(m);
        e.lastUse = g_get_monotonic_time();
      }
      return sd_bus_reply_method_return(m, "o", s->PathFor(id).c_str());
    } catch (...) {
      return ReplyFailure(error);
    }
  }
  static int OnCreate(sd_bus_message* m, void* u, sd_bus_error* e) { return Create(m, u, e, false); }
  static int OnCreateKept(sd_bus_message* m, void* u, sd_bus_error* e) {
    return Create(m, u, e, true);
  }

  static int OnFactoryRelease(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    Connection* c = ConnectionOf(userdata);
    const char* path = nullptr;
    int r = sd_bus_message_read(m, "o", &path);
    if (r < 0) return r;
    Entry* e = c->server->Lookup(path, CallerOf(c, m));
    if (e == nullptr)
      return SetScriptError(error, vbs::kObjectRequired, std::string("no such object: ") + path);
    c->server->Drop(e->id);
    return sd_bus_reply_method_return(m, "");
  }

  static int OnInvoke(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* e = static_cast<Entry*>(userdata);
    Mapper map(*e->server, e->owner);
    try {
      const char* name = nullptr;
      uint8_t kind = 0;
      CheckBus(sd_bus_message_read(m, "sy", &name, &kind), "read name and kind");
      if (kind > static_cast<uint8_t>(vbs::InvokeKind::Set))
        vbs::Throw(vbs::kInvalidCall, "invoke kind must be 0 (get), 1 (call), 2 (let) or 3 (set)");
      std::vector<Variant> args = ReadArguments(m, map);
      const auto k = static_cast<vbs::InvokeKind>(kind);
      if ((k == vbs::InvokeKind::Let || k == vbs::InvokeKind::Set) && args.empty())
        vbs::Throw(vbs::kWrongArgCount, "an assignment needs the value as its last argument");
      return e->server->Call(m, *e, name, k, std::move(args), map, error);
    } catch (...) {
      map.Undo();
      return ReplyFailure(error);
    }
  }

  static int OnMember(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* e = static_cast<Entry*>(userdata);
    Mapper map(*e->server, e->owner);
    try {
      auto it = e->face->methods.find(sd_bus_message_get_member(m));
      if (it == e->face->methods.end()) vbs::Throw(vbs::kNoSuchMember);
      const Face::Method& method = it->second;
      std::vector<Variant> args;
      if (method.list) {
        args = ReadArguments(m, map);
      } else {
        while (sd_bus_message_at_end(m, false) == 0) args.push_back(ReadArgument(m, map));
      }
      vbs::InvokeKind kind = vbs::InvokeKind::Get;
      if (method.assign) {
        if (args.empty())
          vbs::Throw(vbs::kWrongArgCount, "an assignment needs the value as its last argument");
        kind = args.back().IsObject() ? vbs::InvokeKind::Set : vbs::InvokeKind::Let;
      }
      return e->server->Call(m, *e, method.tableName, kind, std::move(args), map, error);
    } catch (...) {
      map.Undo();
      return ReplyFailure(error);
    }
  }

  static int OnTypeName(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* e = static_cast<Entry*>(userdata);
    return sd_bus_reply_method_return(m, "s", e->object->TypeName().c_str());
  }

  static int OnMemberNames(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* e = static_cast<Entry*>(userdata);
    sd_bus_message* reply = nullptr;
    int r = sd_bus_message_new_method_return(m, &reply);
    if (r < 0) return r;
    r = sd_bus_message_open_container(reply, 'a', "s");
    for (const auto& name : e->object->MemberNames())
      if (r >= 0) r = sd_bus_message_append_basic(reply, 's', name.c_str());
    if (r >= 0) r = sd_bus_message_close_container(reply);
    if (r >= 0) r = sd_bus_send(nullptr, reply, nullptr);
    sd_bus_message_unref(reply);
    return r < 0 ? r : 1;
  }

  // The whole collection in one answer: For Each in a script on the other side walks it there.
  static int OnEnumerate(sd_bus_message* m, void* userdata, sd_bus_error* error) {
    auto* e = static_cast<Entry*>(userdata);
    Mapper map(*e->server, e->owner);
    vbs::ObjectPtr<vbs::HostObject> object = e->object;
    sd_bus_message* reply = nullptr;
    try {
      std::unique_ptr<vbs::Enumerator> items = object->Enumerate();
      if (!items) vbs::Throw(vbs::kNotACollection);
      CheckBus(sd_bus_message_new_method_return(m, &reply), "reply");
      CheckBus(sd_bus_message_open_container(reply, 'a', kTaggedSignature), "open items");
      Variant item;
      size_t count = 0;
      size_t bytes = 16;
      while (items->Next(item)) {
        if (++count > kMaxCollectionItems)
          vbs::Throw(vbs::kOutOfMemory, "collection too large to send");
        AppendTagged(reply, item, map);
        bytes += WireBytes(item);
      }
      CheckBus(sd_bus_message_close_container(reply), "close items");
      e->server->SendReply(reply, bytes);
      return 1;
    } catch (...) {
      sd_bus_message_unref(reply);
      map.Undo();
      return ReplyFailure(error);
    }
  }

  static int OnRelease(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* e = static_cast<Entry*>(userdata);
    e->server->Drop(e->id);
    return sd_bus_reply_method_return(m, "");
  }

  // ---- what a message-bus client sends first on a peer connection

  static int OnHello(sd_bus_message* m, void* userdata, sd_bus_error*) {
    Connection* c = ConnectionOf(userdata);
    const std::string name = ":1." + std::to_string(c->id);
    return sd_bus_reply_method_return(m, "s", name.c_str());
  }
  static int OnMatch(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "");
  }
  static int OnGetNameOwner(sd_bus_message* m, void*, sd_bus_error* error) {
    const char* name = nullptr;
    int r = sd_bus_message_read(m, "s", &name);
    if (r < 0) return r;
    if (std::strcmp(name, kBusName) != 0 && std::strcmp(name, kDbusInterface) != 0)
      return sd_bus_error_setf(error, "org.freedesktop.DBus.Error.NameHasNoOwner",
                               "Could not get owner of name '%s': no such name", name);
    return sd_bus_reply_method_return(m, "s", kDbusInterface);
  }
  static int OnNameHasOwner(sd_bus_message* m, void*, sd_bus_error*) {
    const char* name = nullptr;
    int r = sd_bus_message_read(m, "s", &name);
    if (r < 0) return r;
    const bool has = std::strcmp(name, kBusName) == 0 || std::strcmp(name, kDbusInterface) == 0;
    return sd_bus_reply_method_return(m, "b", has ? 1 : 0);
  }
  static int OnListNames(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "as", 2, kDbusInterface, kBusName);
  }
  static int OnGetId(sd_bus_message* m, void* userdata, sd_bus_error*) {
    Connection* c = ConnectionOf(userdata);
    char id[SD_ID128_STRING_MAX];
    return sd_bus_reply_method_return(m, "s", sd_id128_to_string(c->server->serverId, id));
  }

  // ---- the session bus

  static int OnNameOwnerChanged(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* s = static_cast<Impl*>(userdata);
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
    if (name[0] == ':' && newOwner[0] == 0) s->ReleaseOwner(std::string("b") + name);
    return 0;
  }

  static int OnNameRequested(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* s = static_cast<Impl*>(userdata);
    const sd_bus_error* e = sd_bus_message_get_error(m);
    if (e != nullptr) {
      s->Log(std::string("the session-bus name ") + kBusName + " is not ours (" +
             (e->message ? e->message : e->name) + "); serving on the private socket");
      return 0;
    }
    uint32_t result = 0;
    sd_bus_message_read(m, "u", &result);
    s->ownsName = result == 1 || result == 4;  // primary owner, or already the owner
    if (!s->ownsName)
      s->Log(std::string("the session-bus name ") + kBusName +
             " belongs to another process; serving on the private socket");
    return 0;
  }

  static int OnNameLost(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* s = static_cast<Impl*>(userdata);
    const char* name = nullptr;
    if (sd_bus_message_read(m, "s", &name) >= 0 && std::strcmp(name, kBusName) == 0 &&
        s->ownsName) {
      s->ownsName = false;
      s->Log(std::string("lost the session-bus name ") + kBusName);
    }
    return 0;
  }

  // ---- connections

  bool AddVtables(Connection& c) {
    static const sd_bus_vtable factoryVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD_WITH_NAMES("Create", "", "", "o", SD_BUS_PARAM(path), OnCreate,
                                 SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_NAMES("CreateKept", "", "", "o", SD_BUS_PARAM(path), OnCreateKept,
                                 SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_NAMES("Release", "o", SD_BUS_PARAM(path), "", "", OnFactoryRelease,
                                 SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};
    static const sd_bus_vtable objectVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD_WITH_NAMES("Invoke", "syav", SD_BUS_PARAM(name) SD_BUS_PARAM(kind)
                                 SD_BUS_PARAM(args), "(qv)", SD_BUS_PARAM(result), OnInvoke,
                                 SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_NAMES("TypeName", "", "", "s", SD_BUS_PARAM(name), OnTypeName,
                                 SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_NAMES("MemberNames", "", "", "as", SD_BUS_PARAM(names), OnMemberNames,
                                 SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD_WITH_NAMES("Enumerate", "", "", "a(qv)", SD_BUS_PARAM(items), OnEnumerate,
                                 SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("Release", "", "", OnRelease, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};
    static const sd_bus_vtable dbusVtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("Hello", "", "s", OnHello, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("AddMatch", "s", "", OnMatch, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("RemoveMatch", "s", "", OnMatch, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("GetNameOwner", "s", "s", OnGetNameOwner, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("NameHasOwner", "s", "b", OnNameHasOwner, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("ListNames", "", "as", OnListNames, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("GetId", "", "s", OnGetId, SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_VTABLE_END};

    // Each registration's slot is kept: dropping the slots is what lets the bus go.
    auto add = [&](auto&& registration) {
      sd_bus_slot* slot = nullptr;
      if (registration(&slot) < 0) return false;
      c.slots.push_back(slot);
      return true;
    };
    bool ok = add([&](sd_bus_slot** s) {
      return sd_bus_add_object_vtable(c.bus, s, kFactoryPath, kFactoryInterface, factoryVtable, &c);
    });
    ok = ok && add([&](sd_bus_slot** s) {
      return sd_bus_add_fallback_vtable(c.bus, s, kObjectsPath, kObjectInterface, objectVtable,
                                        FindObject, &c);
    });
    ok = ok && add([&](sd_bus_slot** s) {
      return sd_bus_add_node_enumerator(c.bus, s, kObjectsPath, EnumerateObjects, &c);
    });
    if (ok && !c.session)
      ok = add([&](sd_bus_slot** s) {
        return sd_bus_add_object_vtable(c.bus, s, kDbusPath, kDbusInterface, dbusVtable, &c);
      });
    for (const Face& f : faces)
      if (ok) ok = AddFace(c, f);
    return ok;
  }

  bool AddFace(Connection& c, const Face& f) {
    auto binding = std::make_unique<FaceBinding>(FaceBinding{&c, &f});
    sd_bus_slot* slot = nullptr;
    const bool service = !f.servicePath.empty();
    const int r = sd_bus_add_fallback_vtable(
        c.bus, &slot, service ? f.servicePath.c_str() : kObjectsPath, f.interface.c_str(),
        f.vtable.data(), service ? FindServiceObject : FindFaceObject, binding.get());
    if (r < 0) return false;
    c.slots.push_back(slot);
    c.bindings.push_back(std::move(binding));
    return true;
  }

  static gboolean OnAcceptReady(gint, GIOCondition, gpointer userdata) {
    static_cast<Impl*>(userdata)->AcceptPending();
    return G_SOURCE_CONTINUE;
  }

  void AcceptPending() {
    for (int i = 0; i < kAcceptsPerWakeup; ++i) {
      const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (fd < 0) {
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
          PauseAccepting(std::strerror(errno));
        return;
      }
      ucred cred{};
      socklen_t len = sizeof cred;
      if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::geteuid()) {
        ::close(fd);
        if (otherUserLines++ < kMaxRefusalLines)
          Log("refused a connection of user " + std::to_string(cred.uid) + " (pid " +
              std::to_string(cred.pid) + "): only user " + std::to_string(::geteuid()) +
              " may connect");
        continue;
      }
      if (peers.size() >= options.maxConnections) {
        ::close(fd);
        if (pastLimitLines++ < kMaxRefusalLines)
          Log("refused a connection: " + std::to_string(options.maxConnections) +
              " connections are open");
        continue;
      }
      AddPeer(fd);
    }
  }

  // Out of descriptors: a level-triggered watch would spin on the waiting connection.
  void PauseAccepting(const char* why) {
    if (acceptPause != 0) return;
    Log(std::string("cannot accept connections for now: ") + why);
    g_source_remove(acceptWatch);
    acceptWatch = 0;
    acceptPause = g_timeout_add(
        1000,
        [](gpointer userdata) {
          auto* s = static_cast<Impl*>(userdata);
          s->acceptPause = 0;
          s->acceptWatch = g_unix_fd_add(s->listenFd, G_IO_IN, OnAcceptReady, s);
          return gboolean(G_SOURCE_REMOVE);
        },
        this);
  }

  void AddPeer(int fd) {
    auto c = std::make_unique<Connection>();
    c->server = this;
    c->id = nextConnection++;
    c->session = false;
    int r = sd_bus_new(&c->bus);
    if (r < 0) {
      ::close(fd);
      return;
    }
    r = sd_bus_set_fd(c->bus, fd, fd);  // the bus owns fd from here on
    if (r >= 0) r = sd_bus_set_server(c->bus, 1, serverId);
    // No descriptor passing: a peer must not fill our descriptor table.
    if (r >= 0) r = sd_bus_negotiate_fds(c->bus, 0);
    if (r >= 0) r = sd_bus_start(c->bus);
    if (r < 0 || !AddVtables(*c)) return;
    // sd-bus asks the kernel for megabytes of buffer per socket; a smaller one makes replies a
    // client does not read wait where they are counted against maxUnreadBytes.
    const int sendBuffer = static_cast<int>(options.peerSendBuffer);
    if (sendBuffer > 0 &&
        ::setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &sendBuffer, sizeof sendBuffer) != 0)
      ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    const uint64_t id = c->id;
    c->source = std::make_unique<BusSource>(c->bus, [this, id](int) { DropPeer(id); });
    if (!c->source->Attached()) return;
    peers.emplace(id, std::move(c));
  }

  void DropPeer(uint64_t id) {
    ReleaseOwner("p" + std::to_string(id));
    auto it = peers.find(id);
    if (it == peers.end()) return;
    std::unique_ptr<Connection> c = std::move(it->second);
    peers.erase(it);
    uint64_t waiting = 0;
    if (c->bus != nullptr) (void)sd_bus_get_n_queued_write(c->bus, &waiting);
    c.reset();
    // A client that went with many replies unread leaves the allocator holding their memory:
    // it goes back to the system.
    if (waiting > kTrimAfterReplies) ::malloc_trim(0);
  }

  void OpenSessionBus() {
    auto c = std::make_unique<Connection>();
    c->server = this;
    c->id = 0;
    c->session = true;
    int r;
    if (options.sessionAddress.empty()) {
      r = sd_bus_open_user(&c->bus);
    } else {
      r = sd_bus_new(&c->bus);
      if (r >= 0) r = sd_bus_set_address(c->bus, options.sessionAddress.c_str());
      if (r >= 0) r = sd_bus_set_bus_client(c->bus, 1);
      if (r >= 0) r = sd_bus_start(c->bus);
    }
    if (r < 0) {
      // Normal without a desktop session; scripts and sablewick-ctl find the private socket.
      if (!options.sessionAddress.empty() || std::getenv("DBUS_SESSION_BUS_ADDRESS") != nullptr)
        Log(std::string("no session bus (") + std::strerror(-r) +
            "); serving on the private socket only");
      return;
    }
    sd_bus_slot* slot = nullptr;
    // Clients that go away take their objects with them; the bus tells us when one does.
    r = sd_bus_match_signal_async(c->bus, &slot, "org.freedesktop.DBus", kDbusPath,
                                  kDbusInterface, "NameOwnerChanged", OnNameOwnerChanged,
                                  nullptr, this);
    if (r >= 0) c->slots.push_back(slot);
    if (r >= 0)
      r = sd_bus_match_signal_async(c->bus, &slot, "org.freedesktop.DBus", kDbusPath,
                                    kDbusInterface, "NameLost", OnNameLost, nullptr, this);
    if (r >= 0) c->slots.push_back(slot);
    if (r >= 0 && AddVtables(*c)) {
      r = sd_bus_request_name_async(c->bus, &slot, kBusName, 0, OnNameRequested, this);
      if (r >= 0) c->slots.push_back(slot);
    } else if (r >= 0) {
      r = -ENOMEM;
    }
    if (r >= 0) {
      c->source = std::make_unique<BusSource>(c->bus, [this](int error) { LoseSessionBus(error); });
      if (!c->source->Attached()) r = -ENOTCONN;
    }
    if (r < 0) {
      Log(std::string("cannot serve on the session bus (") + std::strerror(-r) + ")");
      return;
    }
    session = std::move(c);
  }

  void LoseSessionBus(int error) {
    Log(std::string("lost the session bus (") + std::strerror(-error) +
        "); serving on the private socket only");
    ownsName = false;
    std::vector<std::string> gone;
    for (const auto& [owner, ids] : owners)
      if (owner[0] == 'b') gone.push_back(owner);
    for (const auto& owner : gone) ReleaseOwner(owner);
    std::unique_ptr<Connection> c = std::move(session);
  }

  // ---- the private socket

  bool Listen(std::string& why) {
    socketPath = options.socketPath.empty() ? DefaultSocketPath() : options.socketPath;
    std::string folder = socketPath.substr(0, socketPath.rfind('/'));
    if (options.socketPath.empty() && !PrepareFolder(folder, why)) {
      // A folder of our own that nobody can have made first, beside the refused one. Clients
      // find it through the folder lock (kFolderLock), which names the control address, and
      // started scripts through their environment.
      SweepMadeFolders(folder);
      std::string made = folder + ".XXXXXX";
      if (::mkdtemp(made.data()) == nullptr) {
        why +=
            "; cannot make a folder of its own either (" + made + ": " + std::strerror(errno) + ")";
        return false;
      }
      const std::string instead = made + "/bus instead (" + kFolderLock + " names it)";
      Log("the socket folder " + why +
          ": refused, another user could read what clients send there; serving on " + instead);
      why.clear();
      madeFolder = made;
      folder = made;
      socketPath = made + "/bus";
    }
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath.size() >= sizeof addr.sun_path) {
      why = "socket path too long: " + socketPath;
      return false;
    }
    if (options.socketPath.empty() && InUse(socketPath)) {
      // Another running program serves the default path; ours gets a path of its own, and
      // the programs we start learn it from their environment.
      socketPath = folder + "/bus-" + std::to_string(::getpid());
      if (socketPath.size() >= sizeof addr.sun_path) {
        why = "socket path too long: " + socketPath;
        return false;
      }
    }
    std::memcpy(addr.sun_path, socketPath.c_str(), socketPath.size() + 1);
    listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd < 0) {
      why = std::string("socket: ") + std::strerror(errno);
      return false;
    }
    // The socket file takes the mode of the socket's inode: 0600 from the start, no window in
    // which another user could connect.
    ::fchmod(listenFd, 0600);
    ::unlink(socketPath.c_str());  // a stale file of an earlier run (InUse said nobody listens)
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::chmod(socketPath.c_str(), 0600) != 0 || ::listen(listenFd, 64) != 0) {
      why = "cannot listen on " + socketPath + ": " + std::strerror(errno);
      ::close(listenFd);
      listenFd = -1;
      RemoveMadeFolder();
      return false;
    }
    address = "unix:path=" + EscapeAddressValue(socketPath);
    acceptWatch = g_unix_fd_add(listenFd, G_IO_IN, OnAcceptReady, this);
    return true;
  }

  void RemoveMadeFolder() {
    if (madeFolder.empty()) return;
    ::rmdir(madeFolder.c_str());
    madeFolder.clear();
  }

  // Folders that earlier runs made beside the refused one and could not remove (a crash, a
  // kill): ours, mode 0700, nobody answering on their socket, unchanged for a while (a node
  // starting beside us may have made its folder and not yet bound its socket). At most
  // kMaxSweep a start.
  static void SweepMadeFolders(const std::string& refused) {
    constexpr int kMaxSweep = 64;
    constexpr time_t kSettledSeconds = 60;
    const time_t now = ::time(nullptr);
    const size_t slash = refused.rfind('/');
    const std::string parent = refused.substr(0, slash);
    const std::string prefix = refused.substr(slash + 1) + ".";
    DIR* dir = ::opendir(parent.empty() ? "/" : parent.c_str());
    if (dir == nullptr) return;
    int swept = 0;
    while (const dirent* e = ::readdir(dir)) {
      const std::string name = e->d_name;
      if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
      const std::string path = parent + "/" + name;
      struct stat st {};
      if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
          (st.st_mode & 07777) != 0700 || now - st.st_mtime < kSettledSeconds)
        continue;
      const std::string socket = path + "/bus";
      if (socket.size() >= sizeof(sockaddr_un::sun_path) || InUse(socket)) continue;
      ::unlink(socket.c_str());
      if (::rmdir(path.c_str()) == 0 && ++swept == kMaxSweep) break;
    }
    ::closedir(dir);
  }

  static bool InUse(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    const bool used = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return used;
  }

  // Writes what sd-bus still holds for the peer, for at most kFlushMs in all.
  static void Flush(sd_bus* bus, std::chrono::steady_clock::time_point deadline) {
    while (std::chrono::steady_clock::now() < deadline) {
      const int events = sd_bus_get_events(bus);
      if (events < 0 || (events & POLLOUT) == 0) return;
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{sd_bus_get_fd(bus), POLLOUT, 0};
      if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) return;
      if (sd_bus_process(bus, nullptr) < 0) return;
    }
  }

  void AddClass(std::type_index type, std::string_view typeName,
                std::span<const ClassMember> members, std::span<const SignalSpec> signals,
                std::string_view path,
                std::function<vbs::ObjectPtr<vbs::HostObject>(std::shared_ptr<ClientLink>)> make);

  void Stop() {
    closing = true;
    if (keptSweep) g_source_remove(keptSweep);
    if (unreadIdle) g_source_remove(unreadIdle);
    keptSweep = unreadIdle = 0;
    if (acceptWatch) g_source_remove(acceptWatch);
    if (acceptPause) g_source_remove(acceptPause);
    acceptWatch = acceptPause = 0;
    if (listenFd >= 0) {
      ::close(listenFd);
      listenFd = -1;
      ::unlink(socketPath.c_str());
    }
    RemoveMadeFolder();
    // Calls that arrive from now on find no object; replies already made still go out.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kFlushMs);
    std::vector<Connection*> all;
    for (auto& [id, c] : peers) all.push_back(c.get());
    if (session) all.push_back(session.get());
    for (Connection* c : all) {
      c->source.reset();
      c->DropSlots();
      Flush(c->bus, deadline);
    }
    peers.clear();
    session.reset();
    ReleaseAll();
  }
};

// ---------------------------------------------------------------------------------------

void ObjectServer::Impl::AddClass(
    std::type_index type, std::string_view typeName, std::span<const ClassMember> members,
    std::span<const SignalSpec> signals, std::string_view path,
    std::function<vbs::ObjectPtr<vbs::HostObject>(std::shared_ptr<ClientLink>)> make) {
  Impl& s = *this;
  if (s.faceByType.count(type)) return;
  Impl::Face& f = s.faces.emplace_back(Impl::Face{type, {}, {}, {}, {}, {}, std::string(path),
                                                  std::move(make)});

  // Interface names must be unique: two classes may share a TypeName.
  std::string base = IsBusMemberName(typeName) ? std::string(typeName) : "Object";
  std::string name = base;
  for (int n = 2;; ++n) {
    bool taken = name == "Factory" || name == "Object";
    for (const auto& other : s.faces)
      if (&other != &f && other.interface == kClassInterfacePrefix + name) taken = true;
    if (!taken) break;
    name = base + std::to_string(n);
  }
  f.interface = kClassInterfacePrefix + name;

  // One D-Bus method per readable member (its own name) and one per writable member
  // ("Set" + name). Names compare without regard to case, as in the member table.
  struct Plan {
    std::string busName, tableName;
    bool assign;
    int minArgs, maxArgs;
  };
  std::vector<Plan> plans;
  auto find = [&](const std::string& busName) -> Plan* {
    for (auto& p : plans)
      if (vbs::NameEquals(p.busName, busName)) return &p;
    return nullptr;
  };
  for (const auto& m : members) {
    const auto kind = static_cast<vbs::MemberKind>(m.kind);
    const bool assign = kind == vbs::MemberKind::Let || kind == vbs::MemberKind::Set;
    if (!assign) f.memberNames.emplace_back(m.name);
    const std::string busName = assign ? "Set" + std::string(m.name) : std::string(m.name);
    if (!IsBusMemberName(busName)) continue;
    if (Plan* p = find(busName)) {
      if (p->assign != assign) continue;  // a real member of that name wins over a setter
      p->minArgs = std::min<int>(p->minArgs, m.minArgs);
      p->maxArgs = p->maxArgs < 0 || m.maxArgs < 0 ? -1 : std::max<int>(p->maxArgs, m.maxArgs);
      continue;
    }
    plans.push_back({busName, std::string(m.name), assign, m.minArgs, m.maxArgs});
  }
  // A setter whose name is also a readable member's name gives way to the member.
  std::erase_if(plans, [&](const Plan& p) {
    if (!p.assign) return false;
    for (const auto& q : plans)
      if (!q.assign && vbs::NameEquals(q.busName, p.busName)) return true;
    return false;
  });

  auto keep = [&](std::string text) { return f.strings.emplace_back(std::move(text)).c_str(); };
  f.vtable.push_back(SD_BUS_VTABLE_START(0));
  for (const auto& p : plans) {
    const bool list = p.maxArgs < 0 || p.minArgs != p.maxArgs;
    std::string signature, names;
    if (list) {
      signature = "av";
      names.append("args").push_back('\0');
    } else {
      const int count = p.maxArgs + (p.assign ? 1 : 0);
      for (int i = 1; i <= count; ++i) {
        signature += 'v';
        names.append(p.assign && i == count ? std::string("value") : "arg" + std::to_string(i))
            .push_back('\0');
      }
    }
    names.append("result").push_back('\0');
    f.vtable.push_back(MethodEntry(keep(p.busName), keep(signature), kTaggedSignature,
                                   Impl::OnMember, keep(names)));
    f.methods.emplace(p.busName, Impl::Face::Method{p.tableName, p.assign, list});
  }
  for (const SignalSpec& signal : signals) {
    if (!IsBusMemberName(signal.name)) continue;
    f.vtable.push_back(SD_BUS_SIGNAL_WITH_NAMES(keep(std::string(signal.name)),
                                                keep(std::string(signal.signature)), "value\0",
                                                0));
  }
  f.vtable.push_back(SD_BUS_VTABLE_END);
  s.faceByType.emplace(type, &f);

  // Connections made before the registration learn the class too.
  for (auto& [id, c] : s.peers) s.AddFace(*c, f);
  if (s.session) s.AddFace(*s.session, f);
}

ObjectServer::ObjectServer(App& app, Factory factory)
    : ObjectServer(app, std::move(factory), Options{}) {}

ObjectServer::ObjectServer(App& app, Factory factory, Options options)
    : impl_(std::make_unique<Impl>(app, std::move(factory), std::move(options))) {
  sd_id128_randomize(&impl_->serverId);
}

ObjectServer::~ObjectServer() { impl_->Stop(); }

bool ObjectServer::Start() {
  std::string why;
  if (!impl_->Listen(why)) {
    impl_->RemoveMadeFolder();
    impl_->Log("no private socket (" + why +
               "): this node runs without its scripting object; scripts, Startup.vbs among "
               "them, and sablewick-ctl cannot reach it");
    return false;
  }
  if (impl_->options.useSessionBus) impl_->OpenSessionBus();
  if (impl_->keptSweep == 0) {
    impl_->keptSweep = g_timeout_add_seconds(std::clamp(impl_->options.keptIdleSeconds, 1u, 60u),
                                             Impl::OnKeptSweep, impl_.get());
  }
  return true;
}

void ObjectServer::ReleaseKeptOf(int pgid) {
  if (pgid > 0) impl_->ReleaseKept(pgid, 0);
}

const std::string& ObjectServer::Address() const { return impl_->address; }
const std::string& ObjectServer::SocketPath() const { return impl_->socketPath; }
size_t ObjectServer::ObjectCount() const { return impl_->objects.size(); }
size_t ObjectServer::ConnectionCount() const { return impl_->peers.size(); }
bool ObjectServer::OwnsBusName() const { return impl_->ownsName; }

void ObjectServer::RegisterClassTable(std::type_index type, std::string_view typeName,
                                      std::span<const ClassMember> members) {
  impl_->AddClass(type, typeName, members, {}, {}, nullptr);
}

void ObjectServer::RegisterServiceTable(
    std::type_index type, std::string_view typeName, std::span<const ClassMember> members,
    std::span<const SignalSpec> signals, std::string_view path,
    std::function<vbs::ObjectPtr<vbs::HostObject>(std::shared_ptr<ClientLink>)> make) {
  impl_->AddClass(type, typeName, members, signals, path, std::move(make));
}

}  // namespace sablewick
