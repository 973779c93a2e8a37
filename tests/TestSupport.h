// Shared fixtures for the unit tests: a controllable clock, a recording sender, a private
// temporary folder.
#pragma once

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/App.h"
#include "core/Clock.h"

namespace sablewick::testing {

class FakeClock : public Clock {
 public:
  double Now() const override { return now; }
  uint32_t TickCount() const override { return ticks; }
  int64_t FileTime() const override { return 0; }
  double now = DateFromParts(2026, 3, 4, 15, 6, 7);
  uint32_t ticks = 0;
};

struct SentMessage {
  std::string target, cls, section, data, subaddress, uid, targetSubaddress;
  // The items as "name=value" lines joined by "|", for compact expectations.
  std::string Items() const {
    std::string out;
    for (char c : data) out += c == '\1' ? '=' : c == '\0' ? '|' : c;
    return out;
  }
};

class RecordingSink : public XapSink {
 public:
  void SendXap(std::string_view target, std::string_view cls, std::string_view section,
               std::string_view data, std::string_view subaddress, std::string_view uid,
               std::string_view targetSubaddress) override {
    sent.push_back({std::string(target), std::string(cls), std::string(section), std::string(data),
                    std::string(subaddress), std::string(uid), std::string(targetSubaddress)});
  }
  std::vector<SentMessage> sent;
};

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sablewick-test-XXXXXX");
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& Path() const { return path_; }

 private:
  std::string path_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::string ToLowerForTest(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

inline void WriteFile(const std::string& path, const std::string& text) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

// An App on a temporary base folder with a fake clock and a recording sender, ready to send.
struct TestApp {
  TestApp() {
    app.AppPath = dir.Path();
    app.clock = &clock;
    app.sink = &sink;
    app.xapReady = true;
    app.UID = "FF00E800";
    std::filesystem::create_directories(dir.Path() + "/Data");
    std::filesystem::create_directories(dir.Path() + "/Config");
  }
  std::string Log() const { return ReadFile(dir.Path() + "/Data/Sablewick.txt"); }

  TempDir dir;
  FakeClock clock;
  RecordingSink sink;
  App app;
};

}  // namespace sablewick::testing
