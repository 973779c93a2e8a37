// Parse and match: FromXap of a typical 300-byte message, then the four filter comparisons of
// the dispatcher against 10 subscriptions. The bare line splitter is the floor we measure
// against in the same run.
//
// Each measured pass is a function of its own (BareLineSplit, ParseAndMatch), so that
// callgrind counts its instructions per call on a busy machine:
//   valgrind --tool=callgrind --callgrind-out-file=cg.out xap_parse_bench
//       --benchmark_filter='BareLineSplit|FromXapAnd10' --benchmark_min_time=0.05
//   callgrind_annotate --inclusive=yes cg.out | grep -E 'BareLineSplit|ParseAndMatch'
// (inclusive instructions divided by the calls that callgrind_annotate --tree=caller shows).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/App.h"
#include "xap/XapMessage.h"

namespace {

const std::string kMessage =
    "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=xAPBSC.event\n"
    "source=acme.lighting.livingroom:dimmer.1\ntarget=Orbel.Script.homeserver\n}\n"
    "input.state\n{\nstate=on\nlevel=75%\ntext=Living room dimmer\ndisplaytext=Dimmer 75%\n}\n"
    "output.state\n{\nstate=on\nlevel=75%\nid=01\n}\n";

struct Filter {
  std::string Schema, Source, Target, Section;
};

// The filters as a subscription keeps them: prepared once.
struct Prepared {
  sablewick::XapFilter schema, source, target, section;
};

const std::vector<Filter> kSubscriptions = {
    {"xapbsc.event", "", "", ""},
    {"", "acme.lighting.*", "", ""},
    {"xapbsc.cmd", "", "", ""},
    {"", "", "orbel.script.>", "input.state"},
    {"xapbsc.info", "acme.>", "", ""},
    {"", "other.vendor.device", "", ""},
    {"", "", "", "output.state"},
    {"xapbsc.event", "acme.lighting.livingroom:dimmer.1", "*.*.*", "input.state"},
    {"homeseer.event", "", "", ""},
    {"", "", "", "event.log"},
};

// The floor: split the text into lines and name=value pairs over string_views, nothing more.
[[gnu::noinline]] void BareLineSplit(std::string_view text) {
  size_t pairs = 0;
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    const std::string_view line = text.substr(0, nl);
    const size_t eq = line.find('=');
    if (eq != std::string_view::npos) {
      benchmark::DoNotOptimize(line.substr(0, eq));
      benchmark::DoNotOptimize(line.substr(eq + 1));
      ++pairs;
    }
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  benchmark::DoNotOptimize(pairs);
}

void BM_BareLineSplit(benchmark::State& state) {
  for (auto _ : state) BareLineSplit(kMessage);
}
BENCHMARK(BM_BareLineSplit);

void BM_FromXap(benchmark::State& state) {
  for (auto _ : state) {
    sablewick::XapMessage m;
    m.FromXap(kMessage);
    benchmark::DoNotOptimize(m);
  }
}
BENCHMARK(BM_FromXap);

// What the dispatcher does per received text: parse (the receive time given), then the four
// prepared filters of each subscription in order.
[[gnu::noinline]] size_t ParseAndMatch(std::string_view text, const std::vector<Prepared>& subs) {
  size_t matched = 0;
  sablewick::XapMessage m;
  m.FromXap(text, 46000.5);
  for (const Prepared& f : subs) {
    if (!f.schema.Empty() && !m.MatchClass(f.schema)) continue;
    if (!f.source.Empty() && !m.MatchSource(f.source)) continue;
    if (!f.target.Empty() && !m.MatchTarget(f.target)) continue;
    if (!f.section.Empty() && !m.MatchSection(f.section)) continue;
    ++matched;
  }
  return matched;
}

void BM_FromXapAnd10Subscriptions(benchmark::State& state) {
  std::vector<Prepared> subs;
  for (const Filter& f : kSubscriptions) {
    subs.push_back({sablewick::XapFilter(f.Schema), sablewick::XapFilter(f.Source),
                    sablewick::XapFilter(f.Target), sablewick::XapFilter(f.Section)});
  }
  size_t matched = 0;
  for (auto _ : state) matched += ParseAndMatch(kMessage, subs);
  benchmark::DoNotOptimize(matched);
}
BENCHMARK(BM_FromXapAnd10Subscriptions);

void BM_Compose(benchmark::State& state) {
  for (auto _ : state) {
    sablewick::XapMessage m;
    m.MsgUID = "FF00E800";
    m.MsgClass = "xAPBSC.cmd";
    m.msgSource = "Orbel.Script.homeserver";
    m.MsgTarget = "acme.lighting.livingroom:dimmer.1";
    m.AddHeader();
    m.AddSection("output.state.1");
    m.AddItem("", "state", "on");
    m.AddItem("", "level", "75%");
    benchmark::DoNotOptimize(m.ToXap());
  }
}
BENCHMARK(BM_Compose);

// A 64 KB datagram of one kind of line: the same item again and again (every line after the
// first is a repeat, each one a fault to log), distinct items, or distinct sections.
enum class Flood { RepeatedItem, DistinctItems, DistinctSections };

std::string FloodDatagram(Flood kind) {
  std::string text = "xap-header\n{\nclass=a.b\nsource=x.y.z\n}\nblock\n{\n";
  for (int i = 0; text.size() < 65000; ++i) {
    const std::string n = std::to_string(i);
    switch (kind) {
      case Flood::RepeatedItem: text += "k=v\n"; break;
      case Flood::DistinctItems: text.append("k").append(n).append("=v\n"); break;
      case Flood::DistinctSections: text.append("}\ns").append(n).append("\n{\nk=v\n"); break;
    }
  }
  return text + "}\n";
}

// Parsing with the faults logged to a real log file in a temporary folder, as the node does.
void BM_FromXapFlood(benchmark::State& state) {
  const std::string text = FloodDatagram(static_cast<Flood>(state.range(0)));
  std::string dir = (std::filesystem::temp_directory_path() / "sablewick-bench-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr) return state.SkipWithError("mkdtemp");
  std::filesystem::create_directories(dir + "/Data");
  sablewick::App app;
  app.AppPath = dir;
  for (auto _ : state) {
    sablewick::XapMessage m(&app);
    m.FromXap(text);
    benchmark::DoNotOptimize(m);
  }
  std::error_code ec;
  const uintmax_t logged = std::filesystem::file_size(dir + "/Data/Sablewick.txt", ec);
  state.counters["log_bytes_per_parse"] =
      ec ? 0.0 : static_cast<double>(logged) / static_cast<double>(state.iterations());
  std::filesystem::remove_all(dir, ec);
}
BENCHMARK(BM_FromXapFlood)
    ->ArgName("repeated0_items1_sections2")
    ->Arg(static_cast<int>(Flood::RepeatedItem))
    ->Arg(static_cast<int>(Flood::DistinctItems))
    ->Arg(static_cast<int>(Flood::DistinctSections))
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
