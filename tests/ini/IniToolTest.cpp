// Loading, reading, writing and listing: everything IniTool does in memory.
#include <gtest/gtest.h>

#include <filesystem>

#include "ini/IniTool.h"
#include "tests/ini/IniTestSupport.h"

namespace sablewick::testing {
namespace {

class IniToolTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return t.dir.Path() + "/Config/" + name; }

  IniTool LoadText(const std::string& text) {
    WriteFile(Path("test.ini"), text);
    IniTool ini(t.app);
    ini.Load(Path("test.ini"));
    return ini;
  }

  TestApp t;
};

TEST_F(IniToolTest, ReadFindsWhatTheLinesSay) {
  struct Case {
    const char* what;
    std::string text;
    const char* header;
    const char* key;
    const char* expected;  // "x" is the default
  };
  const Case cases[] = {
      {"names ignore case", "[General]\r\nUID=FF00E800\r\n", "general", "uid", "FF00E800"},
      {"LF line ends", "[General]\nUID=FF00E800\n", "GENERAL", "Uid", "FF00E800"},
      {"no final line end", "[General]\nUID=FF00E800", "General", "UID", "FF00E800"},
      {"blanks around = belong to the name", "[S]\nKey = Value\n", "S", "Key", "x"},
      {"... and to the value", "[S]\nKey = Value\n", "S", "Key ", " Value"},
      {"empty value gives the default", "[S]\nName=\n", "S", "Name", "x"},
      {"value keeps later =", "[S]\nUrl=a=b\n", "S", "Url", "a=b"},
      {"value keeps case and inner blanks", "[S]\nv=Mixed  Case\n", "S", "V", "Mixed  Case"},
      {"first occurrence wins", "[S]\nk=1\nk=2\n", "S", "k", "1"},
      {"repeated section switches back", "[S]\nk=1\n[T]\n[s]\nk=2\nj=3\n", "S", "j", "3"},
      {"repeated section keeps first value", "[S]\nk=1\n[T]\n[s]\nk=2\n", "S", "k", "1"},
      {"lines before a header: empty section", "k=top\n[S]\nk=s\n", "", "k", "top"},
      {"[] is the empty section too", "[S]\n[]\nk=v\n", "", "K", "v"},
      {"only spaces are trimmed", "  \tk=v\t  \n", "", "\tk", "v\t"},
      {"header keeps inner blanks", "[ Spaced Name ]\nk=v\n", " spaced name ", "k", "v"},
      {"header with trailing blanks", "[S]   \nk=v\n", "S", "k", "v"},
      {"indented comment", "[S]\n   ;k=v\n", "S", ";k", "x"},
      {"a comment may hold =", "; k=v\nk=w\n", "", "k", "w"},
      {"[ without ] is a key", "[S\n[a=b\n", "", "[a", "b"},
      {"only one CR is a line end", "k=v\r\r\n", "", "k", "v\r"},
      {"key missing in section", "[S]\nk=v\n", "T", "k", "x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    IniTool ini = LoadText(c.text);
    EXPECT_EQ(ini.Read(c.header, c.key, "x"), c.expected);
  }
}

TEST_F(IniToolTest, LineWithoutEqualSignIsReportedAndSkipped) {
  IniTool ini = LoadText("[S]\n  no equal sign here  \nk=v\n[\n");
  EXPECT_EQ(ini.Read("S", "k", ""), "v");
  ASSERT_EQ(t.sink.sent.size(), 2u);
  EXPECT_EQ(t.sink.sent[0].cls, "Homeseer.Event");
  EXPECT_EQ(t.sink.sent[0].Items(),
            "Time=3/4/2026 3:06:07 PM|Type=IniTool|Data= Equal sign not found on line no equal "
            "sign here");
  EXPECT_EQ(t.sink.sent[1].Items(),
            "Time=3/4/2026 3:06:07 PM|Type=IniTool|Data= Equal sign not found on line [");
}

TEST_F(IniToolTest, MissingFileIsCreatedEmptyWithItsFolders) {
  const std::string path = t.dir.Path() + "/Config/new/deeper/Missing.ini";
  IniTool ini(t.app);
  ini.Load(path);
  EXPECT_EQ(ini.FilePath(), path);
  EXPECT_TRUE(std::filesystem::is_regular_file(path));
  EXPECT_EQ(ReadFile(path), "");
  EXPECT_TRUE(ini.Headers().empty());
  EXPECT_TRUE(t.sink.sent.empty());
}

TEST_F(IniToolTest, LoadOfSomethingThatIsNoFileThrows) {
  std::filesystem::create_directories(Path("folder.ini"));
  IniTool ini(t.app);
  EXPECT_THROW(ini.Load(Path("folder.ini")), std::exception);
  EXPECT_TRUE(std::filesystem::is_directory(Path("folder.ini")));
}

TEST_F(IniToolTest, LoadForgetsThePreviousFile) {
  IniTool ini = LoadText("[S]\nk=v\n");
  WriteFile(Path("other.ini"), "[T]\nj=w\n");
  ini.Load(Path("other.ini"));
  EXPECT_EQ(ini.Read("S", "k", "gone"), "gone");
  EXPECT_EQ(ini.Read("T", "j", ""), "w");
  EXPECT_EQ(ini.Headers(), std::vector<std::string>{"T"});
}

TEST_F(IniToolTest, WriteKeyRemoveAndClear) {
  IniTool ini = LoadText("[Net]\nPort=1\n");
  ini.WriteKey("NET", "port", "2");  // replaces, whatever the case
  ini.WriteKey("Other", "k", "v");   // new section and key
  EXPECT_EQ(ini.Read("net", "PORT", ""), "2");
  EXPECT_EQ(ini.Read("OTHER", "K", ""), "v");
  EXPECT_EQ(ini.Headers(), (std::vector<std::string>{"Net", "Other"}));

  ini.Remove("net", "port");
  EXPECT_EQ(ini.Read("Net", "Port", "none"), "none");
  EXPECT_EQ(ini.Headers(), (std::vector<std::string>{"Net", "Other"}));  // section stays
  ini.Remove("net", "never there");

  ini.Clear();
  EXPECT_TRUE(ini.Headers().empty());
  EXPECT_EQ(ini.Read("Other", "k", "none"), "none");
}

// Values that look like table keys are still plain values.
TEST_F(IniToolTest, ValueEqualToItsOwnKeyIsNoSection) {
  IniTool ini = LoadText("[A]\nB=a~b\n");
  ini.WriteKey("C", "D", "C~D");
  EXPECT_EQ(ini.Headers(), (std::vector<std::string>{"A", "C"}));
  EXPECT_EQ(ini.Read("A", "B", ""), "a~b");
  EXPECT_EQ(ini.Read("C", "D", ""), "C~D");
}

TEST_F(IniToolTest, HeadersListSectionsAsFirstWritten) {
  EXPECT_TRUE(LoadText("").Headers().empty());
  EXPECT_TRUE(LoadText("k=v\n").Headers().empty());
  EXPECT_EQ(LoadText("[Only]\n").Headers(), std::vector<std::string>{"Only"});
  EXPECT_EQ(LoadText("[b]\n[A]\n[B]\n[]\n").Headers(), (std::vector<std::string>{"b", "A", ""}));
}

TEST_F(IniToolTest, KeysTakeTheHeaderAsCaseInsensitivePattern) {
  const std::string text =
      "top=1\n"
      "[General]\nUID=1\nName=2\n   =no name\n  =blank name\n"
      "[Generic]\nG=3\n"
      "[Gen]\nShort=4\n"
      "[ABC]\nX=5\n"
      "[Empty]\n"
      "[Tilde]\na~b=6\n"
      "[Sec~tion]\nc=7\n";
  struct Case {
    const char* header;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {"general", {"UID", "NAME"}},
      {"GENERAL", {"UID", "NAME"}},
      {"Gen", {"SHORT"}},                        // "~" must follow the name
      {"Gen.*", {"UID", "NAME", "G", "SHORT"}},  // pattern rules, insertion order
      {"a.c", {"X"}},
      {"Empty", {""}},
      {"Missing", {""}},
      {"", {"TOP"}},
      {"Tilde", {"A", "B"}},  // names holding "~" come back in pieces
      {"sec~tion", {"C"}},
      {"Sec", {""}},  // "~" in a section name is part of the name
      {"s.c~.*", {"C"}},
      {"(Generic|ABC)", {"G", "X"}},
  };
  IniTool ini = LoadText(text);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    EXPECT_EQ(ini.Keys(c.header), c.expected);
  }
  EXPECT_TRUE(t.sink.sent.empty());
}

