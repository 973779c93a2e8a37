// What the desktop tests stand on: a private session bus, a fake notification host (the
// StatusNotifierWatcher side of a panel) that records what the tray tells it, and a pump that
// runs the GLib loop until something happened or a time limit passed.
#pragma once

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/BusSource.h"
#include "tests/PrivateBus.h"
#include "tests/TestSupport.h"

namespace sablewick::testing {

using Clock = std::chrono::steady_clock;

// Runs the default main context until pred holds or timeoutMs passed; true when it held.
inline bool RunUntil(const std::function<bool()>& pred, int timeoutMs = 5000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  // A steady tick keeps the blocking iteration from sleeping past the deadline.
  const guint tick = g_timeout_add(10, [](gpointer) { return gboolean(G_SOURCE_CONTINUE); }, nullptr);
  bool held = pred();
  while (!held && Clock::now() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
    held = pred();
  }
  g_source_remove(tick);
  return held;
}

// An sd-bus client connection on the GLib loop.
inline sd_bus* Connect(const std::string& address) {
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) return nullptr;
  sd_bus_set_address(bus, address.c_str());
  sd_bus_set_bus_client(bus, 1);
  if (sd_bus_start(bus) < 0) return sd_bus_unref(bus);
  return bus;
}

// The notification host's side: owns org.kde.StatusNotifierWatcher, records registrations and
// the items' NewIcon signals, and asks the items for their properties and menus.
class FakeWatcher {
 public:
  struct Registration {
    std::string service, sender;
  };

  explicit FakeWatcher(const std::string& address) : bus_(Connect(address)) {
    if (bus_ == nullptr) return;
    sd_bus_add_object_vtable(bus_, nullptr, "/StatusNotifierWatcher",
                             "org.kde.StatusNotifierWatcher", Vtable(), this);
    sd_bus_match_signal(bus_, nullptr, nullptr, "/StatusNotifierItem",
                        "org.kde.StatusNotifierItem", "NewIcon", &FakeWatcher::OnNewIcon, this);
    sd_bus_match_signal(bus_, nullptr, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                        "org.freedesktop.DBus", "NameOwnerChanged",
                        &FakeWatcher::OnNameOwnerChanged, this);
    owned_ = sd_bus_request_name(bus_, "org.kde.StatusNotifierWatcher", 0) >= 0;
    source_ = std::make_unique<BusSource>(bus_, [](int) {});
  }
  ~FakeWatcher() {
    source_.reset();
    if (bus_ != nullptr) sd_bus_flush_close_unref(bus_);
  }
  bool Ready() const { return owned_; }

  std::vector<Registration> registrations;
  std::vector<Clock::time_point> newIcons;
  // Bus names that went away, in order, with when.
  std::vector<std::pair<std::string, Clock::time_point>> vanished;

  bool Vanished(const std::string& name) const {
    for (auto& v : vanished) {
      if (v.first == name) return true;
    }
    return false;
  }

  // Calls a method and pumps the loop until the reply is in; the reply (unref it), or null.
  sd_bus_message* Call(const std::string& dest, const char* path, const char* iface,
                       const char* member, const std::function<int(sd_bus_message*)>& args = {},
                       int timeoutMs = 5000) {
    sd_bus_message* call = nullptr;
    if (sd_bus_message_new_method_call(bus_, &call, dest.c_str(), path, iface, member) < 0) {
      return nullptr;
    }
    if (args && args(call) < 0) return sd_bus_message_unref(call);
    sd_bus_message* reply = nullptr;
    bool done = false;
    struct Wait {
      sd_bus_message** reply;
      bool* done;
    } wait{&reply, &done};
    sd_bus_call_async(
        bus_, nullptr, call,
        [](sd_bus_message* m, void* w, sd_bus_error*) {
          auto* wait = static_cast<Wait*>(w);
          *wait->reply = sd_bus_message_ref(m);
          *wait->done = true;
          return 0;
        },
        &wait, 0);
    sd_bus_message_unref(call);
    RunUntil([&] { return done; }, timeoutMs);
    return reply;
  }

