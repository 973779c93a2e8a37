// What the object-server tests stand on: a client connection on the same GLib loop as the
// server (each call pumps the loop, bounded, until its reply arrives), a stand-in for remote
// objects, programs run while the loop keeps serving, and a private dbus-daemon.
#pragma once

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/BusSource.h"
#include "engine/Errors.h"
#include "script/BusValue.h"
#include "tests/PrivateBus.h"
#include "tests/TestSupport.h"

namespace sablewick::testing {

using SteadyClock = std::chrono::steady_clock;

// Runs the default main context until pred holds or timeoutMs passed; true when it held.
inline bool RunUntil(const std::function<bool()>& pred, int timeoutMs = 5000) {
  const auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeoutMs);
  // A steady tick keeps the blocking iteration from sleeping past the deadline.
  const guint tick =
      g_timeout_add(10, [](gpointer) { return gboolean(G_SOURCE_CONTINUE); }, nullptr);
  bool held = pred();
  while (!held && SteadyClock::now() < deadline) {
    g_main_context_iteration(nullptr, TRUE);
    held = pred();
  }
  g_source_remove(tick);
  return held;
}

// A remote object as the tests see it: just its path.
class PathObject : public vbs::HostObject {
 public:
  explicit PathObject(std::string path) : path(std::move(path)) {}
  std::string TypeName() const override { return "PathObject"; }
  int MemberId(std::string_view) override { return vbs::kUnknownMember; }
  vbs::Variant Invoke(int, vbs::InvokeKind, vbs::Args) override { vbs::Throw(vbs::kNoSuchMember); }
  std::string path;
};

class PathMapper : public ObjectMapper {
 public:
  std::string PathOf(vbs::HostObject* o) override {
    auto* p = dynamic_cast<PathObject*>(o);
    if (p == nullptr) vbs::Throw(vbs::kTypeMismatch);
    return p->path;
  }
  vbs::Variant ObjectAt(std::string_view path) override {
    return vbs::Variant::Object(vbs::MakeObject<PathObject>(std::string(path)));
  }
};

inline std::string PathIn(const vbs::Variant& v) {
  if (!v.IsObject() || v.IsNothing()) return {};
  auto* p = dynamic_cast<PathObject*>(v.AsObject());
  return p ? p->path : std::string();
}

struct Reply {
  sd_bus_message* message = nullptr;  // the method return, null on error
  std::string errorName, errorMessage;
  bool arrived = false;
  Reply() = default;
  Reply(const Reply&) = delete;
  Reply(Reply&& o) noexcept
      : message(o.message), errorName(std::move(o.errorName)),
        errorMessage(std::move(o.errorMessage)), arrived(o.arrived) {
    o.message = nullptr;
  }
  ~Reply() { sd_bus_message_unref(message); }
  bool Ok() const { return message != nullptr; }
  // The script error number the reply carries, or 0.
  int32_t ScriptErrorNumber() const {
    sd_bus_error e = SD_BUS_ERROR_NULL;
    sd_bus_error_set(&e, errorName.c_str(), errorMessage.c_str());
    int32_t number = 0;
    std::string text;
    ParseScriptError(&e, number, text);
    sd_bus_error_free(&e);
    return number;
  }
  vbs::Variant Value() {
    PathMapper map;
    return ReadTagged(message, map);
  }
  std::string Text() {
    const char* s = nullptr;
    sd_bus_message_read(message, "s", &s);
    return s ? s : "";
  }
  std::string Path() {
    const char* s = nullptr;
    sd_bus_message_read(message, "o", &s);
    return s ? s : "";
  }
};

