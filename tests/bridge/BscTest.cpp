// Home Assistant discovery for BSC devices: what the directory publishes and what a command
// from Home Assistant becomes.
#include <gtest/gtest.h>

#include <string>

#include "bridge/Bsc.h"
#include "bridge/Json.h"
#include "xap/XapMessage.h"

namespace sablewick {
namespace {

XapMessage Report(const std::string& cls, const std::string& source, const std::string& section,
                  const std::string& items) {
  XapMessage msg;
  msg.FromXap("xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=" + cls + "\nsource=" + source +
              "\n}\n" + section + "\n{\n" + items + "}\n");
  return msg;
}

BscDirectory Directory(size_t max = 100) {
  BscDirectory bsc("xap", "homeassistant", "xap/status/Orbel.Script.test", max);
  bsc.SetNode("Orbel.Script.test", "1.2.3");
  return bsc;
}

TEST(Bsc, InputAndDimmableOutputGetTheirConfigsAndStates) {
  BscDirectory bsc = Directory();
  auto input = bsc.Observe(
      Report("xAPBSC.info", "acme.door.house:front", "input.state.1", "State=on\n"));
  ASSERT_EQ(input.size(), 3u);
  EXPECT_EQ(input[0].topic,
            "homeassistant/binary_sensor/xap/xap_acme_door_house_front_6b8bbc9c/config");
  EXPECT_EQ(input[0].payload,
            R"({"name": "front", "unique_id": "xap_acme_door_house_front_6b8bbc9c", )"
            R"("default_entity_id": "binary_sensor.xap_acme_door_house_front_6b8bbc9c", )"
            R"("state_topic": "xap/bsc/acme.door.house:front/state", )"
            R"("availability": [{"topic": "xap/status/Orbel.Script.test", )"
            R"("payload_available": "online", "payload_not_available": "offline"}, )"
            R"({"topic": "xap/bsc/acme.door.house/availability", "payload_available": "online", )"
            R"("payload_not_available": "offline"}], "availability_mode": "all", )"
            R"("value_template": "{{ value_json.state }}", "payload_on": "ON", "payload_off": "OFF", )"
            R"("origin": {"name": "Sablewick", "sw_version": "1.2.3"}, )"
            R"("device": {"identifiers": ["xap_acme_door_house_9caf3ea1"], "name": "acme.door.house", )"
            R"("manufacturer": "xAP BSC", "via_device": "sablewick_Orbel_Script_test_76f3f102"}})");
  EXPECT_TRUE(input[0].retain);
  EXPECT_EQ(input[1].topic, "xap/bsc/acme.door.house:front/state");
  EXPECT_EQ(input[1].payload, R"({"state": "ON"})");
  EXPECT_TRUE(input[1].retain);
  EXPECT_EQ(input[2].topic, "xap/bsc/acme.door.house/availability");
  EXPECT_EQ(input[2].payload, "online");
  EXPECT_TRUE(input[2].retain);

  auto light = bsc.Observe(Report("xAPBSC.event", "acme.dimmer.house:hall", "output.state.1",
                                  "ID=01\nState=on\nLevel=128/255\n"));
  ASSERT_EQ(light.size(), 3u);
  EXPECT_EQ(light[0].topic, "homeassistant/light/xap/xap_acme_dimmer_house_hall_0ef1c2ac/config");
  std::string error;
  const auto config = ParseJson(light[0].payload, &error);
  ASSERT_TRUE(config) << error;
  EXPECT_EQ(config->Find("schema")->text, "json");
  EXPECT_EQ(config->Find("command_topic")->text, "xap/bsc/acme.dimmer.house:hall/set");
  EXPECT_EQ(config->Find("state_topic")->text, "xap/bsc/acme.dimmer.house:hall/state");
  EXPECT_EQ(config->Find("brightness_scale")->text, "100");
  // No flash or transition (Home Assistant offers both unless told), and the colour modes say
  // it dims: the old "brightness" flag beside them is refused by newer versions.
  EXPECT_EQ(config->Find("flash")->kind, JsonValue::Kind::Bool);
  EXPECT_FALSE(config->Find("flash")->boolean);
  EXPECT_FALSE(config->Find("transition")->boolean);
  EXPECT_EQ(config->Find("brightness"), nullptr);
  EXPECT_EQ(config->Find("object_id"), nullptr);
  EXPECT_EQ(config->Find("default_entity_id")->text, "light.xap_acme_dimmer_house_hall_0ef1c2ac");
  EXPECT_EQ(light[1].payload,
            R"({"state": "ON", "brightness": 50, "level": "128/255", "color_mode": "brightness"})");

  // Later reports publish the state only, and only when it changed.
  auto again = bsc.Observe(Report("xAPBSC.info", "acme.dimmer.house:hall", "output.state.1",
                                  "ID=01\nState=on\nLevel=128/255\n"));
  EXPECT_TRUE(again.empty());
  auto off = bsc.Observe(Report("xAPBSC.event", "ACME.Dimmer.House:Hall", "output.state.1",
                                "State=off\nLevel=0/255\n"));
  ASSERT_EQ(off.size(), 1u);
  EXPECT_EQ(off[0].topic, "xap/bsc/acme.dimmer.house:hall/state");
  EXPECT_EQ(off[0].payload,
            R"({"state": "OFF", "brightness": 0, "level": "0/255", "color_mode": "brightness"})");

  // A broker that lost its retained topics gets everything again.
  // A broker that lost its retained topics gets everything again: the node's own config, the
  // devices' availability, the endpoints' configs and states.
  const auto replay = bsc.Replay();
  ASSERT_EQ(replay.size(), 7u);
  EXPECT_EQ(replay[0].topic,
            "homeassistant/binary_sensor/xap/sablewick_Orbel_Script_test_76f3f102_status/config");
  EXPECT_EQ(replay[1].topic, input[2].topic);
  EXPECT_EQ(replay[3].topic, input[0].topic);
  EXPECT_EQ(replay[6].payload, off[0].payload);
}

TEST(Bsc, EachKindOfEndpointBecomesItsComponent) {
  struct Case {
    std::string section, items, component, state;
  } cases[] = {
      {"input.state", "State=off\n", "binary_sensor", R"({"state": "OFF"})"},
      {"input.state.1", "State=on\nLevel=7\n", "sensor",
       R"({"state": "ON", "brightness": 7, "level": "7"})"},
      {"Input.State.2", "State=?\nText=21.5 C\n", "sensor", R"({"state": null, "text": "21.5 C"})"},
      {"output.state", "State=on\n", "switch", R"({"state": "ON"})"},
      {"output.state.9", "State=off\nLevel=3/4\n", "light",
       R"({"state": "OFF", "brightness": 75, "level": "3/4", "color_mode": "brightness"})"},
      {"output.state.3", "State=on\nText=Line one\n", "text",
       R"({"state": "ON", "text": "Line one"})"},
  };
  for (const Case& c : cases) {
    BscDirectory bsc = Directory();
    const auto out = bsc.Observe(Report("xAPBSC.info", "acme.x.y:1", c.section, c.items));
    ASSERT_EQ(out.size(), 3u) << c.section;
    EXPECT_TRUE(out[0].topic.starts_with("homeassistant/" + c.component + "/xap/")) << out[0].topic;
    EXPECT_EQ(out[1].payload, c.state) << c.section;
  }
}

TEST(Bsc, OtherMessagesAndAFullDirectoryAnnounceNothing) {
  BscDirectory bsc = Directory(2);
  EXPECT_TRUE(bsc.Observe(Report("xAPBSC.cmd", "a.b.c:1", "output.state.1", "State=on\n")).empty());
  EXPECT_TRUE(bsc.Observe(Report("xAPBSC.info", "a.b.c:1", "status", "State=on\n")).empty());
  // A new device's first endpoint brings its availability; the second shares it.
  EXPECT_EQ(bsc.Observe(Report("xAPBSC.info", "a.b.c:1", "input.state", "State=on\n")).size(), 3u);
  EXPECT_EQ(bsc.Observe(Report("xAPBSC.info", "a.b.c:2", "input.state", "State=on\n")).size(), 2u);
  EXPECT_TRUE(bsc.Full());
  EXPECT_TRUE(bsc.Observe(Report("xAPBSC.info", "a.b.c:3", "input.state", "State=on\n")).empty());
  // Known endpoints still report.
  EXPECT_EQ(bsc.Observe(Report("xAPBSC.info", "a.b.c:2", "input.state", "State=off\n")).size(), 1u);
}

TEST(Bsc, WithoutDiscoveryOnlyStatesArePublished) {
  BscDirectory bsc("xap", "", "xap/status/n", 10);
  const auto out = bsc.Observe(Report("xAPBSC.info", "a.b.c:1", "input.state", "State=on\n"));
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].topic, "xap/bsc/a.b.c:1/state");
  EXPECT_EQ(out[1].topic, "xap/bsc/a.b.c/availability");
}

