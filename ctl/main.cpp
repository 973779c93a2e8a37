// sablewick-ctl: looks into and steers the running node from a terminal.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/Folder.h"
#include "ctl/Client.h"
#include "ctl/Output.h"
#include "ini/ConfigCheck.h"
#include "script/BusValue.h"

namespace sablewick::ctl {
namespace {

using vbs::Variant;

// An xAP message is one UDP datagram.
constexpr size_t kMaxMessageBytes = 65507;

struct Options {
  std::string address;
  bool json = false;
  bool follow = false;
  long count = -1;  // -n: stop after this many
  bool dryRun = false;
  bool text = false;
  std::string filter[4];  // target, class, section, source
  std::vector<std::string> args;
};

struct Command {
  std::string_view name;
  std::string_view synopsis;
  std::string_view help;
  std::string_view options;  // letters of the options it takes: f n m t d
  size_t minArgs, maxArgs;
  int (*run)(const Options&);
};

int Status(const Options&);
int Subscriptions(const Options&);
int Unsubscribe(const Options&);
int Subscribe(const Options&);
int Runs(const Options&);
int Trace(const Options&);
int Inject(const Options&);
int Send(const Options&);
int Check(const Options&);
int Reload(const Options&);

constexpr size_t kAny = 1000;

const Command kCommands[] = {
    {"status", "status", "version, uptime, addresses and counters of the node", "", 0, 0, Status},
    {"subscriptions", "subscriptions", "the subscriptions, by position", "", 0, 0, Subscriptions},
    {"subscribe", "subscribe TARGET CLASS SECTION SOURCE SCRIPT",
     "runs SCRIPT (relative: in Scripts/) for each message that passes the four filters, as a "
     "script's SelectXapMessage does (- or * for any)",
     "", 5, 5, Subscribe},
    {"unsubscribe", "unsubscribe POSITION", "removes the subscription at that position", "", 1, 1,
     Unsubscribe},
    {"runs", "runs [-f] [-n COUNT]",
     "the journal of script runs (the last 1,000); -f follows runs as they start and end", "fn", 0,
     0, Runs},
    {"trace", "trace [-f] [-n COUNT] [--match FILTERS] [--text]",
     "received messages and the subscriptions each matched; -f follows new ones", "fnmt", 0, 0,
     Trace},
    {"inject", "inject [--dry-run] FILE|-",
     "dispatches an xAP message as if it had been received; --dry-run only shows what it would "
     "match",
     "d", 1, 1, Inject},
    {"send", "send TARGET CLASS SECTION [NAME=VALUE...]",
     "sends an xAP message from the node (TARGET - for none)", "", 3, kAny, Send},
    {"reload", "reload",
     "reads the settings again, removes the subscriptions and runs Scripts/Startup.vbs again "
     "(as SIGHUP does); prints what changed",
     "", 0, 0, Reload},
    {"check", "check [FOLDER]",
     "reports settings in Config/*.ini the node would ignore or replace by a default", "", 0, 1,
     Check},
};

void Usage(FILE* out) {
  std::fprintf(out,
               "usage: sablewick-ctl [--json] [--address ADDRESS] COMMAND [ARGUMENTS]\n"
               "       sablewick-ctl --help | --version\n\ncommands:\n");
  for (const Command& c : kCommands)
    std::fprintf(out, "  %-50.*s %.*s\n", static_cast<int>(c.synopsis.size()), c.synopsis.data(),
                 static_cast<int>(c.help.size()), c.help.data());
  std::fprintf(out,
               "\noptions:\n"
               "  --json             one JSON document (or one JSON object a line with -f)\n"
               "  --address ADDRESS  the node's D-Bus address; by default $SABLEWICK_ADDRESS,\n"
               "                     the session bus, then $XDG_RUNTIME_DIR/sablewick/bus\n"
               "  -f, --follow       keep printing new entries until interrupted\n"
               "  -n COUNT           stop after COUNT entries\n"
               "  --match FILTERS    target=..,class=..,section=..,source=.. as subscriptions\n"
               "                     match (wildcards in addresses)\n"
               "  --text             print each message's text as well\n"
               "\nexit status: 0 done, 1 failed (or check found problems), 2 bad usage\n");
}

int BadUsage(const std::string& why) {
  std::fprintf(stderr, "sablewick-ctl: %s\n", why.c_str());
  Usage(stderr);
  return 2;
}

bool ParseCount(std::string_view text, long& out) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != text.npos)
    return false;
  out = std::stol(std::string(text));
  return true;
}