// A client on the loop. Call() sends and then pumps the loop until the reply is there.
class Client {
 public:
  // peer: a private peer-to-peer address; otherwise a message bus (Hello first).
  Client(const std::string& address, bool messageBus = false) {
    if (sd_bus_new(&bus_) < 0) return;
    sd_bus_set_address(bus_, address.c_str());
    sd_bus_set_bus_client(bus_, messageBus ? 1 : 0);
    if (sd_bus_start(bus_) < 0) {
      bus_ = sd_bus_unref(bus_);
      return;
    }
    source_ = std::make_unique<BusSource>(bus_, [this](int) { lost_ = true; });
  }
  ~Client() { Close(); }
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  bool Ready() const { return bus_ != nullptr; }
  bool Lost() const { return lost_; }
  sd_bus* Bus() const { return bus_; }
  void Close() {
    source_.reset();
    if (bus_) bus_ = sd_bus_flush_close_unref(bus_);
  }

  using Append = std::function<void(sd_bus_message*)>;
  Reply Call(const std::string& path, const std::string& interface, const std::string& member,
             const Append& append = {}, const char* destination = nullptr) {
    Reply reply;
    sd_bus_message* m = nullptr;
    if (sd_bus_message_new_method_call(bus_, &m, destination, path.c_str(), interface.c_str(),
                                       member.c_str()) < 0) {
      reply.errorName = "test.NoMessage";
      return reply;
    }
    if (append) append(m);
    sd_bus_slot* slot = nullptr;
    const int r = sd_bus_call_async(bus_, &slot, m, &Client::OnReply, &reply, 5'000'000);
    sd_bus_message_unref(m);
    if (r < 0) {
      reply.errorName = std::string("test.SendFailed.") + std::to_string(-r);
      return reply;
    }
    if (!RunUntil([&] { return reply.arrived; }, 6000)) reply.errorName = "test.NoReply";
    sd_bus_slot_unref(slot);
    return reply;
  }

  Reply Invoke(const std::string& path, const std::string& name, vbs::InvokeKind kind,
               std::vector<vbs::Variant> args) {
    return Call(path, kObjectInterface, "Invoke", [&](sd_bus_message* m) {
      sd_bus_message_append(m, "sy", name.c_str(), static_cast<uint8_t>(kind));
      std::vector<vbs::Variant*> refs;
      for (auto& a : args) refs.push_back(&a);
      PathMapper map;
      AppendArguments(m, refs, map);
    });
  }

  std::string Create(bool kept = false) {
    Reply r = Call(kFactoryPath, kFactoryInterface, kept ? "CreateKept" : "Create");
    return r.Ok() ? r.Path() : std::string();
  }

 private:
  static int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*) {
    auto* reply = static_cast<Reply*>(userdata);
    reply->arrived = true;
    if (const sd_bus_error* e = sd_bus_message_get_error(m)) {
      reply->errorName = e->name ? e->name : "";
      reply->errorMessage = e->message ? e->message : "";
    } else {
      reply->message = sd_bus_message_ref(m);
    }
    return 1;
  }

  sd_bus* bus_ = nullptr;
  std::unique_ptr<BusSource> source_;
  bool lost_ = false;
};

struct ProgramResult {
  int status = -1;  // exit code, or -1 when it did not end in time or died of a signal
  std::string output;  // stdout and stderr together
};

// Runs a program with the loop turning meanwhile (it may be a client of our own server).
// setup runs in the child before exec (for example to change user).
inline ProgramResult RunProgram(std::vector<std::string> argv, int timeoutMs = 10000,
                                const std::function<void()>& setup = {}) {
  ProgramResult result;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return result;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(fds[1], 1);
    ::dup2(fds[1], 2);
    if (setup) setup();
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    ::execvp(args[0], args.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
  int status = 0;
  bool ended = false;
  auto drain = [&] {
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0 && result.output.size() < (1u << 20))
      result.output.append(buf, static_cast<size_t>(n));
  };
  RunUntil(
      [&] {
        drain();
        ended = ::waitpid(pid, &status, WNOHANG) == pid;
        return ended;
      },
      timeoutMs);
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
  } else if (WIFEXITED(status)) {
    result.status = WEXITSTATUS(status);
  }
  drain();
  ::close(fds[0]);
  return result;
}

}  // namespace sablewick::testing