TEST(Bsc, EndpointsThatLookAlikeInTopicsKeepTopicsOfTheirOwn) {
  BscDirectory bsc = Directory();
  const auto a = bsc.Observe(Report("xAPBSC.info", "a.b.c:x/y", "output.state", "State=on\n"));
  const auto b = bsc.Observe(Report("xAPBSC.info", "a.b.c:x+y", "output.state", "State=on\n"));
  ASSERT_EQ(a.size(), 3u);
  ASSERT_EQ(b.size(), 2u);
  EXPECT_EQ(a[1].topic, "xap/bsc/a.b.c:x_y/state");
  EXPECT_NE(b[1].topic, a[1].topic);
  std::string reason;
  const std::string level = b[1].topic.substr(8, b[1].topic.size() - 8 - 6);
  const auto cmd = bsc.FromCommand("xap/bsc/" + level + "/set", "ON", &reason);
  ASSERT_TRUE(cmd) << reason;
  EXPECT_EQ(cmd->target, "a.b.c:x+y");
}

TEST(Bsc, LevelsAsPercentOrFraction) {
  struct Case {
    std::string level;
    std::optional<int> percent;
  } cases[] = {{"0", 0},       {"40", 40},     {"250", 100},     {"128/255", 50},
               {"1/3", 33},    {"2/3", 67},    {" 5/10 ", 50},   {"7/0", std::nullopt},
               {"x", std::nullopt}, {"", std::nullopt}, {"-1", std::nullopt},
               {"1/", std::nullopt}, {"9999999999", std::nullopt}};
  for (const Case& c : cases) EXPECT_EQ(BscDirectory::LevelPercent(c.level), c.percent) << c.level;
}

