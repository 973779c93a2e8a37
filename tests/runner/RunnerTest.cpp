// sablewick-script's command line and the encodings of script files it reads.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Result {
  int exitCode = -1;
  std::string out, err;
};

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class RunnerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "runner-test-XXXXXX");
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Write(const std::string& name, const std::string& bytes) {
    std::string path = dir_ + "/" + name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  Result Run(const std::vector<std::string>& args, const std::string& input = {}) {
    std::string in = Write("stdin", input);
    std::string cmd = "timeout 30 ";
    cmd += Quote(SABLEWICK_SCRIPT);
    for (const auto& a : args) cmd.append(" ").append(Quote(a));
    std::string out = dir_ + "/stdout", err = dir_ + "/stderr";
    cmd.append(" <").append(Quote(in)).append(" >").append(Quote(out)).append(" 2>").append(Quote(err));
    int status = std::system(cmd.c_str());
    Result r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = ReadAll(out);
    r.err = ReadAll(err);
    return r;
  }
  std::string dir_;
};

// UTF-16 code units of ASCII-or-BMP text given as UTF-32, with a byte order mark.
std::string Utf16(const std::u32string& text, bool bigEndian) {
  std::string out = bigEndian ? std::string("\xFE\xFF") : std::string("\xFF\xFE");
  auto unit = [&](uint32_t u) {
    char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    out += bigEndian ? hi : lo;
    out += bigEndian ? lo : hi;
  };
  for (char32_t c : text) {
    if (c >= 0x10000) {
      uint32_t v = c - 0x10000;
      unit(0xD800 + (v >> 10));
      unit(0xDC00 + (v & 0x3FF));
    } else {
      unit(c);
    }
  }
  return out;
}

// The same script in every encoding a script file may come in: the text reaches the
// engine as characters (é and € one each, 😀 two UTF-16 units), line numbers stay right,
// and a file that is not UTF-8 is read as Windows-1252; output is UTF-8.
TEST_F(RunnerTest, ScriptFileEncodings) {
  const std::u32string script =
      U"s = \"\u00e9\u20ac\U0001F600\"\r\nWScript.Echo Len(s), s\r\nx = 1 / 0\r\n";
  const std::string utf8Body = "s = \"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\"\r\n"
                               "WScript.Echo Len(s), s\r\nx = 1 / 0\r\n";
  const std::string expectOut = "4 \xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\n";
  struct Case {
    const char* name;
    std::string bytes;
    std::string out;
  } cases[] = {
      {"utf16le.vbs", Utf16(script, false), expectOut},
      {"utf16be.vbs", Utf16(script, true), expectOut},
      {"utf8bom.vbs", std::string("\xEF\xBB\xBF").append(utf8Body), expectOut},
      {"utf8.vbs", utf8Body, expectOut},
      {"cp1252.vbs", "s = \"caf\xE9 \x80\"\r\nWScript.Echo Len(s), s\r\nx = 1 / 0\r\n",
       "6 caf\xC3\xA9 \xE2\x82\xAC\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::string path = Write(c.name, c.bytes);
    Result r = Run({path});
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.err, path + "(3, 1) error 11: Division by zero\n    x = 1 / 0\n    ^\n");
    EXPECT_EQ(r.exitCode, 1);
  }
}

