// What a scripting call over the private socket costs, next to the floor: a bare sd-bus
// peer-to-peer ping (a method that returns at once) in the same run, both servers on one GLib
// loop in a child process, the client blocking in sd_bus_call.
//
//   objectserver_bench [calls per measure, default 20000]
#include <fcntl.h>
#include <glib.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/App.h"
#include "core/BusSource.h"
#include "engine/Variant.h"
#include "script/BusValue.h"
#include "script/ObjectServer.h"

namespace {

using sablewick::App;
using sablewick::BusSource;
using sablewick::ObjectServer;

class Meter : public vbs::TableObject<Meter> {
 public:
  static constexpr std::string_view kTypeName = "Meter";
  static const vbs::Member<Meter> kMembers[];
  int32_t level = 50;
};

const vbs::Member<Meter> Meter::kMembers[] = {
    {"Level", vbs::MemberKind::Get, 0, 0,
     [](Meter& m, vbs::Args) { return vbs::Variant::Long(m.level); }},
    {"GetItem", vbs::MemberKind::Method, 1, 1,
     [](Meter&, vbs::Args a) { return vbs::Variant::String("value of " + vbs::ToString(*a[0])); }},
};

int Ping(sd_bus_message* m, void*, sd_bus_error*) { return sd_bus_reply_method_return(m, ""); }

const sd_bus_vtable kPingVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Ping", "", "", Ping, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

// The child: the object server and a bare ping server on one loop, until killed.
[[noreturn]] void Serve(const std::string& folder, int pingFd, int readyFd) {
  App app;
  app.AppPath = folder;
  std::filesystem::create_directories(folder + "/Data");
  ObjectServer::Options options;
  options.socketPath = folder + "/bus";
  options.useSessionBus = false;
  ObjectServer server(app, [] { return vbs::ObjectPtr<vbs::HostObject>(new Meter); }, options);
  server.RegisterClass<Meter>();
  if (!server.Start()) _exit(2);

  sd_bus* bare = nullptr;
  sd_id128_t id;
  sd_id128_randomize(&id);
  sd_bus_new(&bare);
  sd_bus_set_fd(bare, pingFd, pingFd);
  sd_bus_set_server(bare, 1, id);
  sd_bus_add_object_vtable(bare, nullptr, "/ping", "bench.Ping", kPingVtable, nullptr);
  if (sd_bus_start(bare) < 0) _exit(3);
  BusSource source(bare, [](int) { _exit(0); });

  const char ok = 1;
  if (write(readyFd, &ok, 1) != 1) _exit(4);
  close(readyFd);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  g_main_loop_run(loop);
  _exit(0);
}

struct Figures {
  double median, p99;
};

Figures Measure(int calls, const std::function<void()>& call) {
  std::vector<double> us;
  us.reserve(calls);
  for (int i = 0; i < calls / 10; ++i) call();  // warm-up
  for (int i = 0; i < calls; ++i) {
    const auto t0 = std::chrono::steady_clock::now();
    call();
    us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - t0)
                     .count());
  }
  std::sort(us.begin(), us.end());
  return {us[us.size() / 2], us[us.size() * 99 / 100]};
}

void Check(int r, const char* what) {
  if (r >= 0) return;
  std::fprintf(stderr, "%s: %s\n", what, strerror(-r));
  std::exit(1);
}

}  // namespace

int main(int argc, char** argv) {
  const int calls = argc > 1 ? std::max(100, std::atoi(argv[1])) : 20000;
  char pattern[] = "/tmp/sablewick-bench-XXXXXX";
  const std::string folder = mkdtemp(pattern);
  int pair[2], ready[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0 || pipe2(ready, O_CLOEXEC) != 0)
    return 1;
  const pid_t child = fork();
  if (child == 0) {
    close(pair[0]);
    close(ready[0]);
    Serve(folder, pair[1], ready[1]);
  }
  close(pair[1]);
  close(ready[1]);
  char ok = 0;
  if (read(ready[0], &ok, 1) != 1) {
    std::fprintf(stderr, "the server did not start\n");
    return 1;
  }

  sd_bus* bare = nullptr;
  sd_bus_new(&bare);
  sd_bus_set_fd(bare, pair[0], pair[0]);
  Check(sd_bus_start(bare), "ping connection");
  sd_bus* bus = nullptr;
  sd_bus_new(&bus);
  sd_bus_set_address(bus, ("unix:path=" + folder + "/bus").c_str());
  Check(sd_bus_start(bus), "object server connection");

  sd_bus_message* reply = nullptr;
  sd_bus_error error = SD_BUS_ERROR_NULL;
  Check(sd_bus_call_method(bus, nullptr, sablewick::kFactoryPath, sablewick::kFactoryInterface,
                           "Create", &error, &reply, ""),
        "Create");
  const char* p = nullptr;
  sd_bus_message_read(reply, "o", &p);
  const std::string path = p;
  sd_bus_message_unref(reply);

  auto ping = [&] {
    sd_bus_message* r = nullptr;
    Check(sd_bus_call_method(bare, nullptr, "/ping", "bench.Ping", "Ping", nullptr, &r, ""), "Ping");
    sd_bus_message_unref(r);
  };
  auto level = [&] {
    sd_bus_message* r = nullptr;
    Check(sd_bus_call_method(bus, nullptr, path.c_str(), "org.sablewick.Sablewick.Meter", "Level",
                             nullptr, &r, ""),
          "Level");
    sd_bus_message_unref(r);
  };
  auto invoke = [&] {
    sd_bus_message* r = nullptr;
    Check(sd_bus_call_method(bus, nullptr, path.c_str(), sablewick::kObjectInterface, "Invoke",
                             nullptr, &r, "syav", "getitem", 0, 1, "(qv)", 8, "s", "Level"),
          "Invoke");
    sd_bus_message_unref(r);
  };

  // Rounds alternate so that drift of the machine touches every figure alike.
  std::vector<Figures> pings, levels, invokes;
  for (int round = 0; round < 5; ++round) {
    pings.push_back(Measure(calls / 5, ping));
    levels.push_back(Measure(calls / 5, level));
    invokes.push_back(Measure(calls / 5, invoke));
  }
  auto median = [](std::vector<Figures> f) {
    std::sort(f.begin(), f.end(), [](auto& a, auto& b) { return a.median < b.median; });
    return f[f.size() / 2];
  };
  const Figures fp = median(pings), fl = median(levels), fi = median(invokes);
  std::printf("%-46s %10s %10s %8s\n", "call (peer-to-peer, one connection)", "median us",
              "p99 us", "x ping");
  std::printf("%-46s %10.2f %10.2f %8.2f\n", "bare sd-bus ping", fp.median, fp.p99, 1.0);
  std::printf("%-46s %10.2f %10.2f %8.2f\n", "property get (Meter.Level)", fl.median, fl.p99,
              fl.median / fp.median);
  std::printf("%-46s %10.2f %10.2f %8.2f\n", "Invoke(\"getitem\", Get, [\"Level\"])", fi.median,
              fi.p99, fi.median / fp.median);

  sd_bus_flush_close_unref(bus);
  sd_bus_flush_close_unref(bare);
  kill(child, SIGTERM);
  int status = 0;
  waitpid(child, &status, 0);
  std::filesystem::remove_all(folder);
  return 0;
}
