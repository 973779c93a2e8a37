// sablewick-hub: the xAP hub for the node on this machine. See hub/README.md and
// docs/man/sablewick-hub.1.md.
#include <arpa/inet.h>
#include <glib-unix.h>
#include <glib.h>
#include <netdb.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>

#include "core/Folder.h"
#include "hub/Hub.h"

namespace {

using sablewick::hub::Hub;
using sablewick::hub::HubOptions;
using sablewick::hub::Say;

constexpr char kUsage[] =
    "usage: sablewick-hub [--listen ADDR] [--port N] [--folder DIR]\n"
    "\n"
    "The xAP hub: takes every xAP datagram on UDP port 3639 and hands it to each program on\n"
    "this machine that announces its port in xAP heartbeats (the Sablewick node does).\n"
    "\n"
    "  --listen ADDR  the address to listen on: an IPv4 address of this machine, or Default\n"
    "                 for every interface (the default; [Hub] Listen= in the node's\n"
    "                 Config/Drumlin.ini sets it too, the command line wins)\n"
    "  --port N       the port to listen on (3639; another one only for trials and tests)\n"
    "  --folder DIR   the node's folder, whose Config/Drumlin.ini is read (found as the\n"
    "                 node finds it otherwise)\n"
    "  --help, --version\n"
    "\n"
    "exit status: 0 stopped by SIGTERM or SIGINT, 1 failed, 2 bad usage or setting,\n"
    "3 the port is taken (another hub runs)\n";

bool EqualNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && g_ascii_strncasecmp(a.data(), b.data(), a.size()) == 0;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && std::strchr(" \t\r", s.front()) != nullptr) s.remove_prefix(1);
  while (!s.empty() && std::strchr(" \t\r", s.back()) != nullptr) s.remove_suffix(1);
  return s;
}

// [section] key= of an INI file, as the node reads its files: names without regard to case,
// lines starting with ';' or '#' are remarks, the first occurrence counts.
std::optional<std::string> IniValue(const std::string& path, std::string_view section,
                                    std::string_view key) {
  std::ifstream in(path);
  std::string raw;
  bool inSection = false;
  for (int lines = 0; lines < 100000 && std::getline(in, raw); ++lines) {
    const std::string_view line = Trim(raw);
    if (line.empty() || line.front() == ';' || line.front() == '#') continue;
    if (line.front() == '[') {
      const size_t end = line.find(']');
      inSection =
          end != std::string_view::npos && EqualNoCase(Trim(line.substr(1, end - 1)), section);
      continue;
    }
    const size_t eq = line.find('=');
    if (inSection && eq != std::string_view::npos && EqualNoCase(Trim(line.substr(0, eq)), key))
      return std::string(Trim(line.substr(eq + 1)));
  }
  return std::nullopt;
}

// "Default", empty or an IPv4 address (a host name is looked up).
bool ParseListen(const std::string& text, in_addr* out) {
  if (text.empty() || EqualNoCase(text, "Default")) {
    out->s_addr = htonl(INADDR_ANY);
    return true;
  }
  if (::inet_pton(AF_INET, text.c_str(), out) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  *out = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  ::freeaddrinfo(found);
  return true;
}

std::string ProgramFolder() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return {};
  std::string path(buf, static_cast<size_t>(n));
  return path.substr(0, path.rfind('/'));
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "sablewick-hub: %s\n%s", problem.c_str(), kUsage);
  return sablewick::hub::kExitUsage;
}

gboolean OnStop(gpointer loop) {
  g_main_loop_quit(static_cast<GMainLoop*>(loop));
  return G_SOURCE_CONTINUE;
}

}  // namespace

int main(int argc, char** argv) {
  std::optional<std::string> listen;
  std::string folder;
  long port = 3639;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("sablewick-hub %s\n", SABLEWICK_VERSION);
      return 0;
    }
    if (arg == "--listen" || arg == "--port" || arg == "--folder") {
      if (i + 1 >= argc) return Usage(std::string(arg) + " needs a value");
      const char* v = argv[++i];
      if (arg == "--listen") {
        listen = v;
      } else if (arg == "--folder") {
        folder = v;
      } else {
        char* end = nullptr;
        port = std::strtol(v, &end, 10);
        if (*v == '\0' || *end != '\0' || port < 1 || port > 65535)
          return Usage(std::string("--port takes a number from 1 to 65535, not ") + v);
      }
      continue;
    }
    return Usage("unknown argument " + std::string(arg));
  }

  // The listen address: the command line, else [Hub] Listen= of the node's settings.
  std::string listenFrom = "--listen";
  if (!listen) {
    const sablewick::FolderChoice where =
        sablewick::ChooseInstanceFolder(ProgramFolder(), folder, sablewick::FolderEnvironment());
    const std::string ini = where.path + "/Config/Drumlin.ini";
    listenFrom = "the default";
    if (!where.path.empty()) {
      if (auto v = IniValue(ini, "Hub", "Listen")) {
        listen = *v;
        listenFrom = "Listen= in " + ini;
      }
    }
  }
  HubOptions options;
  options.port = static_cast<uint16_t>(port);
  if (!ParseListen(listen.value_or(""), &options.listen)) {
    std::fprintf(stderr,
                 "sablewick-hub: cannot start: %s (%s) is neither Default nor an IPv4 address "
                 "of this machine\n",
                 listen->c_str(), listenFrom.c_str());
    return sablewick::hub::kExitUsage;
  }

  // A client that goes away while we send must not end the hub. SIGTERM and SIGINT are
  // caught before the socket is bound, so that one sent as soon as the hub listens ends it in
  // order.
  ::signal(SIGPIPE, SIG_IGN);
  GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
  const guint term = g_unix_signal_add(SIGTERM, &OnStop, loop);
  const guint intr = g_unix_signal_add(SIGINT, &OnStop, loop);
  Hub hub(options);
  std::string problem;
  if (const int status = hub.Open(&problem); status != 0) {
    std::fprintf(stderr, "sablewick-hub: %s\n", problem.c_str());
    g_source_remove(term);
    g_source_remove(intr);
    g_main_loop_unref(loop);
    return status;
  }
  char address[INET_ADDRSTRLEN] = "?";
  ::inet_ntop(AF_INET, &options.listen, address, sizeof address);
  Say(std::string("sablewick-hub ") + SABLEWICK_VERSION + ": listening on " + address + ":" +
      std::to_string(options.port) + " (" + listenFrom +
      "), forwarding to the ports that "
      "heartbeats from this machine announce on 127.0.0.1, at most " +
      std::to_string(Hub::kMaxClients) + " clients");

  g_main_loop_run(loop);
  g_source_remove(term);
  g_source_remove(intr);
  hub.Flush();
  Say("sablewick-hub: stopped");
  g_main_loop_unref(loop);
  return 0;
}
