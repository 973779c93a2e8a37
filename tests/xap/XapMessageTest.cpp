#include "xap/XapMessage.h"

#include <gtest/gtest.h>

#include <memory>
#include <memory_resource>

#include "core/SlabResource.h"
#include "tests/TestSupport.h"

namespace sablewick {
namespace {

using testing::TestApp;

const char* const kLampOn =
    "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=xAPBSC.event\n"
    "source=acme.lamp.kitchen:1\ntarget=Orbel.Script.host\n}\n"
    "Output.State.1\n{\nstate=on\nlevel=50%\n}\n";

TEST(XapMessageParse, HeaderSectionsAndItems) {
  TestApp t;
  XapMessage m(&t.app);
  m.FromXap(kLampOn);
  EXPECT_EQ(m.MsgUID, "FF123400");
  EXPECT_EQ(m.MsgClass, "xAPBSC.event");
  EXPECT_EQ(m.msgSource, "acme.lamp.kitchen:1");
  EXPECT_EQ(m.MsgTarget, "Orbel.Script.host");
  EXPECT_EQ(m.Timestamp, t.clock.now);
  EXPECT_EQ(m.MsgSection(), std::vector<std::string>{"output.state.1"});
  EXPECT_EQ(m.GetItem("OUTPUT.STATE.1", "Level"), "50%");
  EXPECT_EQ(m.GetItem("output.state.1", "missing"), "Unknown");
  EXPECT_EQ(m.GetItem("nosuch", "state"), "Unknown");
  EXPECT_TRUE(m.CompareSection("Output.State.1"));
  EXPECT_TRUE(m.CompareSection(""));  // the name after the final closing brace
  EXPECT_EQ(t.Log(), "");
}

// Header fields keep short texts inside the message and long ones on the heap; a field moves
// between the two as it is assigned, and copies own their text.
TEST(XapMessageParse, HeaderFieldsOfEveryLength) {
  for (size_t n : {size_t{0}, size_t{1}, HeaderText::kInline, HeaderText::kInline + 1, size_t{300}}) {
    const std::string source = "acme." + std::string(n, 'x');
    XapMessage m;
    m.FromXap("xap-header\n{\nclass=a.b\nsource=" + source + "\ntarget=" + source + ".t\n}\n");
    EXPECT_EQ(m.msgSource, source) << n;
    EXPECT_EQ(m.MsgTarget, source + ".t") << n;
    XapMessage copy = m;
    m.msgSource = "short";
    EXPECT_EQ(copy.msgSource, source) << n;
    m.msgSource = m.MsgTarget;
    EXPECT_EQ(m.msgSource, source + ".t") << n;
    m.MsgTarget = std::string_view(m.MsgTarget).substr(1);  // its own text, shorter
    EXPECT_EQ(m.MsgTarget, source.substr(1) + ".t") << n;
  }
}

TEST(XapMessageParse, RejectedTextsLeaveTheMessageAsItWas) {
  for (const char* text : {"", "xap-hbeat\n{\nclass=xap-hbeat.alive\n}\n", "junk"}) {
    XapMessage m;
    m.FromXap(text);
    EXPECT_EQ(m.MsgClass, "Unknown") << text;
    EXPECT_EQ(m.Timestamp, 0) << text;
    EXPECT_EQ(m.MsgSection(), std::vector<std::string>{""}) << text;
  }
  XapMessage m;
  m.FromXap("  XAP-HEADER\n{\nclass=a.b\n}\n");
  EXPECT_EQ(m.MsgClass, "a.b");
}

// Everything a reader of a message sees, as one text.
std::string Describe(const XapMessage& m) {
  std::string d = m.MsgClass.str() + "|" + m.MsgTarget.str() + "|" + m.msgSource.str() + "|" +
                  m.MsgUID.str() + "|" + m.Handle + "|" + std::string(m.RawText()) + "|" +
                  std::to_string(m.Faults()) + "|" + std::to_string(m.Timestamp) + "|";
  for (int i = 0; i < m.HeaderCount(); ++i) {
    d += std::string(m.HeaderItem(i).first) + "=" + std::string(m.HeaderItem(i).second) + ";";
  }
  for (int s = 0; s < m.SectionCount(); ++s) {
    d += "[" + std::string(m.SectionName(s)) + "]";
    for (const std::string& line : m.msgCollection(s)->Lines()) d += line + ";";
  }
  return d;
}

// A recycled message parses the next text exactly as a new one would: nothing of the text
// before shows through (header fields the next text lacks, sections, items, faults, handle).
TEST(XapMessageParse, ARecycledMessageReadsLikeANewOne) {
  const std::string texts[] = {
      kLampOn,
      "xap-header\n{\nclass=a.b\n}\nbody\n{\nx=1\nx=2\n}\n}\n",
      "xap-header\n{\n}\n",
      "junk",
      "xap-header\n{\nuid=FF000001\nsource=" + std::string(200, 's') +
          "\n}\nA\n{\nk=v\n}\nB\n{\n}\n",
      "",
  };
  for (const std::string& before : texts) {
    for (const std::string& text : texts) {
      XapMessage recycled;
      recycled.FromXap(before, 1.0);
      recycled.Handle = "M7";
      recycled.Recycle();
      recycled.FromXap(text, 2.0);
      XapMessage fresh;
      fresh.FromXap(text, 2.0);
      EXPECT_EQ(Describe(recycled), Describe(fresh)) << before << "\n--- then ---\n" << text;
    }
  }
}

// A copy made in memory of its own (as the store keeps a message) reads exactly as the message
// it came from, and goes on doing so once that message is recycled for another text; a text
// parsed into the copy later stays in the copy's memory.
TEST(XapMessageParse, AKeptCopyReadsLikeTheMessageItCameFrom) {
  // Nine header lines, six sections of 21 items with a repeated name, a repeated section, a
  // header field too long to keep inline.
  std::string many =
      "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=a.b\nsource=" + std::string(60, 's') +
      "\ntarget=x.y.z\nf1=1\nf2=2\nf3=3\n}\n";
  for (int b = 0; b < 6; ++b) {
    many += "Block" + std::to_string(b) + "\n{\n";
    for (int i = 0; i < 20; ++i) many += "k" + std::to_string(i) + "=v" + std::to_string(b) + "\n";
    many += "K1=again\n}\n";
  }
  many += "block0\n{\nx=1\n}\n";
  // Longer than a slab.
  const std::string large = "xap-header\n{\nclass=a.big\n}\nBody\n{\ndata=" +
                            std::string(3 * SlabResource::kSlabSize, 'd') + "\n}\n";
  const auto reads = [](const XapMessage& m) {
    std::string d = Describe(m);
    for (const std::string& name : m.MsgSection()) d += "<" + name + ">";
    for (const char* item : {"state", "k1", "K19", "x", "data"}) {
      for (const char* section : {"output.state.1", "block0", "BLOCK5", "body"}) {
        d += m.GetItem(section, item).substr(0, 20) + ",";
      }
    }
    return d;
  };

  SlabResource memory;
  const std::pmr::polymorphic_allocator<XapMessage> alloc(&memory);
  for (const std::string& text : {std::string(kLampOn), many, large}) {
    XapMessage parsed;
    parsed.FromXap(text, 3.0);
    parsed.Handle = "M42";
    const std::string expected = reads(parsed);
    const auto kept = std::allocate_shared<XapMessage>(alloc, parsed, &memory);
    EXPECT_NE(kept->RawText().data(), parsed.RawText().data());
    if (SlabResource::kUsesSlabs) {
      EXPECT_EQ(memory.LargeMappings(), text.size() > SlabResource::kLargest ? 1u : 0u);
    }
    parsed.Recycle();
    parsed.FromXap(many == text ? large : many, 4.0);
    EXPECT_EQ(reads(*kept), expected) << text.substr(0, 200);
    if (text == many) {
      EXPECT_EQ(kept->GetItem("block0", "K1"), "v0");  // the first of a repeated name
      EXPECT_EQ(kept->Faults(), 7);                    // six repeated items, one section
    }

    kept->FromXap(kLampOn, 5.0);
    XapMessage fresh;
    fresh.FromXap(kLampOn, 5.0);
    fresh.Handle = "M42";
    EXPECT_EQ(reads(*kept), reads(fresh));
  }
  EXPECT_EQ(memory.LargeMappings(), 0u);
  EXPECT_LE(memory.Slabs(), 1u);

  // The text and the records beyond those kept inline (sections, items, header lines) are all
  // in the copy's memory.
  struct Counted : std::pmr::memory_resource {
    int live = 0;
    void* do_allocate(size_t bytes, size_t alignment) override {
      ++live;
      return std::pmr::new_delete_resource()->allocate(bytes, alignment);
    }
    void do_deallocate(void* p, size_t bytes, size_t alignment) override {
      --live;
      std::pmr::new_delete_resource()->deallocate(p, bytes, alignment);
    }
    bool do_is_equal(const memory_resource& other) const noexcept override {
      return this == &other;
    }
  } counted;
  XapMessage parsed;
  parsed.FromXap(many);
  {
    const XapMessage copy(parsed, &counted);
    EXPECT_EQ(counted.live, 4);
    EXPECT_EQ(reads(copy), reads(parsed));
  }
  EXPECT_EQ(counted.live, 0);
}

TEST(XapMessageParse, SpacesAroundHeaderNamesAndValuesAreTrimmedButNotTabs) {
  XapMessage m;
  m.FromXap("xap-header\n{\n  UID  =  FF123400  \nclass=\ta\t\n}\nLamp\n{\nState = On \n}\n");
  EXPECT_EQ(m.MsgUID, "FF123400");
  EXPECT_EQ(m.MsgClass, "\ta\t");
  EXPECT_EQ(m.MsgTarget, "Unknown");
  EXPECT_TRUE(m.CompareTarget("Unknown"));
  EXPECT_EQ(m.GetItem("LAMP", "state"), " On ");
}

TEST(XapMessageParse, CollectionsByNumberPositionAndName) {
  XapMessage m;
  m.FromXap("xap-header\n{\nclass=a.b\n}\nOutput.State.1\n{\nstate=on\n}\n");
  EXPECT_EQ(m.MsgClass, "a.b");
  EXPECT_EQ(m.GetItem("output.state.1", "STATE"), "on");
  auto c0 = m.msgCollection(0);
  ASSERT_TRUE(c0);
  EXPECT_EQ(c0->Count(), 1);
  EXPECT_EQ(c0->Item(1), "state=on");
  EXPECT_EQ(c0->Item("STATE"), "state=on");
  EXPECT_FALSE(c0->Item(2));
  auto c1 = m.msgCollection(1);
  ASSERT_TRUE(c1);
  EXPECT_EQ(c1->Count(), 0);
  EXPECT_FALSE(m.msgCollection(2));
  EXPECT_FALSE(m.msgCollection(-1));
}

TEST(XapMessageParse, RepeatedNamesFirstWinsWithOneLogLinePerText) {
  TestApp t;
  XapMessage m(&t.app);
  m.FromXap("xap-header\n{\nclass=a\n}\nA\n{\nx=1\nX=2\n}\nB\n{\ny=1\n}\na\n{\nx=3\n}\n");
  EXPECT_EQ(m.GetItem("a", "x"), "1");
  EXPECT_EQ(m.MsgSection(), (std::vector<std::string>{"a", "b"}));
  // The repeated block still gets its own collection, reachable by number only.
  ASSERT_TRUE(m.msgCollection(2));
  EXPECT_EQ(m.msgCollection(2)->Item(1), "x=3");
  EXPECT_EQ(t.Log(),
            "3/4/2026 3:06:07 PM | From XAP 1 repeated sections and 1 repeated items ignored 0 "
            "This key is already associated with an element of this collection\r\n");
}

// Many names: past a handful the repeat check works on a hash of the names, and must find
// exactly the repeats a scan finds, in any letter case, in sections and items alike.
TEST(XapMessageParse, RepeatsAmongManyNames) {
  struct Case {
    int distinct;  // distinct names before the repeats
    int repeats;   // then this many lines repeating earlier names
    bool sections;
  } cases[] = {{3, 2, false}, {40, 25, false}, {5000, 12000, false}, {3, 2, true}, {40, 25, true},
               {2000, 3000, true}};
  for (const Case& c : cases) {
    TestApp t;
    std::string text = "xap-header\n{\nclass=a\n}\nblock\n{\n";
    const auto line = [&](int i, const char* value) {
      const std::string n = std::to_string(i);
      if (c.sections) {
        text.append("}\nS").append(n).append("\n{\nk=").append(value).append("\n");
      } else {
        text.append("K").append(n).append("=").append(value).append("\n");
      }
    };
    for (int i = 0; i < c.distinct; ++i) line(i, "first");
    for (int i = 0; i < c.repeats; ++i) line((i * 7) % c.distinct, "again");
    text += "}\n";
    XapMessage m(&t.app);
    m.FromXap(text);
    for (int i : {0, c.distinct / 2, c.distinct - 1}) {
      const std::string n = std::to_string(i);
      EXPECT_EQ(c.sections ? m.GetItem("s" + n, "k") : m.GetItem("block", "k" + n), "first")
          << c.distinct << " " << i;
    }
    EXPECT_EQ(m.MsgSection().size(), c.sections ? c.distinct + 1 : 1u);
    const std::string log = t.Log();
    EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << c.distinct;
    EXPECT_NE(log.find(" | From XAP " + std::to_string(c.repeats) + " repeated " +
                       (c.sections ? "sections" : "items") + " ignored 0 "),
              std::string::npos)
        << log;
  }
}

TEST(XapMessageParse, TextWithoutFinalLineFeed) {
  TestApp t;
  XapMessage m(&t.app);
  m.FromXap("xap-header\n{\nclass=a\n}\nA\n{\nx=1\n}\nB\n{\ny=2\n}");
  EXPECT_EQ(m.GetItem("b", "y"), "2");
  EXPECT_EQ(m.MsgSection(), std::vector<std::string>{"a"});
  ASSERT_TRUE(m.msgCollection(2));  // created although its name line is missing
  EXPECT_EQ(m.msgCollection(2)->Count(), 0);
  const std::string log = t.Log();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find("From XAP"), std::string::npos);