// "class=xAPBSC.event,source=acme.*" into the four filters.
bool ParseFilters(std::string_view text, Options& o, std::string& why) {
  static const char* const kNames[] = {"target", "class", "section", "source"};
  while (!text.empty()) {
    const size_t comma = text.find(',');
    const std::string_view part = text.substr(0, comma);
    text = comma == text.npos ? std::string_view() : text.substr(comma + 1);
    const size_t eq = part.find('=');
    bool known = false;
    for (int i = 0; i < 4 && eq != part.npos; ++i) {
      if (part.substr(0, eq) == kNames[i]) {
        o.filter[i] = std::string(part.substr(eq + 1));
        known = true;
      }
    }
    if (!known) {
      why = "a filter is target=, class=, section= or source=, not \"" + std::string(part) + "\"";
      return false;
    }
  }
  return true;
}

std::vector<Variant> FilterArgs(const Options& o) {
  std::vector<Variant> args;
  for (const std::string& f : o.filter) args.push_back(Variant::String(f));
  return args;
}

// -n COUNT without -f: the newest COUNT entries.
void KeepLast(std::vector<Variant>& list, long count) {
  if (count >= 0 && list.size() > static_cast<size_t>(count))
    list.erase(list.begin(), list.end() - count);
}

// ---- status

int Status(const Options& o) {
  Client client(o.address);
  const Fields fields = FieldsOf(client.Call("Status"));
  if (o.json) {
    std::printf("%s\n", JsonObject(fields, true).c_str());
    return 0;
  }
  std::printf("sablewick %s (pid %s), up %s\n", Plain(Field(fields, "version")).c_str(),
              Plain(Field(fields, "pid")).c_str(),
              Duration(vbs::ToDouble(Field(fields, "uptime"))).c_str());
  // Plain fields one a line, then each group on a line of its own.
  std::vector<std::string> groups;
  for (const auto& [name, value] : fields) {
    const size_t dot = name.find('.');
    if (dot == std::string::npos) {
      if (name != "version" && name != "pid" && name != "uptime")
        std::printf("  %-12s %s\n", name.c_str(), Plain(value).c_str());
      continue;
    }
    const std::string group = name.substr(0, dot);
    if (std::find(groups.begin(), groups.end(), group) == groups.end()) groups.push_back(group);
  }
  for (const std::string& group : groups) {
    std::string line;
    for (const auto& [name, value] : fields) {
      if (name.compare(0, group.size() + 1, group + ".") != 0) continue;
      if (!line.empty()) line += ", ";
      line += name.substr(group.size() + 1) + " " + Plain(value);
    }
    std::printf("  %-12s %s\n", group.c_str(), line.c_str());
  }
  return 0;
}

// ---- subscriptions

std::string OrAny(const Variant& v) {
  const std::string s = Plain(v);
  return s.empty() ? "*" : s;
}

int Subscriptions(const Options& o) {
  Client client(o.address);
  const std::vector<Variant> list = Items(client.Call("Subscriptions"));
  if (o.json) {
    std::printf("%s\n", JsonList(list).c_str());
    return 0;
  }
  if (list.empty()) {
    std::printf("no subscriptions\n");
    return 0;
  }
  std::printf("%3s  %-16s %-20s %-14s %-20s %6s %5s  %-10s %s\n", "#", "target", "class",
              "section", "source", "queued", "runs", "last exit", "script");
  for (const Variant& r : list) {
    const Fields f = FieldsOf(r);
    const std::string last = Plain(Field(f, "last_exit"));
    std::printf("%3s  %-16s %-20s %-14s %-20s %6s %5s  %-10s %s\n",
                Plain(Field(f, "position")).c_str(), OrAny(Field(f, "target")).c_str(),
                OrAny(Field(f, "class")).c_str(), OrAny(Field(f, "section")).c_str(),
                OrAny(Field(f, "source")).c_str(), Plain(Field(f, "queued")).c_str(),
                Plain(Field(f, "runs")).c_str(), last.empty() ? "-" : last.c_str(),
                Plain(Field(f, "script")).c_str());
  }
  return 0;
}

