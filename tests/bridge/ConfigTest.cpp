// The [MQTT] settings and the password file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "bridge/Bridge.h"
#include "ini/IniTool.h"
#include "tests/TestSupport.h"

namespace sablewick {
namespace {

using testing::TempDir;
using testing::WriteFile;

struct ConfigFixture {
  TempDir dir;
  App app;
  ConfigFixture() {
    app.AppPath = dir.Path();
    app.ComputerName = "box";
    std::filesystem::create_directories(dir.Path() + "/Config");
  }
  std::optional<BridgeConfig> Read(const std::string& section, std::string* error) {
    WriteFile(dir.Path() + "/Config/Sablewick.ini", section);
    IniTool ini(app);
    ini.Load(dir.Path() + "/Config/Sablewick.ini");
    return ReadBridgeConfig(app, ini, error);
  }
};

TEST(BridgeConfig, OffUnlessABrokerIsSet) {
  ConfigFixture f;
  for (const char* ini : {"", "[General]\nUID=FF00E800\n", "[MQTT]\nBroker=\nPrefix=x\n"}) {
    std::string error = "untouched";
    EXPECT_FALSE(f.Read(ini, &error)) << ini;
    EXPECT_EQ(error, "") << ini;
  }
}

TEST(BridgeConfig, BrokerAddressesDefaultsAndDiscovery) {
  ConfigFixture f;
  std::string error;
  auto c = f.Read("[MQTT]\nBroker=mqtt.lan\n", &error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(c->host, "mqtt.lan");
  EXPECT_EQ(c->port, 1883);
  EXPECT_EQ(c->clientId, "sablewick-box");
  EXPECT_EQ(c->prefix, "xap");
  EXPECT_EQ(c->discovery, "homeassistant");
  EXPECT_EQ(c->removeUnseenSeconds, 0u);

  c = f.Read("[MQTT]\nBroker=[::1]:1884\nCAFile=ca.pem\nPrefix=home/xap/\nDiscovery=\nClientId=n1\n",
             &error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(c->host, "::1");
  EXPECT_EQ(c->port, 1884);
  EXPECT_EQ(c->caFile, f.dir.Path() + "/Config/ca.pem");
  EXPECT_EQ(c->prefix, "home/xap");
  EXPECT_EQ(c->discovery, "");
  EXPECT_EQ(c->clientId, "n1");

  c = f.Read("[MQTT]\nBroker=10.0.0.5\nCAFile=/etc/ssl/ca.pem\n", &error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(c->port, 8883);  // TLS's port when none is given

  // A whole number of seconds up to a year; anything else is the default, never.
  for (const auto& [value, seconds] : std::initializer_list<std::pair<const char*, uint32_t>>{
           {"3600", 3600u}, {"31536000", 31536000u}, {"31536001", 0u}, {"1h", 0u},
           {"99999999999999999999", 0u}, {"", 0u}}) {
    c = f.Read(std::string("[MQTT]\nBroker=h\nRemoveUnseenAfter=") + value + "\n", &error);
    ASSERT_TRUE(c) << error;
    EXPECT_EQ(c->removeUnseenSeconds, seconds) << value;
  }

  struct Bad {
    const char* ini;
    const char* error;
  } bad[] = {
      {"[MQTT]\nBroker=host:0\n", "Broker host:0 is not host or host:port"},
      {"[MQTT]\nBroker=host:70000\n", "Broker host:70000 is not host or host:port"},
      {"[MQTT]\nBroker=host:\n", "Broker host: is not host or host:port"},
      {"[MQTT]\nBroker=[::1\n", "Broker [::1 is not host or host:port"},
      {"[MQTT]\nBroker=h\nPrefix=a/#\n", "Prefix a/# holds an MQTT wildcard"},
      {"[MQTT]\nBroker=h\nDiscovery=+\n", "Discovery + holds an MQTT wildcard"},
  };
  for (const Bad& b : bad) {
    EXPECT_FALSE(f.Read(b.ini, &error)) << b.ini;
    EXPECT_EQ(error, b.error);
  }
}

TEST(BridgeConfig, PasswordComesFromAFileOnlyTheUserCanRead) {
  ConfigFixture f;
  const std::string path = f.dir.Path() + "/Config/mqtt.pass";
  WriteFile(path, "s3cret pass\r\nsecond line\n");
  ::chmod(path.c_str(), 0600);
  std::string error;
  auto c = f.Read("[MQTT]\nBroker=h\nUsername=node\nPasswordFile=mqtt.pass\n", &error);
  ASSERT_TRUE(c) << error;
  EXPECT_EQ(c->username, "node");
  EXPECT_EQ(c->passwordFile, path);
  // The file is read for each connection attempt, not with the settings.
  MqttLink::Credentials creds;
  std::string why;
  ASSERT_TRUE(ReadBridgeCredentials(*c, creds, why)) << why;
  EXPECT_EQ(creds.username, "node");
  EXPECT_EQ(creds.password, "s3cret pass");
  EXPECT_EQ(creds.passwordFile, path);
  WriteFile(path, "changed\n");
  ASSERT_TRUE(ReadBridgeCredentials(*c, creds, why)) << why;
  EXPECT_EQ(creds.password, "changed");

  for (mode_t mode : {0640, 0604, 0620}) {
    ::chmod(path.c_str(), mode);
    creds.password = "stale";
    EXPECT_FALSE(ReadBridgeCredentials(*c, creds, why)) << mode;
    EXPECT_EQ(why, "PasswordFile " + path + " may be read or written by others (chmod 600 it)");
    EXPECT_EQ(creds.password, "") << "nothing read before may be used";
  }
  c = f.Read("[MQTT]\nBroker=h\nPasswordFile=/nonexistent/pass\n", &error);
  ASSERT_TRUE(c) << error;
  EXPECT_FALSE(ReadBridgeCredentials(*c, creds, why));
  EXPECT_EQ(why, "PasswordFile /nonexistent/pass cannot be opened: No such file or directory");
  const std::string folder = f.dir.Path() + "/Config/folder";
  std::filesystem::create_directory(folder);
  ::chmod(folder.c_str(), 0700);
  EXPECT_FALSE(ReadPasswordFile(folder, &error));
  EXPECT_EQ(error, "PasswordFile " + folder + " is not a regular file");
}

TEST(BridgeConfig, CaFileIsReadForEachAttempt) {
  ConfigFixture f;
  const std::string path = f.dir.Path() + "/Config/ca.pem";
  std::string error, why;
  auto c = f.Read("[MQTT]\nBroker=h\nCAFile=ca.pem\n", &error);
  ASSERT_TRUE(c) << error;
  MqttLink::Credentials creds;
  EXPECT_FALSE(ReadBridgeCredentials(*c, creds, why));
  EXPECT_EQ(why, "CAFile " + path + ": cannot be opened: No such file or directory");
  WriteFile(path, "first\n");
  ASSERT_TRUE(ReadBridgeCredentials(*c, creds, why)) << why;
  EXPECT_EQ(creds.caFile, path);
  MqttLink::Credentials again;
  WriteFile(path, "second\n");
  ASSERT_TRUE(ReadBridgeCredentials(*c, again, why)) << why;
  EXPECT_FALSE(again == creds) << "a changed CA file makes a new client";
}

// A FIFO named by a setting must not hold the node in open() (nobody ever writes to it).
TEST(BridgeConfig, AFifoAsPasswordOrCaFileIsRefusedWithoutBlocking) {
  ConfigFixture f;
  const std::string fifo = f.dir.Path() + "/Config/pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ::alarm(20);  // a blocked open() ends the test program instead of hanging it
  std::string error;
  auto c = f.Read("[MQTT]\nBroker=h\nUsername=node\nPasswordFile=pipe\n", &error);
  ASSERT_TRUE(c) << error;
  MqttLink::Credentials creds;
  std::string why;
  EXPECT_FALSE(ReadBridgeCredentials(*c, creds, why));
  EXPECT_EQ(why, "PasswordFile " + fifo + " is not a regular file");
  EXPECT_FALSE(f.Read("[MQTT]\nBroker=h\nCAFile=pipe\n", &error));
  EXPECT_EQ(error, "CAFile " + fifo + " is a FIFO, not a regular file");
  ::alarm(0);
}

}  // namespace
}  // namespace sablewick