TEST(Bsc, CommandsFromHomeAssistantBecomeBscCommands) {
  BscDirectory bsc = Directory();
  bsc.Observe(Report("xAPBSC.info", "acme.dimmer.house:hall", "output.state.1", "State=on\nLevel=1/2\n"));
  // Switched off at level 0: ON later brings back the level it was on at.
  bsc.Observe(Report("xAPBSC.event", "acme.dimmer.house:hall", "output.state.1", "State=off\nLevel=0/2\n"));
  bsc.Observe(Report("xAPBSC.info", "acme.relay.house:pump", "output.state.1", "State=off\n"));
  bsc.Observe(Report("xAPBSC.info", "acme.door.house:front", "input.state.1", "State=off\n"));
  bsc.Observe(Report("xAPBSC.info", "acme.ctl.house:lcd", "output.state.1", "State=on\nText=Hi\n"));
  struct Case {
    std::string topic, payload, target, items, reason;
  } cases[] = {
      {"xap/bsc/acme.relay.house:pump/set", "ON", "acme.relay.house:pump", "id=*|State=on", ""},
      {"xap/bsc/acme.relay.house:pump/set", " off\n", "acme.relay.house:pump", "id=*|State=off", ""},
      {"xap/bsc/acme.dimmer.house:hall/set", R"({"state": "ON", "brightness": 40})",
       "acme.dimmer.house:hall", "id=*|State=on|Level=40/100", ""},
      // ON alone brings the light back at its last level.
      {"xap/bsc/acme.dimmer.house:hall/set", "ON", "acme.dimmer.house:hall",
       "id=*|State=on|Level=50/100", ""},
      {"xap/bsc/acme.dimmer.house:hall/set", R"({"state": "ON"})", "acme.dimmer.house:hall",
       "id=*|State=on|Level=50/100", ""},
      {"xap/bsc/acme.dimmer.house:hall/set", R"({"brightness": 100})", "acme.dimmer.house:hall",
       "id=*|State=on|Level=100/100", ""},
      {"xap/bsc/acme.dimmer.house:hall/set", R"({"state": "OFF"})", "acme.dimmer.house:hall",
       "id=*|State=off", ""},
      {"xap/bsc/acme.dimmer.house:hall/set", R"({"state": "DIM"})", "", "",
       "state is neither ON nor OFF"},
      {"xap/bsc/acme.dimmer.house:hall/set", R"({"brightness": 101})", "", "",
       "brightness is not a whole number from 0 to 100"},
      {"xap/bsc/acme.dimmer.house:hall/set", R"({"brightness": 4.5})", "", "",
       "brightness is not a whole number from 0 to 100"},
      {"xap/bsc/acme.dimmer.house:hall/set", "{}", "", "", "no state and no brightness"},
      {"xap/bsc/acme.dimmer.house:hall/set", "toggle", "", "",
       "neither ON, OFF nor JSON: unknown word at byte 0"},
      {"xap/bsc/acme.door.house:front/set", "ON", "", "", "acme.door.house:front is an input"},
      // A stream output takes the text as it comes, never a State alone.
      {"xap/bsc/acme.ctl.house:lcd/set", "ON", "acme.ctl.house:lcd", "id=*|Text=ON", ""},
      {"xap/bsc/acme.ctl.house:lcd/set", "Hello = world {1}", "acme.ctl.house:lcd",
       "id=*|Text=Hello = world {1}", ""},
      {"xap/bsc/acme.ctl.house:lcd/set", "two\nlines", "", "",
       "a text for acme.ctl.house:lcd holds a line break"},
      {"xap/bsc/acme.gone.house:x/set", "ON", "", "", "no endpoint acme.gone.house:x has reported yet"},
      {"xap/other", "ON", "", "", "not a command topic"},
  };
  for (const Case& c : cases) {
    std::string reason;
    const auto cmd = bsc.FromCommand(c.topic, c.payload, &reason);
    if (!c.reason.empty()) {
      EXPECT_FALSE(cmd) << c.payload;
      EXPECT_EQ(reason, c.reason) << c.payload;
      continue;
    }
    ASSERT_TRUE(cmd) << c.payload << ": " << reason;
    EXPECT_EQ(cmd->target, c.target);
    std::string items;
    for (char ch : cmd->items) items += ch == '\1' ? '=' : ch == '\0' ? '|' : ch;
    EXPECT_EQ(items, c.items) << c.payload;
  }
}

