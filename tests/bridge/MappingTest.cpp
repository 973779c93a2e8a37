// The two directions between xAP messages and MQTT payloads.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "bridge/Json.h"
#include "bridge/Mapping.h"
#include "tests/TestSupport.h"
#include "xap/XapMessage.h"

namespace sablewick {
namespace {

using testing::ReadFile;
using testing::WriteFile;

const XapDefaults kDefaults{"Orbel.Script.test", "FF00E800"};

// golden/in-NAME.xap parsed and written as JSON gives golden/in-NAME.json; golden/out-NAME.json
// turned into xAP text gives golden/out-NAME.xap. With SABLEWICK_REBASELINE=1 the expected files
// are rewritten from what the bridge produced.
TEST(Mapping, BothDirectionsMatchGoldenFiles) {
  const std::string golden = SABLEWICK_BRIDGE_GOLDEN_DIR;
  const bool rebaseline = std::getenv("SABLEWICK_REBASELINE") != nullptr;
  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(golden)) {
    const std::string name = entry.path().filename();
    const std::string stem = entry.path().stem();
    std::string produced, expectedPath;
    if (name.starts_with("in-") && name.ends_with(".xap")) {
      XapMessage msg;
      msg.FromXap(ReadFile(entry.path()));
      produced = MessageJson(msg);
      std::string error;
      EXPECT_TRUE(ParseJson(produced, &error)) << name << ": " << error;
      expectedPath = golden + "/" + stem + ".json";
    } else if (name.starts_with("out-") && name.ends_with(".json")) {
      std::string reason;
      const auto text = XapFromJson(ReadFile(entry.path()), kDefaults, &reason);
      ASSERT_TRUE(text) << name << ": " << reason;
      produced = *text;
      // What goes out must read back as it was meant.
      std::string why;
      EXPECT_TRUE(CheckRawXap(produced, &why)) << name << ": " << why;
      expectedPath = golden + "/" + stem + ".xap";
    } else {
      continue;
    }
    ++seen;
    if (rebaseline) WriteFile(expectedPath, produced);
    EXPECT_EQ(produced, ReadFile(expectedPath)) << name;
  }
  EXPECT_GT(seen, 0) << "no golden files in " << golden;
}

TEST(Mapping, JsonOfOurOwnMessagesGoesBackOutUnchanged) {
  const std::string text =
      "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=xAPBSC.event\nsource=acme.lamp.hall:bulb\n"
      "target=acme.*.>\n}\noutput.state.1\n{\nid=*\nstate=on\nLevel=40/100\n}\nnote\n{\nx=1\n}\n";
  XapMessage msg;
  msg.FromXap(text);
  std::string reason;
  const auto back = XapFromJson(MessageJson(msg), kDefaults, &reason);
  ASSERT_TRUE(back) << reason;
  EXPECT_EQ(*back, text);
}

TEST(Mapping, TextThatIsNotAnXapMessageHasNoJson) {
  for (const char* text : {"", "xap-hbeat\n{\nv=12\n}\n", "hello"}) {
    XapMessage msg;
    msg.FromXap(text);
    EXPECT_EQ(MessageJson(msg), "") << text;
  }
}

TEST(Mapping, TopicLevelsReplaceWhatMqttForbidsAndKeepCase) {
  struct Case {
    std::string in, out;
  } cases[] = {
      {"acme.Lamp.Hall:Bulb", "acme.Lamp.Hall:Bulb"},
      {"a/b+c#d", "a_b_c_d"},
      {"two words", "two_words"},
      {std::string("nul\0x", 5), "nul_x"},
      {"caf\xc3\xa9", "caf__"},
      {"", "_"},
  };
  for (const Case& c : cases) EXPECT_EQ(TopicLevel(c.in), c.out) << c.in;
  XapMessage msg;
  msg.FromXap("xap-header\n{\nclass=Weather/Report\nsource=acme.wx.+\n}\nb\n{\n}\n");
  EXPECT_EQ(InTopic("home/xap", msg), "home/xap/in/Weather_Report/acme.wx._");
}

TEST(Mapping, RefusesJsonThatCannotBecomeAnXapMessage) {
  struct Case {
    std::string payload, reason;
  } cases[] = {
      {"{\"header\": {\"class\": \"c\"}", "not JSON: expected ',' or '}' at byte 25"},
      {"[]", "not a JSON object"},
      {"{\"sections\": []}", "no \"header\" object"},
      {R"({"header": {"source": "a.b"}, "sections": [{"name": "s", "items": {}}]})",
       "no header class"},
      {R"({"header": {"class": "c"}})", "no \"sections\" array with a section"},
      {R"({"header": {"class": "c"}, "sections": []})", "no \"sections\" array with a section"},
      {R"({"header": {"class": "c", "Class": "d"}, "sections": [{"name": "s", "items": {}}]})",
       "header item 'Class' given twice"},
      {R"({"header": {"class": "c", "tagret": "x"}, "sections": [{"name": "s", "items": {}}]})",
       "unknown header item 'tagret'"},
      {R"({"header": {"class": 5}, "sections": [{"name": "s", "items": {}}]})",
       ""},  // a number is text like any other: accepted, see below
      {R"({"header": {"class": ["c"]}, "sections": [{"name": "s", "items": {}}]})",
       "header item 'class' is not a string"},
      {R"({"header": {"class": "c\nsource=evil"}, "sections": [{"name": "s", "items": {}}]})",
       "header item 'class' is empty or unusable"},
      {R"({"header": {"class": "c", "target": ""}, "sections": [{"name": "s", "items": {}}]})",
       "header item 'target' is empty or unusable"},
      {R"({"header": {"class": "c"}, "sections": [{"name": "s"}]})",
       "a section needs a \"name\" string and an \"items\" object"},
      {R"({"header": {"class": "c"}, "sections": [{"name": "}", "items": {}}]})",
       "section name '}' is unusable"},
      {R"({"header": {"class": "c"}, "sections": [{"name": "s", "items": {}}, {"name": "S", "items": {}}]})",
       "section 'S' given twice"},
      {R"({"header": {"class": "c"}, "sections": [{"name": "s", "items": {"a": "1", "A": "2"}}]})",
       "item 'A' of section 's' given twice"},
      {R"({"header": {"class": "c"}, "sections": [{"name": "s", "items": {"a": "1", " a ": "2"}}]})",
       "item ' a ' of section 's' given twice"},
      {R"({"header": {"class": "c"}, "sections": [{"name": "s", "items": {"a=b": "1"}}]})",
       "item 'a=b' of section 's' has an unusable name"},
      {R"({"header": {"class": "c"}, "sections": [{"name": "s", "items": {"a": "1\n}"}}]})",
       "item 'a' of section 's' holds a line break"},
      {R"({"header": {"class": "c"}, "sections": [{"name": "s", "items": {"a": null}}]})",
       "item 'a' of section 's' is not a string"},
      {R"({"header": {"class": "c"}, "sections": [{"name": "s", "items": {}}], "extra": 1})",
       "unknown member 'extra'"},
      {"{\"header\": {\"class\": \"c\"}, \"sections\": [{\"name\": \"s\", \"items\": {\"a\": \"" +
           std::string(kMaxXapText, 'x') + "\"}}]}",
       "payload larger than a datagram"},
  };
  for (const Case& c : cases) {
    std::string reason;
    const auto text = XapFromJson(c.payload, kDefaults, &reason);
    if (c.reason.empty()) {
      EXPECT_TRUE(text) << c.payload << ": " << reason;
      continue;
    }
    EXPECT_FALSE(text) << c.payload;
    EXPECT_EQ(reason, c.reason) << c.payload;
  }
}

