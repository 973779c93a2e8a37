// Installing INI values into script text: the rewritten scripts, the install log, and the
// failures that leave the script as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "ini/IniTool.h"
#include "tests/ini/IniTestSupport.h"

namespace sablewick::testing {
namespace {

constexpr const char* kMarker = "\t'Installed From .ini dated 1/2/2024 3:04:05 PM";
constexpr const char* kHeading =
    "Run Date   /   Ini File   /   Date of Ini File    /   File Modified    /  Header Modified"
    "\r\n";

// "{M}" in an expected text stands for the install marker.
std::string WithMarker(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i).starts_with("{M}")) {
      out += kMarker;
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

class IniInstallTest : public ::testing::Test {
 protected:
  IniInstallTest() {
    // The log goes beside the INI file, cut at the first "." of its path.
    EXPECT_EQ(t.dir.Path().find('.'), std::string::npos) << "the temporary folder has a dot";
  }

  std::string Path(const std::string& name) const { return t.dir.Path() + "/Config/" + name; }

  // Loads `iniText` from Config/Settings.ini, dated 2 January 2024 3:04:05 PM.
  IniTool LoadIni(const std::string& iniText, const std::string& name = "Settings.ini") {
    WriteFile(Path(name), Crlf(iniText));
    SetModified(Path(name), 2024, 1, 2, 15, 4, 5);
    IniTool ini(t.app);
    ini.Load(Path(name));
    return ini;
  }

  std::string Script() const { return Path("script.vbs"); }

  TestApp t;
};

const char* const kIni =
    "[Net]\n"
    "Timeout=30\n"
    "Host=\"kitchen.local\"\n"
    "Retries=\n"
    "[Msg]\n"
    "Greeting= = \"Hello, world\"\n"
    "Farewell=(\"Bye\")\n"
    "[Rooms]\n"
    "Kitchen=5 'seconds\n"
    "Hall=  7  \n"
    "Cellar=' only a comment\n"
    "[Nothing]\n";

TEST(IniInstallOps, RewriteScriptsAsGolden) {
  struct Case {
    const char* what;
    std::function<void(IniTool&, const std::string&)> install;
    const char* script;
    const char* expected;
  };
  const Case cases[] = {
      {"Const takes the value and the marker",
       [](IniTool& ini, const std::string& f) { ini.InstallKeys(f, "Net"); },
       "' config\nConst TIMEOUT = 5\nConst Host=\"x\" ' old comment\nConst OTHER = 1\n",
       "' config\nConst TIMEOUT = 30{M}\nConst Host= \"kitchen.local\"{M}\nConst OTHER = 1\n"},
      {"indented assignment keeps its indentation",
       [](IniTool& ini, const std::string& f) { ini.InstallKeys(f, "net"); },
       "Sub Init()\n    Timeout = 5 ' seconds\n\tTimeOut=6\nEnd Sub\n",
       "Sub Init()\n    Timeout = 30{M}\n\tTimeOut= 30{M}\nEnd Sub\n"},
      {"every matching line, however earlier rewrites moved it",
       [](IniTool& ini, const std::string& f) { ini.InstallKeys(f, "Net"); },
       "x = 0\nTimeout = 1\nTimeout = 22222222222222222222222222\nTimeout = 3\n",
       "x = 0\nTimeout = 30{M}\nTimeout = 30{M}\nTimeout = 30{M}\n"},
      {"longer names and other statements are left alone",
       [](IniTool& ini, const std::string& f) { ini.InstallKeys(f, "Net"); },
       "x = 0\nTimeoutMax = 1\nMyTimeout = 2\nIf Timeout = 3 Then\nConst TIMEOUTS = 4\n",
       "x = 0\nTimeoutMax = 1\nMyTimeout = 2\nIf Timeout = 3 Then\nConst TIMEOUTS = 4\n"},
      {"the first line has no line break before it",
       [](IniTool& ini, const std::string& f) { ini.InstallKeys(f, "Net"); },
       "Timeout = 5\nTimeout = 6\n", "Timeout = 5\nTimeout = 30{M}\n"},
      {"an empty value installs an empty value",
       [](IniTool& ini, const std::string& f) { ini.InstallKeys(f, "Net"); }, "Const RETRIES = 3\n",
       "Const RETRIES = {M}\n"},
      {"two Consts on one line: the line is rewritten once",
       [](IniTool& ini, const std::string& f) { ini.InstallKeys(f, "Net"); },
       "Const Timeout = 1 : Const Timeout = 2\nx = 1\n", "Const Timeout = 30{M}\nx = 1\n"},
      {"a section without keys changes nothing",
       [](IniTool& ini, const std::string& f) { ini.InstallKeys(f, "Nothing"); },
       "Const TIMEOUT = 5\n", "Const TIMEOUT = 5\n"},
      {"InstallConstant: one name and value",
       [](IniTool& ini, const std::string& f) { ini.InstallConstant(f, "Speed", "\"fast\""); },
       "Const SPEED = 1\n  speed = 2\nConst TIMEOUT = 5\n",
       "Const SPEED = \"fast\"{M}\n  speed = \"fast\"{M}\nConst TIMEOUT = 5\n"},
      {"InstallConstant: an empty name changes nothing",
       [](IniTool& ini, const std::string& f) { ini.InstallConstant(f, "", "1"); }, "Const A = 1\n",
       "Const A = 1\n"},
      {"InstallStrings: the value replaces the rest of the line, no marker",
       [](IniTool& ini, const std::string& f) { ini.InstallStrings(f, "Msg"); },
       "Dim a\n  Greeting = \"Hi\" ' old\nFarewell\nGreetings = 1\n",
       "Dim a\n  Greeting = \"Hello, world\"\nFarewell(\"Bye\")\nGreeting = \"Hello, world\"\n"},
      {"InstallArray: names and values, comments cut, unanchored names",
       [](IniTool& ini, const std::string& f) { ini.InstallArray(f, "Rooms", "Names", "Delays"); },
       "Dim Names, Delays\nNames = Array(\"OLD\")\n  Delays=Array(1) ' old\nAllNames = Array()\n",
       "Dim Names, Delays\nNames = Array(\"KITCHEN\",\"HALL\",\"CELLAR\"){M}\n"
       "  Delays=Array(5,7,){M}\nAllNames = Array(\"KITCHEN\",\"HALL\",\"CELLAR\"){M}\n"},
      {"InstallArray: an empty section gives one empty name and no values",
       [](IniTool& ini, const std::string& f) { ini.InstallArray(f, "Nothing", "N", "V"); },
       "N = Array(\"A\")\nV = Array(1)\n", "N = Array(\"\"){M}\nV = Array(){M}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestApp t;
    const std::string iniPath = t.dir.Path() + "/Config/Settings.ini";
    WriteFile(iniPath, Crlf(kIni));
    SetModified(iniPath, 2024, 1, 2, 15, 4, 5);
    const std::string script = t.dir.Path() + "/Scripts/script.vbs";
    WriteFile(script, Crlf(c.script));
    IniTool ini(t.app);
    ini.Load(iniPath);
    c.install(ini, script);
    EXPECT_EQ(ReadFile(script), Crlf(WithMarker(c.expected)));
    EXPECT_TRUE(t.sink.sent.empty());
  }
}

TEST_F(IniInstallTest, RunningTwiceGivesOneMarkerAndTwoLogLines) {
  IniTool ini = LoadIni(kIni);
  WriteFile(Script(), Crlf("Const TIMEOUT = 5\nNames = Array()\n"));
  ini.InstallKeys(Script(), "Net");
  ini.InstallKeys(Script(), "Net");
  ini.InstallArray(Script(), "Rooms", "Names", "Values");
  ini.InstallArray(Script(), "Rooms", "Names", "Values");
  EXPECT_EQ(ReadFile(Script()),
            Crlf(WithMarker(
                "Const TIMEOUT = 30{M}\nNames = Array(\"KITCHEN\",\"HALL\",\"CELLAR\"){M}\n")));

  const std::string line =
      "3/4/2026 3:06:07 PM\t" + Path("Settings.ini") + "\t1/2/2024 3:04:05 PM\t" + Script() + "\t";
  EXPECT_EQ(ReadFile(Path("Settings_IniLog.txt")), kHeading + line + "Net\r\n" + line + "Net\r\n" +
                                                       line + "Rooms\r\n" + line + "Rooms\r\n");
}

TEST_F(IniInstallTest, LogNamesTheConstantForInstallConstant) {
  IniTool ini = LoadIni("");
  WriteFile(Script(), Crlf("Const A = 1\n"));
  ini.InstallConstant(Script(), "A", "2");
  EXPECT_EQ(ReadFile(Path("Settings_IniLog.txt")),
            std::string(kHeading) + "3/4/2026 3:06:07 PM\t" + Path("Settings.ini") +
                "\t1/2/2024 3:04:05 PM\t" + Script() + "\tA\r\n");
}

TEST_F(IniInstallTest, LogPathIsCutAtTheFirstDotOfThePath) {
  struct Case {
    std::string ini;  // below Config/
    std::string log;  // expected log, below Config/; empty: no log
  };
  const Case cases[] = {
      {"plain.ini", "plain_IniLog.txt"},
      {"two.dots.ini", "two_IniLog.txt"},
      {"NoDot", ""},
      {"sub.d/inner.ini", "sub_IniLog.txt"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ini);
    std::filesystem::remove_all(t.dir.Path() + "/Config");
    IniTool ini = LoadIni("[S]\nA=2\n", c.ini);
    WriteFile(Script(), Crlf("Const A = 1\n"));
    ini.InstallKeys(Script(), "S");
    // The marker is used whether or not a log was written.
    EXPECT_EQ(ReadFile(Script()), Crlf(WithMarker("Const A = 2{M}\n")));
    std::vector<std::string> expected{"script.vbs", c.ini.substr(0, c.ini.find('/'))};
    if (!c.log.empty()) expected.push_back(c.log);
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(FilesIn(t.dir.Path() + "/Config"), expected);
  }
}

// A failing run leaves the script byte for byte as it was, and throws to the caller.
TEST_F(IniInstallTest, FailuresLeaveTheScriptAsItWas) {
  struct Case {
    const char* what;
    const char* script;  // nullptr: no script file
    std::function<void(IniTool&, const std::string&)> install;
    bool logWritten;
  };
  const std::string longLine = "Const A = 1\r\n" + std::string(70000, 'a') + "xc = Array(1)\r\n";
  const Case cases[] = {
      {"script file missing", nullptr,
       [](IniTool& ini, const std::string& f) { ini.InstallKeys(f, "S"); }, false},
      {"INI file gone since Load", "Const A = 1\n",
       [](IniTool& ini, const std::string& f) {
         std::filesystem::remove(ini.FilePath());
         ini.InstallKeys(f, "S");
       },
       false},
      {"matching last line without a line end", "Const B = 0\r\nConst A = 1",
       [](IniTool& ini, const std::string& f) { ini.InstallKeys(f, "S"); }, true},
      {"LF-only script", "x\nConst A = 1\n",
       [](IniTool& ini, const std::string& f) { ini.InstallKeys(f, "S"); }, true},
      {"key name that is no valid pattern", "Const A = 1\r\n",
       [](IniTool& ini, const std::string& f) { ini.InstallKeys(f, "Bad"); }, true},
      {"constant name that is no valid pattern", "Const A = 1\r\n",
       [](IniTool& ini, const std::string& f) { ini.InstallConstant(f, "A[", "2"); }, true},
      {"array name that is no valid pattern", "Const A = 1\r\n",
       [](IniTool& ini, const std::string& f) { ini.InstallArray(f, "S", "(", "V"); }, true},
      {"constant name nested too deep to compile", "Const A = 1\r\n",
       [](IniTool& ini, const std::string& f) {
         ini.InstallConstant(f, std::string(20000, '(') + "A" + std::string(20000, ')'), "2");
       },
       true},
      // Every start position on the long line runs to its end and back: quadratic, so the
      // search stops at its time budget.
      {"array name that searches past its budget", longLine.c_str(),
       [](IniTool& ini, const std::string& f) { ini.InstallArray(f, "S", "(a|b)*c", "V"); },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(t.dir.Path() + "/Config");
    IniTool ini = LoadIni("[S]\nA=2\nB=3\n[Bad]\nA(=1\n");
    if (c.script != nullptr) WriteFile(Script(), c.script);
    EXPECT_THROW(c.install(ini, Script()), std::exception);
    if (c.script != nullptr) {
      EXPECT_EQ(ReadFile(Script()), c.script);
    } else {
      EXPECT_FALSE(std::filesystem::exists(Script()));
    }
    EXPECT_EQ(std::filesystem::exists(Path("Settings_IniLog.txt")), c.logWritten);
    // Nothing half-written is left beside the script or the log.
    for (const std::string& name : FilesIn(t.dir.Path() + "/Config")) {
      EXPECT_FALSE(name.starts_with(".")) << name;
    }
  }
}

TEST_F(IniInstallTest, RewrittenScriptKeepsItsPermissions) {
  IniTool ini = LoadIni("[S]\nA=2\n");
  WriteFile(Script(), Crlf("Const A = 1\n"));
  ::chmod(Script().c_str(), 0750);
  ini.InstallKeys(Script(), "S");
  struct stat st {};
  ASSERT_EQ(::stat(Script().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0750u);
}

// Names go into the patterns unescaped, so pattern characters act as such. A nested repeat
// (exponential for a backtracking matcher) and a long run of blanks (one level of recursion
// per character there) must neither hang nor crash.
TEST_F(IniInstallTest, NamesArePatterns) {
  IniTool ini = LoadIni("[S]\nT.MEOUT=7\n(a*)*b=8\n");
  const std::string as(40, 'a');
  const std::string blanks(100000, ' ');
  WriteFile(Script(), Crlf("Const TIMEOUT = 1\nConst " + as + "c = 2\nx\n" + blanks + "y = 3\n"));
  ini.InstallKeys(Script(), "S");
  EXPECT_EQ(ReadFile(Script()), Crlf(WithMarker("Const TIMEOUT = 7{M}\nConst " + as + "c = 2\nx\n" +
                                                blanks + "y = 3\n")));
}

}  // namespace
}  // namespace sablewick::testing