int Subscribe(const Options& o) {
  std::vector<Variant> args;
  for (size_t i = 0; i < 4; ++i)
    args.push_back(Variant::String(o.args[i] == "-" || o.args[i] == "*" ? "" : o.args[i]));
  args.push_back(Variant::String(o.args[4]));
  Client client(o.address);
  const Fields f = FieldsOf(client.Call("Subscribe", args));
  if (o.json) {
    std::printf("%s\n", JsonObject(f).c_str());
    return 0;
  }
  const bool added = vbs::ToBoolean(Field(f, "added"));
  std::printf("%s subscription %s: target %s, class %s, section %s, source %s -> %s\n",
              added ? "added" : "already there:", Plain(Field(f, "position")).c_str(),
              OrAny(Field(f, "target")).c_str(), OrAny(Field(f, "class")).c_str(),
              OrAny(Field(f, "section")).c_str(), OrAny(Field(f, "source")).c_str(),
              Plain(Field(f, "script")).c_str());
  const std::string problem = Plain(Field(f, "problem"));
  if (!problem.empty())
    std::printf("  note: %s; it is tried again with each message\n", problem.c_str());
  return 0;
}

int Unsubscribe(const Options& o) {
  long position = 0;
  if (!ParseCount(o.args[0], position) || position < 1)
    return BadUsage("a position is a number from 1, not \"" + o.args[0] + "\"");
  Client client(o.address);
  const Fields f =
      FieldsOf(client.Call("Unsubscribe", {Variant::Long(static_cast<int32_t>(position))}));
  if (o.json) {
    std::printf("%s\n", JsonObject(f).c_str());
  } else {
    std::printf("removed subscription %ld: target %s, class %s, section %s, source %s -> %s\n",
                position, OrAny(Field(f, "target")).c_str(), OrAny(Field(f, "class")).c_str(),
                OrAny(Field(f, "section")).c_str(), OrAny(Field(f, "source")).c_str(),
                Plain(Field(f, "script")).c_str());
  }
  return 0;
}

// ---- runs


std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

void PrintRun(const Options& o, const Variant& record, bool following) {
  const Fields f = FieldsOf(record);
  if (o.json) {
    std::printf("%s\n", JsonObject(f).c_str());
    std::fflush(stdout);
    return;
  }
  const bool running = vbs::ToBoolean(Field(f, "running"));
  const long position = vbs::ToLong(Field(f, "position"));
  std::string outcome = running ? (following ? "started" : "running")
                                : Plain(Field(f, "outcome")) + " after " +
                                      Duration(vbs::ToDouble(Field(f, "duration")));
  std::printf("%s  #%s  %s  %s  pid %s  queued %s fetched %s  %s\n",
              LocalTime(vbs::ToDouble(Field(f, running ? "start" : "end")), false).c_str(),
              Plain(Field(f, "id")).c_str(),
              position > 0 ? ("subscription " + std::to_string(position)).c_str() : "on its own",
              BaseName(Plain(Field(f, "script"))).c_str(), Plain(Field(f, "pid")).c_str(),
              Plain(Field(f, "queued")).c_str(), Plain(Field(f, "fetched")).c_str(),
              outcome.c_str());
  if (const Variant& lost = Field(f, "lost"); !lost.IsEmpty())
    std::printf("  (%s runs were not shown: the tool did not keep up)\n", Plain(lost).c_str());
  const std::string err = Plain(Field(f, "stderr"));
  size_t start = 0;
  while (!running && start < err.size()) {
    const size_t end = err.find('\n', start);
    std::printf("    stderr: %s\n", TerminalSafe(err.substr(start, end - start)).c_str());
    if (end == std::string::npos) break;
    start = end + 1;
  }
  std::fflush(stdout);
}