TEST(Mapping, RawTextIsCheckedByTheParser) {
  const std::string head = "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=c.d\nsource=a.b.c\n}\n";
  struct Case {
    std::string text, reason;
  } cases[] = {
      {head + "s\n{\nx=1\n}\n", ""},
      {head + "s\n{\nx=1\n}", ""},  // the final line feed lost on a command line
      {"xap-hbeat\n{\nv=12\n}\n", "the first line is not an xap-header"},
      {"garbage", "the first line is not an xap-header"},
      {head, "no complete section after the header"},
      {head + "s\n{\nx=1\nx=2\n}\n", "a section or item name given twice"},
      {head + "s\n{\n}\ns\n{\n}\n", "a section or item name given twice"},
      {"xap-header\n{\nv=12\nclass=c.d\n}\ns\n{\n}\n", "the header has no class or no source"},
      {head + "s\n{\nx=" + std::string(kMaxXapText, 'x') + "\n}\n", "text larger than a datagram"},
  };
  for (const Case& c : cases) {
    std::string reason;
    const auto text = CheckRawXap(c.text, &reason);
    if (c.reason.empty()) {
      ASSERT_TRUE(text) << c.text << ": " << reason;
      EXPECT_EQ(text->back(), '\n');
    } else {
      EXPECT_FALSE(text) << c.text;
      EXPECT_EQ(reason, c.reason) << c.text;
    }
  }
}

}  // namespace
}  // namespace sablewick