XapMessage Heartbeat(const std::string& cls, const std::string& source, const std::string& interval) {
  XapMessage msg;
  msg.FromXap("xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=" + cls + "\nsource=" + source +
              "\ninterval=" + interval + "\nport=3639\n}\n");
  return msg;
}

// Availability of each device follows its own heartbeats: gone after two missed intervals or
// at its stop message, back with its next message.
TEST(Bsc, DevicesGoUnavailableWhenTheirHeartbeatsStop) {
  BscDirectory bsc = Directory();
  const std::string topic = "xap/bsc/acme.ctl.house/availability";
  bsc.Observe(Report("xAPBSC.info", "acme.ctl.house:relay1", "output.state.1", "State=on\n"), 1000);
  bsc.Observe(Report("xAPBSC.info", "acme.other.house:x", "input.state.1", "State=on\n"), 1000);
  // Heartbeats of unknown devices change nothing.
  EXPECT_TRUE(bsc.Observe(Heartbeat("xap-hbeat.alive", "acme.unknown.house", "10"), 1000).empty());
  EXPECT_TRUE(bsc.Observe(Heartbeat("xap-hbeat.alive", "ACME.Ctl.House", "10"), 2000).empty());
  EXPECT_TRUE(bsc.Expire(22000).empty());  // 20 s after the last heartbeat: not yet two missed
  auto gone = bsc.Expire(22001);
  ASSERT_EQ(gone.size(), 1u);
  EXPECT_EQ(gone[0].topic, topic);
  EXPECT_EQ(gone[0].payload, "offline");
  EXPECT_TRUE(bsc.Expire(23000).empty());
  // Its next heartbeat brings it back; a stop takes it away at once.
  auto back = bsc.Observe(Heartbeat("xap-hbeat.alive", "acme.ctl.house", "10"), 30000);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].payload, "online");
  auto stop = bsc.Observe(Heartbeat("xap-hbeat.stop", "acme.ctl.house", "10"), 31000);
  ASSERT_EQ(stop.size(), 1u);
  EXPECT_EQ(stop[0].payload, "offline");
  // Any message of the device shows it alive.
  auto event = bsc.Observe(Report("xAPBSC.event", "acme.ctl.house:relay2", "output.state.1", "State=off\n"), 32000);
  ASSERT_FALSE(event.empty());
  EXPECT_EQ(event.back().payload, "online");
  // The other device never sent a heartbeat: xAP's default interval of a minute applies.
  ASSERT_EQ(bsc.Expire(60000).size(), 1u);  // acme.ctl.house, 20 s after its event
  auto other = bsc.Expire(1000 + 2 * BscDirectory::kDefaultIntervalMs + 1);
  ASSERT_EQ(other.size(), 1u);
  EXPECT_EQ(other[0].topic, "xap/bsc/acme.other.house/availability");
}