  // The value of a property as a reply positioned inside its variant; null on failure.
  sd_bus_message* GetProperty(const std::string& dest, const char* path, const char* iface,
                              const char* property, const char* type) {
    sd_bus_message* reply = Call(dest, path, "org.freedesktop.DBus.Properties", "Get",
                                 [&](sd_bus_message* m) {
                                   return sd_bus_message_append(m, "ss", iface, property);
                                 });
    if (reply == nullptr || sd_bus_message_is_method_error(reply, nullptr) ||
        sd_bus_message_enter_container(reply, 'v', type) < 0) {
      return reply ? sd_bus_message_unref(reply) : nullptr;
    }
    return reply;
  }

 private:
  static const sd_bus_vtable* Vtable() {
    static const sd_bus_vtable vtable[] = {
        SD_BUS_VTABLE_START(0),
        SD_BUS_METHOD("RegisterStatusNotifierItem", "s", "", &FakeWatcher::OnRegister,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_METHOD("RegisterStatusNotifierHost", "s", "", &FakeWatcher::OnRegisterHost,
                      SD_BUS_VTABLE_UNPRIVILEGED),
        SD_BUS_PROPERTY("IsStatusNotifierHostRegistered", "b", &FakeWatcher::GetTrue, 0, 0),
        SD_BUS_PROPERTY("ProtocolVersion", "i", &FakeWatcher::GetVersion, 0, 0),
        SD_BUS_SIGNAL("StatusNotifierItemRegistered", "s", 0),
        SD_BUS_SIGNAL("StatusNotifierItemUnregistered", "s", 0),
        SD_BUS_SIGNAL("StatusNotifierHostRegistered", "", 0),
        SD_BUS_VTABLE_END};
    return vtable;
  }
  static int OnRegister(sd_bus_message* m, void* self, sd_bus_error*) {
    const char* service = nullptr;
    if (sd_bus_message_read(m, "s", &service) < 0) return -EINVAL;
    static_cast<FakeWatcher*>(self)->registrations.push_back({service, sd_bus_message_get_sender(m)});
    return sd_bus_reply_method_return(m, "");
  }
  static int OnRegisterHost(sd_bus_message* m, void*, sd_bus_error*) {
    return sd_bus_reply_method_return(m, "");
  }
  static int GetTrue(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply, void*,
                     sd_bus_error*) {
    return sd_bus_message_append(reply, "b", 1);
  }
  static int GetVersion(sd_bus*, const char*, const char*, const char*, sd_bus_message* reply,
                        void*, sd_bus_error*) {
    return sd_bus_message_append(reply, "i", 0);
  }
  static int OnNewIcon(sd_bus_message*, void* self, sd_bus_error*) {
    static_cast<FakeWatcher*>(self)->newIcons.push_back(Clock::now());
    return 0;
  }
  static int OnNameOwnerChanged(sd_bus_message* m, void* self, sd_bus_error*) {
    const char *name = nullptr, *oldOwner = nullptr, *newOwner = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &oldOwner, &newOwner) < 0) return 0;
    if (*newOwner == '\0') static_cast<FakeWatcher*>(self)->vanished.emplace_back(name, Clock::now());
    return 0;
  }

  sd_bus* bus_ = nullptr;
  bool owned_ = false;
  std::unique_ptr<BusSource> source_;
};

// One size of IconPixmap as read from the bus.
struct Pixmap {
  int32_t width = 0, height = 0;
  std::string argb;
};

inline std::vector<Pixmap> ReadPixmaps(sd_bus_message* m) {
  std::vector<Pixmap> out;
  if (sd_bus_message_enter_container(m, 'a', "(iiay)") < 0) return out;
  while (sd_bus_message_enter_container(m, 'r', "iiay") > 0 && out.size() < 16) {
    Pixmap p;
    const void* data = nullptr;
    size_t size = 0;
    sd_bus_message_read(m, "ii", &p.width, &p.height);
    sd_bus_message_read_array(m, 'y', &data, &size);
    p.argb.assign(static_cast<const char*>(data), size);
    sd_bus_message_exit_container(m);
    out.push_back(std::move(p));
  }
  sd_bus_message_exit_container(m);
  return out;
}

