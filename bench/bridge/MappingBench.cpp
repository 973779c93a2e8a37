// The bridge's own work per received message, without sockets: the topic and JSON of a
// message, and the BSC directory's look at it (a known device among 50), next to parsing the
// same text, which every message costs with or without the bridge.
#include <benchmark/benchmark.h>

#include <string>

#include "bridge/Bsc.h"
#include "bridge/Mapping.h"
#include "xap/XapMessage.h"

namespace sablewick {
namespace {

const std::string kText =
    "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=Bench.Reading\nsource=acme.bench.pc:7\n}\n"
    "reading\n{\nState=on\nText=reading 12345\n}\n";

XapMessage Parsed() {
  XapMessage msg;
  msg.FromXap(kText);
  return msg;
}

void BM_Parse(benchmark::State& state) {
  for (auto _ : state) {
    XapMessage msg;
    msg.FromXap(kText);
    benchmark::DoNotOptimize(msg);
  }
}
BENCHMARK(BM_Parse);

void BM_TopicAndJson(benchmark::State& state) {
  const XapMessage msg = Parsed();
  for (auto _ : state) {
    std::string topic = InTopic("xap", msg);
    std::string json = MessageJson(msg);
    benchmark::DoNotOptimize(topic);
    benchmark::DoNotOptimize(json);
  }
}
BENCHMARK(BM_TopicAndJson);

void BM_DirectoryObserve(benchmark::State& state) {
  BscDirectory bsc("xap", "homeassistant", "xap/status/n", 1000);
  for (int i = 0; i < 50; ++i) {
    XapMessage info;
    info.FromXap("xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=xAPBSC.info\nsource=acme.dev" +
                 std::to_string(i) + ".pc:1\n}\ninput.state.1\n{\nState=on\n}\n");
    bsc.Observe(info, 0);
  }
  XapMessage msg;
  msg.FromXap("xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=Bench.Reading\nsource=acme.dev7.pc:7\n}\n"
              "reading\n{\nState=on\n}\n");
  uint32_t now = 0;
  for (auto _ : state) {
    auto out = bsc.Observe(msg, ++now);
    benchmark::DoNotOptimize(out);
  }
}
BENCHMARK(BM_DirectoryObserve);

}  // namespace
}  // namespace sablewick

BENCHMARK_MAIN();