// What a user meets first: a script made executable with a #! line runs directly (line
// numbers stay the file's), an error shows its line with a caret under the place, and a file
// that cannot be read says why.
TEST_F(RunnerTest, ShebangErrorExcerptAndUnreadableFiles) {
  const std::string direct =
      Write("direct.vbs", std::string("#!") + SABLEWICK_SCRIPT + "\nWScript.Echo \"ran\"\n" +
                              "\ts = \"\xC3\xA9\" & )\n");
  ASSERT_EQ(::chmod(direct.c_str(), 0755), 0);
  const std::string cmd =
      Quote(direct) + " >" + Quote(dir_ + "/out") + " 2>" + Quote(dir_ + "/err");
  const int status = std::system(cmd.c_str());
  EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1);
  // A syntax error: nothing ran; the caret stands under ")" past a tab and a two-byte é.
  EXPECT_EQ(ReadAll(dir_ + "/out"), "");
  EXPECT_EQ(ReadAll(dir_ + "/err"), direct +
                                        "(3, 13) error 1023: Expected expression\n"
                                        "    \ts = \"\xC3\xA9\" & )\n"
                                        "    \t          ^\n");
  Write("fine.vbs", std::string("#!/usr/bin/env sablewick-script\nWScript.Echo \"ran\"\n"));
  EXPECT_EQ(Run({dir_ + "/fine.vbs"}).out, "ran\n");

  struct Case {
    std::string path, err;
  } cases[] = {
      {dir_ + "/missing.vbs", ": cannot open the script file: No such file or directory\n"},
      {dir_, ": cannot read the script file: Is a directory\n"},
  };
  for (const Case& c : cases) {
    const Result r = Run({c.path});
    EXPECT_EQ(r.err, c.path + c.err);
    EXPECT_EQ(r.exitCode, 2);
  }
}