// A node that starts again knows the endpoints from the broker's retained configs.
TEST(Bsc, EndpointsComeBackFromRetainedConfigs) {
  std::vector<Publication> kept;
  {
    BscDirectory before = Directory();
    for (auto* report : {"State=on\nLevel=30/100\n"}) {
      for (auto& p : before.Observe(Report("xAPBSC.info", "acme.dimmer.house:hall", "output.state.1", report)))
        kept.push_back(p);
    }
    for (auto& p : before.Observe(Report("xAPBSC.info", "acme.ctl.house:lcd", "output.state.1", "Text=Hi\n")))
      kept.push_back(p);
    for (auto& p : before.Observe(Report("xAPBSC.info", "acme.door.house:front", "input.state.1", "Level=5\n")))
      kept.push_back(p);
  }
  BscDirectory bsc = Directory();
  bsc.SetForgetUnseenAfter(60000);
  const auto filters = bsc.RestoreFilters();
  EXPECT_EQ(filters, (std::vector<std::string>{"homeassistant/+/xap/+/config", "xap/bsc/+/state"}));
  // Another bridge's configs, another prefix, an id that is not its address's, not JSON: ignored.
  const std::string foreign[][2] = {
      {"homeassistant/switch/xap/x/config", R"({"name": "x", "unique_id": "xap_a_b_c_x_00000000", "state_topic": "xap/bsc/a.b.c:x/state", "device": {"name": "a.b.c"}})"},
      {"homeassistant/switch/xap/y/config", R"({"name": "y", "unique_id": "xap_a_b_c_y_22a0a7d4", "state_topic": "other/bsc/a.b.c:y/state", "device": {"name": "a.b.c"}})"},
      {"homeassistant/switch/xap/z/config", "not json"},
      {"homeassistant/binary_sensor/xap/sablewick_n/config", R"({"name": "Status"})"},
  };
  for (const auto& f : foreign) EXPECT_TRUE(bsc.Restore(f[0], f[1], 5000).empty()) << f[0];
  size_t configs = 0;
  for (const Publication& p : kept) {
    if (!p.topic.ends_with("/config")) continue;
    ++configs;
    // Today's configs come back as they are: nothing to publish again.
    EXPECT_TRUE(bsc.Restore(p.topic, p.payload, 5000).empty()) << p.topic;
  }
  EXPECT_EQ(configs, 3u);
  for (const Publication& p : kept) {
    if (p.topic.ends_with("/state")) bsc.Restore(p.topic, p.payload, 5000);
  }
  EXPECT_EQ(bsc.Size(), 3u);
  // Commands go out before the devices report; ON carries the level kept in the state.
  std::string reason;
  const auto on = bsc.FromCommand("xap/bsc/acme.dimmer.house:hall/set", "ON", &reason);
  ASSERT_TRUE(on) << reason;
  EXPECT_NE(on->items.find("30/100"), std::string::npos);
  ASSERT_TRUE(bsc.FromCommand("xap/bsc/acme.ctl.house:lcd/set", "Hello", &reason)) << reason;

  // A config of an older version is published again in today's form.
  BscDirectory old = Directory();
  const auto today = old.Observe(Report("xAPBSC.info", "acme.relay.house:pump", "output.state", "State=on\n"));
  const std::string id = ParseJson(today[0].payload, &reason)->Find("unique_id")->text;
  old = Directory();
  const auto upgraded = old.Restore(
      today[0].topic,
      R"({"name": "pump", "unique_id": ")" + id + R"(", "object_id": ")" + id +
          R"(", "state_topic": "xap/bsc/acme.relay.house:pump/state", "device": {"name": "acme.relay.house"}})",
      0);
  ASSERT_EQ(old.Size(), 1u) << "the unique id did not match the address";
  ASSERT_EQ(upgraded.size(), 1u);
  EXPECT_EQ(upgraded[0].payload.find("object_id"), std::string::npos);
  EXPECT_NE(upgraded[0].payload.find("default_entity_id"), std::string::npos);

  // The dimmer reports; the other two stay silent and lose their configs after a minute.
  bsc.Observe(Report("xAPBSC.info", "acme.dimmer.house:hall", "output.state.1", "State=on\nLevel=30/100\n"), 6000);
  const auto removed = bsc.Expire(65000);
  std::vector<std::string> emptied;
  for (const Publication& p : removed) {
    if (p.payload.empty()) emptied.push_back(p.topic);
  }
  EXPECT_EQ(emptied.size(), 4u);  // two configs, two states
  for (const std::string& t : emptied) EXPECT_EQ(t.find("dimmer"), std::string::npos) << t;
  EXPECT_FALSE(bsc.FromCommand("xap/bsc/acme.ctl.house:lcd/set", "Hello", &reason));
  // One that reports again is announced again.
  const auto again = bsc.Observe(Report("xAPBSC.info", "acme.ctl.house:lcd", "output.state.1", "Text=Back\n"), 70000);
  ASSERT_FALSE(again.empty());
  EXPECT_TRUE(again[0].topic.starts_with("homeassistant/text/xap/")) << again[0].topic;
}

