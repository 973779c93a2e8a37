#include "ctl/Client.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "engine/Errors.h"
#include "script/BusValue.h"

namespace sablewick::ctl {
namespace {

using vbs::Variant;

// The control interface answers with plain values only.
struct NoObjects : ObjectMapper {
  std::string PathOf(vbs::HostObject*) override { vbs::Throw(vbs::kTypeMismatch); }
  Variant ObjectAt(std::string_view) override { return Variant::Nothing(); }
};

volatile std::sig_atomic_t stopRequested = 0;
// /dev/null, opened before following: a stop puts it in place of standard output, so a write
// blocked on a full pipe (and every one after it) returns at once.
int devNull = -1;
void OnStopSignal(int) {
  stopRequested = 1;
  if (devNull >= 0) ::dup2(devNull, STDOUT_FILENO);
}

std::string ErrorText(const sd_bus_error& e) {
  int32_t number = 0;
  std::string description;
  if (ParseScriptError(&e, number, description)) return description;
  if (e.name && std::strcmp(e.name, SD_BUS_ERROR_UNKNOWN_OBJECT) == 0)
    return "the node has no control interface (is it an older version?)";
  return e.message ? e.message : e.name ? e.name : "unknown failure";
}

}  // namespace

bool Client::StopRequested() { return stopRequested != 0; }

Client::Client(const std::string& address) {
  std::string tried, refusal;
  bus_ = ConnectToDaemon(address, tried, onSessionBus_, refusal);
  if (bus_ == nullptr && !refusal.empty()) throw CtlError(refusal);
  if (bus_ == nullptr) throw CtlError("no running node found (tried" + tried + ")");
}

Client::~Client() { sd_bus_flush_close_unref(bus_); }

Variant Client::Call(const char* member, const std::vector<Variant>& args) {
  sd_bus_message* call = nullptr;
  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  NoObjects none;
  try {
    CheckBus(sd_bus_message_new_method_call(bus_, &call, onSessionBus_ ? kBusName : nullptr,
                                            kControlPath, kControlInterface, member),
             "new call");
    for (const Variant& a : args) {
      CheckBus(sd_bus_message_open_container(call, 'v', kTaggedSignature), "open argument");
      AppendTagged(call, a, none);
      CheckBus(sd_bus_message_close_container(call), "close argument");
    }
    const int r = sd_bus_call(bus_, call, 0, &error, &reply);
    sd_bus_message_unref(call);
    call = nullptr;
    if (r < 0) {
      const std::string what =
          sd_bus_error_is_set(&error) ? ErrorText(error) : std::string(std::strerror(-r));
      sd_bus_error_free(&error);
      throw CtlError(what);
    }
    Variant result = ReadTagged(reply, none);
    sd_bus_message_unref(reply);
    return result;
  } catch (const vbs::ScriptError& e) {
    sd_bus_message_unref(call);
    sd_bus_message_unref(reply);
    throw CtlError(std::string(member) + ": " + e.description);
  }
}

Variant Client::ReadValue(sd_bus_message* m) {
  try {
    NoObjects none;
    return ReadTagged(m, none);
  } catch (const vbs::ScriptError& e) {
    throw CtlError("unreadable answer: " + e.description);
  }
}

std::unique_ptr<Client> Client::WaitForNode(const std::string& address) {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  struct sigaction oldInt {
  }, oldTerm{};
  sigaction(SIGINT, &action, &oldInt);
  sigaction(SIGTERM, &action, &oldTerm);
  std::unique_ptr<Client> client;
  bool said = false;
  while (!stopRequested) {
    try {
      client = std::make_unique<Client>(address);
      break;
    } catch (const CtlError& e) {
      if (!said) {
        std::fprintf(stderr, "sablewick-ctl: %s; waiting for the node (Ctrl+C ends)\n", e.what());
        said = true;
      }
    }
    ::poll(nullptr, 0, 1000);  // a signal ends the pause early
  }
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  return stopRequested ? nullptr : std::move(client);
}

void Client::FollowAlways(const std::string& address, const char* member,
                          const std::function<void(Client&)>& start,
                          const std::function<bool(sd_bus_message*)>& onSignal) {
  for (;;) {
    std::unique_ptr<Client> client = WaitForNode(address);
    if (!client) return;
    try {
      if (client->Follow(
              member, [&] { start(*client); }, onSignal))
        return;
    } catch (const CtlError&) {
      // It went away between the connection and the first call.
    }
    if (stopRequested) return;
    std::fprintf(stderr, "sablewick-ctl: the node went away\n");
  }
}

void Client::UsePrivateSocket() {
  if (!onSessionBus_) return;
  // The node bounds what waits for a follower only on its own socket; it names it in status.
  const Variant status = Call("Status");
  std::string address;
  if (status.IsArray()) {
    const auto& items = status.AsArray()->data;
    for (size_t i = 0; i + 1 < items.size(); i += 2)
      if (vbs::ToString(items[i]) == "address") address = vbs::ToString(items[i + 1]);
  }
  if (address.empty()) throw CtlError("the node names no private socket to follow through");
  std::string tried, refusal;
  bool session = false;
  sd_bus* bus = ConnectToDaemon(address, tried, session, refusal);
  if (bus == nullptr && !refusal.empty()) throw CtlError(refusal);
  if (bus == nullptr) throw CtlError("cannot reach the node's private socket (tried" + tried + ")");
  sd_bus_flush_close_unref(bus_);
  bus_ = bus;
  onSessionBus_ = session;
}

bool Client::Follow(const char* member, const std::function<void()>& start,
                    const std::function<bool(sd_bus_message*)>& onSignal) {
  UsePrivateSocket();
  struct Context {
    const std::function<bool(sd_bus_message*)>* onSignal;
    bool done = false;
  } context{&onSignal};
  auto handler = [](sd_bus_message* m, void* userdata, sd_bus_error*) -> int {
    auto* c = static_cast<Context*>(userdata);
    if (c->done) return 0;
    try {
      if (!(*c->onSignal)(m)) c->done = true;
    } catch (const CtlError&) {
      // A signal we cannot read is skipped.
    }
    return 0;
  };
  sd_bus_slot* slot = nullptr;
  // No sender in the rule: on the session bus it would name the node by its well-known name,
  // which sd-bus cannot match against the unique name a signal carries. The node's signals
  // come addressed to this connection alone.
  if (sd_bus_match_signal(bus_, &slot, nullptr, kControlPath, kControlInterface, member, handler,
                          &context) < 0)
    throw CtlError("cannot listen for the node's signals");

  if (devNull < 0) devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  struct sigaction action {};
  action.sa_handler = OnStopSignal;  // no SA_RESTART: the wait (or a write) returns at once
  // A second signal ends the tool outright, whatever it waits in.
  action.sa_flags = SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  struct sigaction oldInt {}, oldTerm {};
  sigaction(SIGINT, &action, &oldInt);
  sigaction(SIGTERM, &action, &oldTerm);

  bool ended = false;
  try {
    start();
    while (!context.done && !stopRequested) {
      const int r = sd_bus_process(bus_, nullptr);
      if (r < 0) {
        ended = true;
        break;
      }
      if (r > 0) continue;
      const int w = sd_bus_wait(bus_, UINT64_MAX);
      if (w < 0 && w != -EINTR) {
        ended = true;
        break;
      }
    }
  } catch (...) {
    sd_bus_slot_unref(slot);
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    throw;
  }
  sd_bus_slot_unref(slot);
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);
  return !ended;
}

}  // namespace sablewick::ctl
