// The fixture of the daemon tests: a fake hub on 127.0.0.1:3639 and a daemon from a private
// install folder, greeted at start-up.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <memory>

#include "tests/daemon/DaemonHarness.h"
#include "xap/XapMessage.h"

namespace sablewick::testing {

inline std::string HostName() {
  std::array<char, 129> name{};
  ::gethostname(name.data(), 128);
  return name.data();
}

inline std::string Heartbeat(const std::string& uid, int port) {
  return "xap-hbeat\n{\nv=12\nhop=1\nuid=" + uid + "\nclass=xap-hbeat.alive\nsource=Orbel.Script." +
         HostName() + "\ninterval=600\nport=" + std::to_string(port) + "\n}\n";
}

inline XapMessage Parse(const std::string& text) {
  XapMessage m;
  m.FromXap(text);
  return m;
}

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reportsBefore_ = Daemon::SanitizerReports();
    ASSERT_TRUE(hub.Bound()) << "port 3639 is taken: run in a namespace";
  }
  void TearDown() override {
    if (HasFailure()) {
      std::fprintf(stderr, "--- daemon log ---\n%s\n--- daemon stderr ---\n%s\n",
                   daemon->Log().c_str(), daemon->Stderr().c_str());
    }
    daemon.reset();
    EXPECT_EQ(Daemon::SanitizerReports(), reportsBefore_) << "a daemon's sanitizer report";
  }
  // Starts the daemon and reads its start-up datagrams: the heartbeat and the port notice.
  void StartAndGreet(int expectedPort = 32768, const std::string& uid = "FF00E800",
                     int stderrFd = -1) {
    daemon->Start({}, stderrFd);
    auto hb = hub.Receive();
    ASSERT_TRUE(hb) << "no heartbeat";
    EXPECT_EQ(*hb, Heartbeat(uid, expectedPort));
    auto notice = hub.Receive();
    ASSERT_TRUE(notice);
    XapMessage m = Parse(*notice);
    EXPECT_EQ(m.MsgClass, "Homeseer.Event");
    EXPECT_EQ(m.GetItem("Event.Log", "Data"), "Using xAP port  " + std::to_string(expectedPort));
    port = expectedPort;
    // The object server comes up just after the port notice; scripts need it.
    const std::string bus = daemon->RuntimeDir() + "/sablewick/bus";
    for (int i = 0; i < 500 && !std::filesystem::exists(bus); ++i) ::usleep(10000);
    EXPECT_TRUE(std::filesystem::exists(bus)) << "no object server at " << bus;
  }
  std::string Query(const std::string& header, const std::string& body) {
    return "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nsource=acme.tool.pc\n" + header + "}\n" +
           body;
  }

  UdpSocket hub{3639};
  std::unique_ptr<Daemon> daemon = std::make_unique<Daemon>();
  int port = 0;

 private:
  int reportsBefore_ = 0;
};

}  // namespace sablewick::testing