TEST(Bsc, SensorsAndTextsFollowHomeAssistantsRules) {
  BscDirectory bsc = Directory();
  std::string error;
  const auto level = bsc.Observe(Report("xAPBSC.info", "a.b.c:lux", "input.state", "Level=5/10\n"));
  const auto levelConfig = ParseJson(level[0].payload, &error);
  ASSERT_TRUE(levelConfig) << error;
  EXPECT_EQ(levelConfig->Find("state_class")->text, "measurement");
  EXPECT_EQ(levelConfig->Find("unit_of_measurement")->text, "%");
  const std::string longText(300, 'x');
  const auto text = bsc.Observe(Report("xAPBSC.info", "a.b.c:lcd", "output.state", "Text=" + longText + "\n"));
  ASSERT_EQ(text.size(), 2u);
  EXPECT_TRUE(text[0].topic.starts_with("homeassistant/text/xap/"));
  const auto textConfig = ParseJson(text[0].payload, &error);
  ASSERT_TRUE(textConfig) << error;
  EXPECT_EQ(textConfig->Find("command_topic")->text, "xap/bsc/a.b.c:lcd/set");
  EXPECT_EQ(textConfig->Find("max")->text, "255");
  // The state keeps the whole text; Home Assistant's state is cut, the attribute is whole.
  EXPECT_EQ(textConfig->Find("value_template")->text, "{{ (value_json.text | default(''))[:255] }}");
  EXPECT_EQ(textConfig->Find("json_attributes_topic")->text, "xap/bsc/a.b.c:lcd/state");
  EXPECT_NE(text[1].payload.find(longText), std::string::npos);
}

}  // namespace
}  // namespace sablewick