int Runs(const Options& o) {
  if (!o.follow) {
    Client client(o.address);
    std::vector<Variant> list = Items(client.Call("Runs", {Variant::Double(0)}));
    KeepLast(list, o.count);
    if (o.json) {
      std::printf("%s\n", JsonList(list).c_str());
    } else if (list.empty()) {
      std::printf("no runs yet\n");
    } else {
      for (const Variant& r : list) PrintRun(o, r, false);
    }
    return 0;
  }
  long shown = 0;
  // Across restarts of the node: a follower left open in a terminal goes on with the next one.
  Client::FollowAlways(
      o.address, "Run", [](Client& client) { client.Call("FollowRuns"); },
      [&](sd_bus_message* m) {
        if (Client::StopRequested()) return false;
        PrintRun(o, Client::ReadValue(m), true);
        return o.count < 0 || ++shown < o.count;
      });
  return 0;
}

// ---- trace

void PrintTraced(const Options& o, const Fields& f) {
  if (o.json) {
    std::printf("%s\n", JsonObject(f).c_str());
  } else {
    const std::string matched = Plain(Field(f, "matched"));
    std::printf("%s  %s -> %s  %s  [%s]  %s%s\n",
                LocalTime(vbs::ToDouble(Field(f, "time")), false).c_str(),
                TerminalSafe(Plain(Field(f, "source"))).c_str(),
                TerminalSafe(OrAny(Field(f, "target"))).c_str(),
                TerminalSafe(Plain(Field(f, "class"))).c_str(),
                TerminalSafe(Plain(Field(f, "sections"))).c_str(),
                matched.empty() ? "matched none" : ("matched " + matched).c_str(),
                vbs::ToBoolean(Field(f, "injected")) ? "  (injected)" : "");
    if (const Variant& lost = Field(f, "lost"); !lost.IsEmpty())
      std::printf("  (%s messages were not shown: the tool did not keep up)\n",
                  Plain(lost).c_str());
    if (o.text) {
      const std::string text = Plain(Field(f, "text"));
      size_t start = 0;
      while (start < text.size()) {
        const size_t end = text.find('\n', start);
        std::printf("    %s\n", TerminalSafe(text.substr(start, end - start)).c_str());
        if (end == std::string::npos) break;
        start = end + 1;
      }
    }
  }
}

// The signal Traced (kTracedSignature): each message as the fields Trace answers with.
void ReadTracedBatch(sd_bus_message* m, const std::function<bool(const Fields&)>& each) {
  auto bytes = [m]() {
    const void* data = nullptr;
    size_t size = 0;
    if (sd_bus_message_read_array(m, 'y', &data, &size) < 0) throw CtlError("unreadable trace");
    return Variant::String(std::string(static_cast<const char*>(data), size));
  };
  if (sd_bus_message_enter_container(m, 'a', kTracedSignature + 1) < 0)
    throw CtlError("unreadable trace");
  while (sd_bus_message_enter_container(m, 'r', "tdbayayayayauayt") > 0) {
    uint64_t seq = 0, lost = 0;
    double time = 0;
    int injected = 0;
    if (sd_bus_message_read(m, "tdb", &seq, &time, &injected) < 0)
      throw CtlError("unreadable trace");
    Fields f;
    f.emplace_back("seq", Variant::Double(static_cast<double>(seq)));
    f.emplace_back("time", Variant::Double(time));
    f.emplace_back("injected", Variant::Boolean(injected != 0));
    for (const char* name : {"source", "target", "class", "sections"}) {
      Variant value = bytes();
      // No target member for a message without one.
      if (std::string_view(name) == "target" && value.AsString().empty()) continue;
      f.emplace_back(name, std::move(value));
    }
    const void* data = nullptr;
    size_t size = 0;
    if (sd_bus_message_read_array(m, 'u', &data, &size) < 0) throw CtlError("unreadable trace");
    std::vector<Variant> matched;
    for (size_t i = 0; i < size / sizeof(uint32_t); ++i)
      matched.push_back(Variant::Long(static_cast<int32_t>(static_cast<const uint32_t*>(data)[i])));
    Variant positions = vbs::NewArray({static_cast<int32_t>(matched.size())});
    positions.AsArray()->data = matched;
    f.emplace_back("matched", positions);
    f.emplace_back("text", bytes());
    if (sd_bus_message_read(m, "t", &lost) < 0 || sd_bus_message_exit_container(m) < 0)
      throw CtlError("unreadable trace");
    if (lost != 0) f.emplace_back("lost", Variant::Double(static_cast<double>(lost)));
    if (!each(f)) return;
  }
}

