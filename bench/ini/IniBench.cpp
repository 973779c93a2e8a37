// The settings paths scripts take: GetIniSetting (Load, Read), GetINISection (Load, Keys, Read
// each) and SaveIniSetting (Load, WriteKey, Save; bound by the flush to disk).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "ini/IniTool.h"

namespace {

class NullSink : public sablewick::XapSink {
 public:
  void SendXap(std::string_view, std::string_view, std::string_view, std::string_view,
               std::string_view, std::string_view, std::string_view) override {}
};

// A settings file of `sections` sections with `keys` keys each, in a private folder.
struct Fixture {
  Fixture(int sections, int keys) {
    std::string pattern = std::filesystem::temp_directory_path() / "sablewick-bench-XXXXXX";
    dir = ::mkdtemp(pattern.data());
    path = dir + "/Settings.ini";
    std::ofstream out(path, std::ios::binary);
    for (int s = 0; s < sections; ++s) {
      out << "[Section" << s << "]\r\n";
      for (int k = 0; k < keys; ++k) out << "Key" << k << "=value " << k << "\r\n";
    }
    app.sink = &sink;
    app.xapReady = true;
  }
  ~Fixture() { std::filesystem::remove_all(dir); }

  std::string dir, path;
  NullSink sink;
  sablewick::App app;
};

void BM_LoadRead(benchmark::State& state) {
  Fixture f(static_cast<int>(state.range(0)), 20);
  for (auto _ : state) {
    sablewick::IniTool ini(f.app);
    ini.Load(f.path);
    benchmark::DoNotOptimize(ini.Read("section1", "key7", "x"));
  }
  state.SetItemsProcessed(state.iterations() * state.range(0) * 20);
}
BENCHMARK(BM_LoadRead)->Arg(2)->Arg(50)->Arg(500);

void BM_LoadSection(benchmark::State& state) {
  Fixture f(10, static_cast<int>(state.range(0)));
  for (auto _ : state) {
    sablewick::IniTool ini(f.app);
    ini.Load(f.path);
    for (const std::string& key : ini.Keys("Section5")) {
      benchmark::DoNotOptimize(ini.Read("Section5", key, ""));
    }
  }
}
BENCHMARK(BM_LoadSection)->Arg(20)->Arg(1000);

void BM_LoadWriteSave(benchmark::State& state) {
  Fixture f(static_cast<int>(state.range(0)), 20);
  int n = 0;
  for (auto _ : state) {
    sablewick::IniTool ini(f.app);
    ini.Load(f.path);
    ini.WriteKey("Section1", "Key3", std::to_string(++n));
    ini.Save();
  }
}
BENCHMARK(BM_LoadWriteSave)->Arg(2)->Arg(500)->Unit(benchmark::kMicrosecond);

}  // namespace