// A job file and the script it names by src= may each be in any of the encodings.
TEST_F(RunnerTest, JobFileAndItsSourceInUtf16) {
  Write("lib.vbs", Utf16(U"Function Euro() : Euro = \"\u20ac\" : End Function\r\n", true));
  std::string job = Write(
      "job.wsf", Utf16(U"<job><script language=\"VBScript\" src=\"lib.vbs\"/>\r\n"
                       U"<script language=\"VBScript\">WScript.Echo Euro() & \"\u00e9\"</script></job>\r\n",
                       false));
  Result r = Run({job});
  EXPECT_EQ(r.out, "\xE2\x82\xAC\xC3\xA9\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitCode, 0);
}

// A broken UTF-16 file (lone surrogate, odd last byte) still runs: the bad units become
// U+FFFD instead of invalid UTF-8.
TEST_F(RunnerTest, BrokenUtf16BecomesReplacementCharacters) {
  std::string bytes = Utf16(U"WScript.Echo \"a", false);
  bytes += std::string("\x00\xD8", 2);  // a high surrogate with no low one after it
  bytes += Utf16(U"b\"\n'", false).substr(2);
  bytes += "\x41";  // half a code unit, in a comment
  Result r = Run({Write("broken.vbs", bytes)});
  EXPECT_EQ(r.out, "a\xEF\xBF\xBD" "b\n");
  EXPECT_EQ(r.exitCode, 0);
}

TEST_F(RunnerTest, CommandLineOptions) {
  std::string script = Write("args.vbs", "WScript.Echo WScript.Arguments.Count, WScript.Arguments(0)\n");
  struct Case {
    std::vector<std::string> args;
    int exitCode;
    std::string outStart, errStart;
  } cases[] = {
      {{"--help"}, 0, "usage: sablewick-script", ""},
      {{"--version"}, 0, "sablewick-script 0.", ""},
      {{"--bogus", script}, 2, "", "sablewick-script: unknown option --bogus\nusage:"},
      {{}, 2, "", "usage: sablewick-script"},
      {{dir_ + "/missing.vbs"}, 2, "", dir_ + "/missing.vbs: cannot open the script file"},
      // A file without end is refused at the string limit instead of filling the memory.
      {{"/dev/zero"}, 2, "", "/dev/zero: the script file is larger than 256 MB"},
      // Host options and "--" end the options; what follows the script is its own.
      {{"//nologo", script, "--help"}, 0, "1 --help\n", ""},
      {{"--", script, "--version"}, 0, "1 --version\n", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.empty() ? std::string("(none)") : c.args[0]);
    Result r = Run(c.args);
    EXPECT_EQ(r.exitCode, c.exitCode);
    EXPECT_EQ(r.out.substr(0, c.outStart.size()), c.outStart);
    if (c.outStart.empty()) {
      EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(r.err.substr(0, c.errStart.size()), c.errStart);
    if (c.errStart.empty()) {
      EXPECT_EQ(r.err, "");
    }
  }
}

// WScript.StdIn read in every way a TextStream offers: lines lose their CR LF, Line and
// Column follow the reads, and reading past the end raises 62.
TEST_F(RunnerTest, StdInReads) {
  std::string script = Write("stdin.vbs",
                             "Set i = WScript.StdIn\n"
                             "WScript.Echo i.Line, i.Column, i.Read(3), i.Column, i.AtEndOfLine\n"
                             "WScript.Echo \"[\" & i.ReadLine & \"]\", i.Line\n"
                             "i.Skip 2: WScript.Echo i.ReadLine\n"
                             "i.SkipLine\n"
                             "WScript.Echo i.ReadAll & \"|\", i.AtEndOfStream, i.AtEndOfLine\n"
                             "On Error Resume Next\n"
                             "i.ReadLine: WScript.Echo Err.Number\n");
  Result r = Run({script}, "abcdef\r\n12345\nskip me\nrest\nall");
  EXPECT_EQ(r.out, "1 1 abc 4 False\n[def] 2\n345\nrest\nall| True True\n62\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.exitCode, 0);
}

// Text at the edges is UTF-8, read and counted by characters; a byte that is not UTF-8
// (here 0xFC, a Windows-1252 ü) goes through a script and out again unchanged, and so
// does a file name holding one. StdOut and StdErr know their Line and Column.
TEST_F(RunnerTest, TextAtTheEdgesIsUtf8AndStrayBytesSurvive) {
  std::string script =
      Write("edges.vbs",
            "x = WScript.StdIn.ReadLine\n"
            "WScript.Echo Len(x), x, AscW(Mid(x, 3, 1)), WScript.StdIn.Read(2)\n"
            "WScript.StdOut.Write \"ab\": WScript.Echo WScript.StdOut.Column\n"
            "WScript.StdOut.Write \"K\u00fcche\": WScript.Echo WScript.StdOut.Column, "
            "WScript.StdOut.Line\n"
            "WScript.StdErr.Write x\n"
            "Set fso = CreateObject(\"Scripting.FileSystemObject\")\n"
            "Set f = fso.CreateTextFile(WScript.Arguments(0) & \"/\" & x): f.Write x: f.Close\n"
            "For Each g In fso.GetFolder(WScript.Arguments(0)).Files\n"
            "  If g.Name = x Then WScript.Echo \"found\", Len(g.Name)\n"
            "Next\n");
  Result r = Run({script, dir_}, "\xCE\xA8\xFCx\n\xE2\x82\xAC\xC3\xA4\xC3\xB6");
  EXPECT_EQ(r.out,
            "3 \xCE\xA8\xFCx 120 \xE2\x82\xAC\xC3\xA4\n"
            "ab3\n"
            "K\u00fcche6 3\n"
            "found 3\n");
  EXPECT_EQ(r.err, "\xCE\xA8\xFCx");
  EXPECT_EQ(ReadAll(dir_ + "/\xCE\xA8\xFCx"), "\xCE\xA8\xFCx");
  EXPECT_EQ(r.exitCode, 0);
}

// What a script printed before it was killed is in the pipe: the node captures handlers'
// output through pipes and ends them at their time limit.
TEST_F(RunnerTest, AKilledScriptKeepsItsOutput) {
  std::string script = Write("killed.vbs",
                             "WScript.StdErr.Write \"error\"\n"
                             "WScript.Echo \"echoed\"\n"
                             "WScript.StdOut.Write \"written\"\n"
                             "WScript.Sleep 60000\n");
  std::string out = dir_ + "/piped", err = dir_ + "/err";
  std::string cmd = "timeout -s KILL 3 " + Quote(SABLEWICK_SCRIPT) + " " + Quote(script) + " 2>" +
                    Quote(err) + " </dev/null | cat >" + Quote(out);
  std::system(cmd.c_str());
  EXPECT_EQ(ReadAll(out), "echoed\nwritten");
  EXPECT_EQ(ReadAll(err), "error");
}

}  // namespace