int Trace(const Options& o) {
  if (!o.follow) {
    Client client(o.address);
    std::vector<Variant> list = Items(client.Call("Trace", FilterArgs(o)));
    KeepLast(list, o.count);
    if (o.json) {
      std::printf("%s\n", JsonList(list).c_str());
    } else {
      for (const Variant& r : list) PrintTraced(o, FieldsOf(r));
      if (list.empty())
        std::fprintf(stderr,
                     "sablewick-ctl: nothing recorded yet; the node records from the first look "
                     "until 10 minutes after the last one (or use -f)\n");
    }
    return 0;
  }
  long shown = 0;
  Client::FollowAlways(
      o.address, "Traced", [&](Client& client) { client.Call("FollowTrace", FilterArgs(o)); },
      [&](sd_bus_message* m) {
        ReadTracedBatch(m, [&](const Fields& f) {
          if (Client::StopRequested()) return false;
          PrintTraced(o, f);
          return o.count < 0 || ++shown < o.count;
        });
        if (Client::StopRequested()) return false;
        std::fflush(stdout);
        return o.count < 0 || shown < o.count;
      });
  return 0;
}

// ---- inject and send

int Inject(const Options& o) {
  std::string text;
  const std::string& file = o.args[0];
  if (file != "-") {
    std::string why;
    if (!ReadRegularFile(file, kMaxMessageBytes + 1, text, why))
      throw CtlError("cannot read " + file + ": " + why);
  } else {
    text.resize(kMaxMessageBytes + 1);
    std::cin.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(std::cin.gcount()));
  }
  if (text.size() > kMaxMessageBytes)
    throw CtlError("the message is longer than one datagram (65507 bytes)");
  if (text.empty()) throw CtlError("the message is empty");
  Client client(o.address);
  const Fields f =
      FieldsOf(client.Call("Inject", {Variant::String(text), Variant::Boolean(o.dryRun)}));
  if (o.json) {
    std::printf("%s\n", JsonObject(f).c_str());
    return 0;
  }
  const std::string matched = Plain(Field(f, "matched"));
  if (o.dryRun) {
    std::printf("would match %s (dry run: nothing stored, started or answered)\n",
                matched.empty() ? "no subscription" : ("subscriptions " + matched).c_str());
  } else {
    std::printf("dispatched as %s; matched %s\n", OrAny(Field(f, "handle")).c_str(),
                matched.empty() ? "no subscription" : ("subscriptions " + matched).c_str());
  }
  return 0;
}

int Send(const Options& o) {
  std::vector<Variant> items;
  for (size_t i = 3; i < o.args.size(); ++i) {
    const size_t eq = o.args[i].find('=');
    if (eq == std::string::npos || eq == 0)
      return BadUsage("an item is NAME=VALUE, not \"" + o.args[i] + "\"");
    items.push_back(Variant::String(o.args[i]));
  }
  Variant list = vbs::NewArray({static_cast<int32_t>(items.size())});
  for (size_t i = 0; i < items.size(); ++i) list.AsArray()->data[i] = items[i];
  Client client(o.address);
  client.Call("Send", {Variant::String(o.args[0] == "-" ? "" : o.args[0]),
                       Variant::String(o.args[1]), Variant::String(o.args[2]), list});
  if (o.json) std::printf("{\"sent\":true}\n");
  return 0;
}

// ---- reload

int Reload(const Options& o) {
  Client client(o.address);
  const Fields f = FieldsOf(client.Call("Reload"));
  if (o.json) {
    // The changes as objects, the rest as the record has it.
    std::string out;
    for (const auto& [name, value] : f)
      out += (out.empty() ? "{" : ",") + JsonString(name) + ":" +
             (name == "changes" ? JsonList(Items(value)) : Json(value));
    std::printf("%s}\n", out.c_str());
    return 0;
  }
  // The lines the node logged: values come from the settings files, so shown terminal-safe.
  for (const Variant& line : Items(Field(f, "summary")))
    std::printf("%s\n", TerminalSafe(Plain(line)).c_str());
  return 0;
}

// ---- check

// The folder the node of this user would take (core/Folder.h), when it holds settings.
std::string OwnFolder() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  std::string path = n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  if (path.find('/') != std::string::npos) path.erase(path.rfind('/'));
  const std::string folder = ChooseInstanceFolder(path, "", FolderEnvironment()).path;
  return !folder.empty() && ::access((folder + "/Config").c_str(), F_OK) == 0 ? folder
                                                                               : std::string();
}