  XapMessage withFeed;
  withFeed.FromXap("xap-header\n{\nclass=a\n}\nA\n{\nx=1\n}\nB\n{\ny=2\n}\n");
  EXPECT_EQ(withFeed.MsgSection(), (std::vector<std::string>{"a", "b"}));
}

TEST(XapMessageParse, CarriageReturnsAreKept) {
  XapMessage m;
  m.FromXap("xap-header\r\n{\r\nclass=a.b\r\n}\r\nLamp\r\n{\r\nstate=on\r\n}\r\n");
  EXPECT_EQ(m.MsgClass, "a.b\r");
  EXPECT_EQ(m.MsgSection(), std::vector<std::string>{""});
  EXPECT_FALSE(m.CompareSection("lamp"));
}

TEST(XapMessageCompose, GoldenTexts) {
  XapMessage m;
  m.MsgUID = "FF00E800";
  m.MsgClass = "xAPBSC.cmd";
  m.msgSource = "Orbel.Script.host";
  m.MsgTarget = "acme.lamp.kitchen";
  m.AddHeader();
  m.AddSection("Output.State.1");
  m.AddItem("ignored", "level", "50%");
  m.AddItem("", "State", " On ");
  m.AddSection("Second");
  m.AddItem("", "x", "");
  EXPECT_EQ(m.ToXap(),
            "xap-header\n{\nv=12\nhop=1\nuid=FF00E800\nclass=xAPBSC.cmd\n"
            "source=Orbel.Script.host\ntarget=acme.lamp.kitchen\n}\n"
            "Output.State.1\n{\nlevel=50%\nState= On \n}\nSecond\n{\nx=\n}\n");
  // ToXap leaves the builder alone; Init empties it.
  EXPECT_EQ(m.ToXap(), m.ToXap());
  m.Init();
  EXPECT_EQ(m.ToXap(), "}\n");
}

TEST(XapMessageCompose, TargetLineAndEmptyBody) {
  XapMessage untouched;
  untouched.AddHeader();
  EXPECT_EQ(untouched.ToXap(),
            "xap-header\n{\nv=12\nhop=1\nuid=Unknown\nclass=Unknown\nsource=Unknown\n"
            "target=Unknown\n}\n}\n");
  XapMessage noTarget;
  noTarget.MsgTarget = "";
  noTarget.AddHeader();
  EXPECT_EQ(noTarget.ToXap().find("target="), std::string::npos);
}

TEST(XapMessageCompose, RoundTripThroughTheParser) {
  XapMessage out;
  out.MsgUID = "FF00E801";
  out.MsgClass = "a.b";
  out.msgSource = "x.y.z";
  out.MsgTarget = "";
  out.AddHeader();
  out.AddSection("Block");
  out.AddItem("", "Name", "Value with = sign");
  XapMessage in;
  in.FromXap(out.ToXap());
  EXPECT_EQ(in.MsgUID, "FF00E801");
  EXPECT_EQ(in.GetItem("block", "name"), "Value with = sign");
}

struct AddressCase {
  const char* a;
  const char* b;
  bool match;
};

TEST(XapMessageMatch, CompareAddress) {
  const AddressCase cases[] = {
      {"a.b.c", "A.*.C", true},       {"a.b.c", "a.>", true},
      {"a.>", "a", false},            {"a.b", "a.b.c", false},
      {"a.b.c", "a.b", false},        {"a.b.inst:1", "a.b.*", true},
      {"a.b.inst:1", "a.b.inst:*", false}, {"", "a", false},
      {"a", "", false},               {"*", "Unknown", true},
      {"*", "a.b", false},            {">", "anything.at.all", true},
      {"a.b.c", "a.b.c", true},       {"a.*.c", "a.x.d", false},
      {"acme.lamp.kitchen:1", "ACME.LAMP.>", true},
  };
  for (const AddressCase& c : cases) {
    EXPECT_EQ(XapMessage::CompareAddress(c.a, c.b), c.match) << c.a << " ~ " << c.b;
    EXPECT_EQ(XapMessage::CompareAddress(c.b, c.a), c.match) << c.b << " ~ " << c.a;
  }
}

TEST(XapMessageMatch, ClassHasNoWildcards) {
  XapMessage m;
  m.MsgClass = "xAPBSC.event";
  EXPECT_TRUE(m.CompareClass("XAPBSC.EVENT"));
  EXPECT_FALSE(m.CompareClass("xAPBSC.*"));
  EXPECT_TRUE(m.MatchClass(XapFilter("XAPBSC.EVENT")));
  EXPECT_FALSE(m.MatchClass(XapFilter("xAPBSC.*")));
  EXPECT_FALSE(m.MatchClass(XapFilter("xAPBSC.even")));
}

// A prepared filter decides as CompareAddress does, whatever either side holds: wildcards on
// the message's side, empty pieces, letters of either case, lengths around the eight-byte
// steps of the comparison, characters that differ from a letter only in bit 5.
TEST(XapMessageMatch, PreparedFiltersAgreeWithCompareAddress) {
  const char* const addresses[] = {
      "a.b.c", "A.*.C", "a.>", "a", "a.b", "*", ">", "*.*.*", "a..c", ".a", "a.",
      "acme.lamp.kitchen:1", "ACME.LAMP.>", "acme.lamp.*", "acme.lamp.kitchen:*",
      "acme.lighting.livingroom:dimmer.1", "Acme.Lighting.LivingRoom:Dimmer.1",
      "acme.lighting.livingroom:dimmer.2", "acme.lighting.*.1", "orbel.script.>",
      "Orbel.Script.homeserver", "orbel.script", "abcdefgh", "ABCDEFGH", "abcdefg@",
      "abcdefghi", "abc[efgh", "abc{efgh", "a*b.c", "a.*b", "a>.b", "x.*", "x.>.y", "@.`",
  };
  for (const char* filter : addresses) {
    const XapFilter prepared(filter);
    for (const char* value : addresses) {
      XapMessage m;
      m.msgSource = value;
      m.MsgTarget = value;
      const bool expected = XapMessage::CompareAddress(filter, value);
      EXPECT_EQ(m.MatchSource(prepared), expected) << filter << " ~ " << value;
      EXPECT_EQ(m.MatchTarget(prepared), expected) << filter << " ~ " << value;
    }
  }
}

TEST(XapMessageMatch, PreparedSectionFilterFindsOnlyNamedSections) {
  XapMessage m;
  m.FromXap("xap-header\n{\nclass=a.b\n}\nOutput.State.1\n{\nx=1\n}\nOutput.State.1\n{\n}\n");
  EXPECT_TRUE(m.MatchSection(XapFilter("OUTPUT.STATE.1")));
  EXPECT_FALSE(m.MatchSection(XapFilter("output.state")));
  EXPECT_FALSE(m.MatchSection(XapFilter("output.state.*")));
}

}  // namespace
}  // namespace sablewick