// A dbusmenu item with its label (or "-" for a separator) and children.
struct MenuNode {
  int32_t id = 0;
  std::map<std::string, std::string> props;  // strings and booleans ("true"/"false")
  std::vector<MenuNode> children;
};

inline bool ReadMenuNode(sd_bus_message* m, MenuNode& node, int depth = 0) {
  if (depth > 8 || sd_bus_message_enter_container(m, 'r', "ia{sv}av") <= 0) return false;
  sd_bus_message_read(m, "i", &node.id);
  sd_bus_message_enter_container(m, 'a', "{sv}");
  while (sd_bus_message_enter_container(m, 'e', "sv") > 0) {
    const char* key = nullptr;
    sd_bus_message_read(m, "s", &key);
    const char* type = nullptr;
    sd_bus_message_peek_type(m, nullptr, &type);
    if (type != nullptr && std::string(type) == "s") {
      const char* v = nullptr;
      sd_bus_message_read(m, "v", "s", &v);
      node.props[key] = v;
    } else if (type != nullptr && std::string(type) == "b") {
      int v = 0;
      sd_bus_message_read(m, "v", "b", &v);
      node.props[key] = v ? "true" : "false";
    } else {
      sd_bus_message_skip(m, "v");
      node.props[key] = "?";
    }
    sd_bus_message_exit_container(m);
  }
  sd_bus_message_exit_container(m);
  sd_bus_message_enter_container(m, 'a', "v");
  while (sd_bus_message_enter_container(m, 'v', "(ia{sv}av)") > 0) {
    MenuNode child;
    if (!ReadMenuNode(m, child, depth + 1)) return false;
    node.children.push_back(std::move(child));
    sd_bus_message_exit_container(m);
  }
  sd_bus_message_exit_container(m);
  sd_bus_message_exit_container(m);
  return true;
}

// The real daemon in an install folder of its own. Unlike the plain daemon tests, it keeps the
// test's session bus and display: they are what these tests are about.
class DesktopProcess {
 public:
  explicit DesktopProcess(const std::string& drumlin =
                              "[Interface]\nBroadcastAddress=127.0.0.1\nInterfaceAddress=127.0.0.2\n",
                          const std::string& sablewickIni = "") {
    root_ = dir_.Path() + "/Sablewick";
    runtime_ = dir_.Path() + "/run";
    std::filesystem::create_directories(root_ + "/Config");
    std::filesystem::create_directories(runtime_);
    std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
    std::filesystem::copy_file(SABLEWICK_BINARY, root_ + "/sablewick");
    WriteFile(root_ + "/Config/Drumlin.ini", drumlin);
    if (!sablewickIni.empty()) WriteFile(root_ + "/Config/Sablewick.ini", sablewickIni);
  }
  ~DesktopProcess() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  DesktopProcess(const DesktopProcess&) = delete;
  DesktopProcess& operator=(const DesktopProcess&) = delete;

  void Start() {
    pid_ = ::fork();
    if (pid_ == 0) {
      ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
      const std::string exe = root_ + "/sablewick";
      ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  // The exit status once the process ended within timeoutMs (checked at least once), or -1.
  int WaitExit(int timeoutMs = 5000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    do {
      int status = 0;
      if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (Clock::now() >= deadline) break;
      ::usleep(5000);
    } while (true);
    return -1;
  }
  void Signal(int sig) { ::kill(pid_, sig); }
  bool Running() const { return pid_ > 0; }
  const std::string& Root() const { return root_; }
  std::string Log() const { return ReadFile(root_ + "/Data/Sablewick.txt"); }

 private:
  TempDir dir_;
  std::string root_, runtime_;
  pid_t pid_ = -1;
};

}  // namespace sablewick::testing