int Check(const Options& o) {
  std::string folder = o.args.empty() ? std::string() : o.args[0];
  if (folder.empty()) {
    try {
      Client client(o.address);
      folder = Plain(Field(FieldsOf(client.Call("Status")), "folder"));
    } catch (const CtlError&) {
      folder = OwnFolder();
    }
  }
  if (folder.empty())
    throw CtlError("no folder with Config/: give one (no node runs, and neither $" +
                   std::string(kFolderVariable) + ", this program's folder nor the user's " +
                   "data folder holds one)");
  const std::vector<Finding> findings = CheckConfig(folder);
  int problems = 0;
  for (const Finding& f : findings) problems += f.problem ? 1 : 0;
  if (o.json) {
    std::string list = "[";
    for (const Finding& f : findings) {
      if (list.size() > 1) list += ",";
      list += "{\"file\":" + JsonString(f.file) + ",\"line\":" + std::to_string(f.line) +
              ",\"problem\":" + (f.problem ? "true" : "false") +
              ",\"message\":" + JsonString(f.message) + "}";
    }
    std::printf("{\"folder\":%s,\"problems\":%d,\"findings\":%s]}\n", JsonString(folder).c_str(),
                problems, list.c_str());
  } else {
    // The messages quote the files: what a hostile file holds must not reach the terminal raw.
    for (const Finding& f : findings) {
      std::printf("%s%s: %s: %s\n", TerminalSafe(f.file).c_str(),
                  f.line > 0 ? (":" + std::to_string(f.line)).c_str() : "",
                  f.problem ? "problem" : "note", TerminalSafe(f.message).c_str());
    }
    std::printf("%s: %d problem%s\n", TerminalSafe(folder).c_str(), problems,
                problems == 1 ? "" : "s");
  }
  return problems == 0 ? 0 : 1;
}

// ---- arguments

int Main(int argc, char** argv) {
  Options o;
  const Command* command = nullptr;
  std::string used;  // option letters given, checked against the command
  bool optionsEnd = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view a = argv[i];
    if (optionsEnd || a.empty() || a[0] != '-' || a == "-") {
      if (command == nullptr) {
        for (const Command& c : kCommands)
          if (c.name == a) command = &c;
        if (command == nullptr) return BadUsage("unknown command " + std::string(a));
      } else {
        o.args.emplace_back(a);
      }
      continue;
    }
    if (a == "--") {
      optionsEnd = true;
      continue;
    }
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    if (a == "--help" || a == "-h") {
      Usage(stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("sablewick-ctl %s\n", SABLEWICK_VERSION);
      return 0;
    }
    if (a == "--json") {
      o.json = true;
    } else if (a == "--address") {
      if (!value(o.address)) return BadUsage("--address needs a value");
    } else if (a == "-f" || a == "--follow") {
      o.follow = true;
      used += 'f';
    } else if (a == "-n") {
      std::string n;
      if (!value(n) || !ParseCount(n, o.count)) return BadUsage("-n needs a count");
      used += 'n';
    } else if (a == "--match") {
      std::string filters, why;
      if (!value(filters)) return BadUsage("--match needs filters");
      if (!ParseFilters(filters, o, why)) return BadUsage(why);
      used += 'm';
    } else if (a == "--text") {
      o.text = true;
      used += 't';
    } else if (a == "--dry-run") {
      o.dryRun = true;
      used += 'd';
    } else {
      return BadUsage("unknown option " + std::string(a));
    }
  }
  if (command == nullptr) return BadUsage("no command given");
  for (char letter : used)
    if (command->options.find(letter) == std::string_view::npos)
      return BadUsage(std::string(command->name) + " takes no such option");
  if (o.args.size() < command->minArgs || o.args.size() > command->maxArgs)
    return BadUsage("usage: sablewick-ctl " + std::string(command->synopsis));
  try {
    return command->run(o);
  } catch (const CtlError& e) {
    std::fprintf(stderr, "sablewick-ctl: %s\n", e.what());
    return 1;
  }
}

}  // namespace
}  // namespace sablewick::ctl

int main(int argc, char** argv) { return sablewick::ctl::Main(argc, argv); }