TEST_F(IniToolTest, KeysOfAnInvalidPatternMatchNothingAndSaySo) {
  IniTool ini = LoadText("[Gen(]\nk=1\n[Gen]\nj=2\n");
  // The last one nests deeper than any compiler's stack would take if it recursed per level.
  const std::string deep = std::string(20000, '(') + "Gen" + std::string(20000, ')');
  for (const std::string& header : {std::string("Gen("), std::string("[x"),
                                    std::string("a{2,1}"), std::string("*a"),
                                    std::string("(a)\\1"), deep}) {
    SCOPED_TRACE(header.substr(0, 40));
    t.sink.sent.clear();
    EXPECT_EQ(ini.Keys(header), std::vector<std::string>{""});
    ASSERT_EQ(t.sink.sent.size(), 1u);
    const std::string items = t.sink.sent[0].Items();
    EXPECT_TRUE(
        items.starts_with("Time=3/4/2026 3:06:07 PM|Type=IniTool|Data= Keys section name "
                          "is not a valid pattern " +
                          header + " Line 0 Invalid pattern"))
        << items.substr(0, 200);
    EXPECT_FALSE(t.app.Err.IsSet());
  }
}

// A quantified header against a very long section name overflows the stack of a backtracking matcher,
// and a nested repeat takes it exponential time.
TEST_F(IniToolTest, KeysSurviveLongNamesAndHostilePatterns) {
  const std::string longName = "General" + std::string(100000, 'l');
  const std::string as(40, 'a');
  IniTool ini = LoadText("[" + longName + "]\nlong=1\n[General]\nshort=2\n[" + as + "c]\nx=3\n");
  EXPECT_EQ(ini.Keys("gen.*"), (std::vector<std::string>{"LONG", "SHORT"}));
  EXPECT_EQ(ini.Keys("(.*)*l"), (std::vector<std::string>{"LONG", "SHORT"}));
  EXPECT_EQ(ini.Keys("(a*)*b"), std::vector<std::string>{""});
  EXPECT_EQ(ini.Keys("(a*)*c"), std::vector<std::string>{"X"});
}

}  // namespace
}  // namespace sablewick::testing
