// What Save writes, and that a failing Save never damages the file it replaces.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "ini/IniTool.h"
#include "ini/TextFile.h"
#include "tests/ini/IniTestSupport.h"

namespace sablewick::testing {
namespace {

class IniSaveTest : public ::testing::Test {
 protected:
  std::string Path(const std::string& name) const { return t.dir.Path() + "/Config/" + name; }

  TestApp t;
};

// The same changes made to every golden/NAME.ini must give golden/NAME.edited byte for byte;
// saved without changes, every file stays as it is. With SABLEWICK_REBASELINE=1 the expected
// files are rewritten from what Save produced.
TEST_F(IniSaveTest, SavedFilesMatchGoldenTexts) {
  const std::string golden = SABLEWICK_INI_GOLDEN_DIR;
  const bool rebaseline = std::getenv("SABLEWICK_REBASELINE") != nullptr;
  int compared = 0;
  for (const std::string& name : FilesIn(golden)) {
    if (!name.ends_with(".ini")) continue;
    SCOPED_TRACE(name);
    const std::string input = ReadFile(golden + "/" + name);
    WriteFile(Path(name), input);
    IniTool unchanged(t.app);
    unchanged.Load(Path(name));
    unchanged.Save();
    EXPECT_EQ(ReadFile(Path(name)), input);

    IniTool ini(t.app);
    ini.Load(Path(name));
    ini.WriteKey("general", "uid", "12345678");     // in place where the file has it
    ini.WriteKey("General", "Added", "new value");  // at the end of [General]
    ini.WriteKey("Lights", "Hall", "on");           // the value it has: the line stays
    ini.WriteKey("", "Loose2", "x");                // before the first header
    ini.WriteKey("Fresh Section", "Key", "1");      // a section of its own at the end
    ini.Remove("Log", "Files");
    ini.Remove("General", "Url");
    ini.Remove("Interface", "InterfaceAddress");
    ini.Save();
    const std::string saved = ReadFile(Path(name));
    const std::string expectedPath = golden + "/" + name.substr(0, name.size() - 4) + ".edited";
    if (rebaseline) WriteFile(expectedPath, saved);
    EXPECT_EQ(saved, ReadFile(expectedPath));
    EXPECT_EQ(ReadFile(Path(name) + "_bck"), input);

    // What was saved reads back as it was held, and saves again to the same bytes.
    IniTool again(t.app);
    again.Load(Path(name));
    // The nameless section has no header line to come back from.
    const auto named = [](std::vector<std::string> headers) {
      std::erase(headers, "");
      return headers;
    };
    EXPECT_EQ(named(again.Headers()), named(ini.Headers()));
    for (const std::string& header : ini.Headers()) {
      for (const std::string& key : ini.Keys(header)) {
        EXPECT_EQ(again.Read(header, key, "(none)"), ini.Read(header, key, "(none)"))
            << header << " " << key;
      }
    }
    again.Save();
    EXPECT_EQ(ReadFile(Path(name)), saved);
    ++compared;
  }
  EXPECT_GE(compared, 5);
}

// Each change touches its own line and nothing else. Texts are byte for byte (no Crlf()).
TEST_F(IniSaveTest, ChangesTouchOnlyTheirLines) {
  struct Case {
    const char* what;
    std::string before;
    std::function<void(IniTool&)> change;
    std::string after;
  };
  const auto set = [](std::string header, std::string key, std::string value) {
    return [=](IniTool& ini) { ini.WriteKey(header, key, value); };
  };
  const auto remove = [](std::string header, std::string key) {
    return [=](IniTool& ini) { ini.Remove(header, key); };
  };
  const Case cases[] = {
      // Line endings: each line keeps its own, new lines take the first line's.
      {"LF file", "[S]\nk=1\n", set("S", "j", "2"), "[S]\nk=1\nj=2\n"},
      {"CR LF file", "[S]\r\nk=1\r\n", set("S", "j", "2"), "[S]\r\nk=1\r\nj=2\r\n"},
      {"mixed: the first line's ending", "[S]\r\nk=1\nm=3\n", set("S", "j", "2"),
       "[S]\r\nk=1\nm=3\nj=2\r\n"},
      {"rewritten line keeps its ending", "[S]\r\nk=1\nm=3\r\n", set("s", "K", "9"),
       "[S]\r\nk=9\nm=3\r\n"},
      // No line end after the last line: the file ends without one still.
      {"no trailing newline, value set", "[S]\nk=1", set("S", "k", "2"), "[S]\nk=2"},
      {"no trailing newline, key added", "[S]\nk=1", set("S", "j", "2"), "[S]\nk=1\nj=2"},
      {"no trailing newline, section added", "[S]\r\nk=1", set("T", "j", "2"),
       "[S]\r\nk=1\r\n[T]\r\nj=2"},
      {"no trailing newline, last line removed", "[S]\nk=1\nj=2", remove("S", "j"), "[S]\nk=1"},
      // A CR that is not before a LF belongs to the line; the one before the LF (or at the very
      // end) does not. Lines keep their reading however their neighbours change.
      {"a lone CR at the end stays apart from the key added after it", "[S]\nx=[T]\r\r",
       set("S", "k", "1"), "[S]\nx=[T]\r\r\nk=1"},
      {"a line ending in CR keeps its line end when it becomes the last", "[S]\na=1\r\r\nb=2",
       remove("S", "b"), "[S]\na=1\r\r\n"},
      {"empty file", "", set("General", "UID", "AB12CD34"), "[General]\nUID=AB12CD34\n"},
      {"blank lines only", "\n\n", set("S", "k", "v"), "\n\n[S]\nk=v\n"},
      // Keys before any header belong to the nameless section, which "[]" continues.
      {"key before any header set", "top=1\n[S]\nk=1\n", set("", "TOP", "2"), "top=2\n[S]\nk=1\n"},
      {"nameless key added after the loose ones", "; about\ntop=1\n\n[S]\n", set("", "n", "2"),
       "; about\ntop=1\nn=2\n\n[S]\n"},
      {"nameless key added below a leading comment", "; about\n\n[S]\nk=1\n", set("", "n", "2"),
       "; about\nn=2\n\n[S]\nk=1\n"},
      {"nameless key added to a file that starts with a header", "[S]\nk=1\n", set("", "n", "2"),
       "n=2\n[S]\nk=1\n"},
      {"nameless key added where [] continues it", "top=1\n[S]\n[]\nx=2\n[T]\n", set("", "n", "3"),
       "top=1\n[S]\n[]\nx=2\nn=3\n[T]\n"},
      // Repeated sections and keys: the first key is the one read, so it is the one set; a new
      // key goes to the end of the section's last part.
      {"first of repeated keys set", "[S]\nk=1\n[T]\n[s]\nK=2\n", set("S", "k", "3"),
       "[S]\nk=3\n[T]\n[s]\nK=2\n"},
      {"key in a repeated section's second part", "[S]\nk=1\n[T]\n[s]\nj=2\n", set("S", "j", "3"),
       "[S]\nk=1\n[T]\n[s]\nj=3\n"},
      {"key added to a section that appears twice", "[S]\nk=1\n\n[T]\nx=1\n\n[s]\nj=2\n\n[U]\n",
       set("S", "n", "3"), "[S]\nk=1\n\n[T]\nx=1\n\n[s]\nj=2\nn=3\n\n[U]\n"},
      {"removing a repeated key removes every line of it", "[S]\nk=1\nj=0\n[T]\n[s]\nK=2\n",
       remove("s", "k"), "[S]\nj=0\n[T]\n[s]\n"},
      // Spellings: the file's where it has the key, the caller's for what it adds.
      {"case as written", "[General]\nUid=1\n", set("GENERAL", "UID", "2"), "[General]\nUid=2\n"},
      {"new names as given", "[general]\nuid=1\n",
       [](IniTool& ini) {
         ini.WriteKey("GENERAL", "MaxRunSeconds", "5");
         ini.WriteKey("MyScript", "Level", "3");
       },
       "[general]\nuid=1\nMaxRunSeconds=5\n[MyScript]\nLevel=3\n"},
      {"spaces around = stay with the key", "[S]\n  Key = Value  \n", set("S", "Key ", "x"),
       "[S]\n  Key =x\n"},
      {"spaces around =: Key without its space is another key", "[S]\nKey = Value\n",
       set("S", "Key", "x"), "[S]\nKey = Value\nKey=x\n"},
      {"a tab before the key stays", "[S]\n\tk=1\n", set("S", "\tk", "2"), "[S]\n\tk=2\n"},
      {"value holding = and ;", "[S]\nUrl=a=b\nNote=x ; y\n", set("S", "url", "c=d;e"),
       "[S]\nUrl=c=d;e\nNote=x ; y\n"},
      {"bytes that are not UTF-8", "[Caf\xe9]\r\nn\xe9=\xff\xfe\r\n; \x80\r\n",
       set("caf\xe9", "N\xe9", "\xe9t\xe9"), "[Caf\xe9]\r\nn\xe9=\xe9t\xe9\r\n; \x80\r\n"},
      {"same value: the line is not touched", "[S]\n  Padded   =  kept  \n",
       set("S", "Padded   ", "  kept"), "[S]\n  Padded   =  kept  \n"},
      // Where a new key goes within its section.
      {"after the last key, before the blank lines", "[A]\nk=1\n\n\n[B]\n", set("A", "j", "2"),
       "[A]\nk=1\nj=2\n\n\n[B]\n"},
      {"after the comments that end a section", "[Log]\n; sizes\n;Files=3\n\n[B]\n",
       set("Log", "Files", "4"), "[Log]\n; sizes\n;Files=3\nFiles=4\n\n[B]\n"},
      {"not below a comment that stands on the next header", "[A]\nk=1\n; about B\n[B]\n",
       set("A", "j", "2"), "[A]\nk=1\nj=2\n; about B\n[B]\n"},
      {"right below the header when the section has nothing else", "[A]\n; about B\n[B]\n",
       set("A", "j", "2"), "[A]\nj=2\n; about B\n[B]\n"},
      {"last section: after its trailing comment", "[A]\nk=1\n; end\n", set("A", "j", "2"),
       "[A]\nk=1\n; end\nj=2\n"},
      // New sections go to the end, apart by a blank line where the file's sections are.
      {"new section in a file with blank lines between sections", "[A]\nk=1\n\n[B]\nj=1\n",
       set("C", "x", "1"), "[A]\nk=1\n\n[B]\nj=1\n\n[C]\nx=1\n"},
      {"new section in a file without", "[A]\nk=1\n[B]\nj=1\n", set("C", "x", "1"),
       "[A]\nk=1\n[B]\nj=1\n[C]\nx=1\n"},
      {"new sections in the order written", "",
       [](IniTool& ini) {
         ini.WriteKey("Z", "a", "1");
         ini.WriteKey("A", "b", "2");
         ini.WriteKey("z", "c", "3");
       },
       "[Z]\na=1\nc=3\n[A]\nb=2\n"},
      // Removing.
      {"removed key: its line only; the header and comments stay",
       "[S]\n; the key\nk=1\n\n[T]\nj=2\n", remove("S", "k"), "[S]\n; the key\n\n[T]\nj=2\n"},
      {"removing a key the file lacks changes nothing", "[S]\nk=1\n", remove("S", "x"),
       "[S]\nk=1\n"},
      {"removed and written again: set in place", "[S]\nk=1\nj=2\n",
       [](IniTool& ini) {
         ini.Remove("S", "k");
         ini.WriteKey("S", "k", "3");
       },
       "[S]\nk=3\nj=2\n"},
      {"written and removed again: nothing", "[S]\nk=1\n",
       [](IniTool& ini) {
         ini.WriteKey("S", "new", "3");
         ini.Remove("S", "NEW");
       },
       "[S]\nk=1\n"},
      {"cleared: only what is written after", "; gone\n[S]\nk=1\n",
       [](IniTool& ini) {
         ini.Clear();
         ini.WriteKey("T", "j", "2");
       },
       "[T]\nj=2\n"},
      // A file written by an older node: names in upper case, CR LF, no comments.
      {"normalised file", "[GENERAL]\r\nUID=FF00E800\r\n[LOG]\r\nFILES=3\r\n",
       [](IniTool& ini) {
         ini.WriteKey("General", "UID", "12345678");
         ini.WriteKey("General", "Name", "Kitchen");
         ini.Remove("Log", "Files");
       },
       "[GENERAL]\r\nUID=12345678\r\nName=Kitchen\r\n[LOG]\r\n"},
      {"value that looks like its key is kept", "",
       [](IniTool& ini) { ini.WriteKey("A", "B", "A~B"); }, "[A]\nB=A~B\n"},
      {"section name holding ~ keeps its items", "[s~t]\nk=1\n[s]\nu~k=2\n",
       [](IniTool& ini) { ini.WriteKey("S~T", "j", "3"); }, "[s~t]\nk=1\nj=3\n[s]\nu~k=2\n"},
      {"empty value kept", "", [](IniTool& ini) { ini.WriteKey("S", "k", ""); }, "[S]\nk=\n"},
      {"limits: 100 and 65 characters still fit", "",
       [](IniTool& ini) { ini.WriteKey(std::string(100, 'h'), std::string(65, 'k'), "v"); },
       "[" + std::string(100, 'h') + "]\n" + std::string(65, 'k') + "=v\n"},
      {"names past the limits the file has already stay",
       "[" + std::string(120, 'h') + "]\n" + std::string(80, 'k') + "=1\n",
       set(std::string(120, 'H'), std::string(80, 'K'), "2"),
       "[" + std::string(120, 'h') + "]\n" + std::string(80, 'k') + "=2\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(Path("s.ini"), c.before);
    IniTool ini(t.app);
    ini.Load(Path("s.ini"));
    c.change(ini);
    ini.Save();
    EXPECT_EQ(ReadFile(Path("s.ini")), c.after);
  }
  EXPECT_TRUE(t.sink.sent.empty());
}

TEST_F(IniSaveTest, ManyKeysSurviveRemovalsAndSave) {
  IniTool ini(t.app);
  ini.Load(Path("many.ini"));
  for (int i = 0; i < 1000; ++i) ini.WriteKey("S", "k" + std::to_string(i), std::to_string(i));
  for (int i = 0; i < 1000; i += 3) ini.Remove("s", "K" + std::to_string(i));
  ini.WriteKey("s", "k0", "back");
  EXPECT_EQ(ini.Read("S", "k1", ""), "1");
  EXPECT_EQ(ini.Read("S", "k3", "gone"), "gone");
  EXPECT_EQ(ini.Read("S", "k999", "gone"), "gone");
  EXPECT_EQ(ini.Read("S", "k998", ""), "998");
  const std::vector<std::string> keys = ini.Keys("s");
  ASSERT_EQ(keys.size(), 667u);
  EXPECT_EQ(keys.front(), "K1");
  EXPECT_EQ(keys.back(), "K0");  // written again after its removal: at the end
  ini.Save();
  IniTool reread(t.app);
  reread.Load(Path("many.ini"));
  EXPECT_EQ(reread.Keys("S").size(), 667u);
  EXPECT_EQ(reread.Read("S", "K0", ""), "back");
}

// Every way Save can fail leaves the old file byte for byte, leaves no temporary file
// behind, and reports "IniTool Save " + the path with the reason.
TEST_F(IniSaveTest, FailedSaveLeavesTheOldFileIntact) {
  const std::string old = "; hand-written, must survive\r\n[S]\r\nk=1\r\n[k=1\r\n";
  struct Case {
    const char* what;
    std::function<void(IniTool&)> change;
    const char* reason;
    bool backupMade;
  };
  const Case cases[] = {
      {"section name over 100 characters",
       [](IniTool& ini) { ini.WriteKey(std::string(101, 'h'), "k", "v"); },
       "Section name longer than 100 characters", false},
      {"key name over 65 characters",
       [](IniTool& ini) { ini.WriteKey("S", std::string(66, 'k'), "v"); },
       "Key name longer than 65 characters", false},
      {"value holding a line break",
       [](IniTool& ini) { ini.WriteKey("S", "k", "1\n[General]\nUID=00000000"); },
       "Value of k holds a line break", false},
      {"new key whose value holds a line break",
       [](IniTool& ini) { ini.WriteKey("S", "j", "1\nx=2"); }, "Value of j holds a line break",
       false},
      {"value ending in CR", [](IniTool& ini) { ini.WriteKey("S", "k", "2\r"); },
       "Value of k holds a line break", false},
      {"new key whose name holds a line break",
       [](IniTool& ini) { ini.WriteKey("S", "j\nx", "1"); }, "Key name j\nx holds a line break",
       false},
      {"value that would turn its line into a header",
       [](IniTool& ini) { ini.WriteKey("S", "[k", "2]"); }, "would not read back", false},
      {"section name holding a line break", [](IniTool& ini) { ini.WriteKey("T\n[S]", "k", "2"); },
       "holds a line break", false},
      {"key name holding =", [](IniTool& ini) { ini.WriteKey("S", "a=b", "c"); },
       "Key name \"a=b\" with the value \"c\" would not read back as that key", false},
      {"new key whose line would read as a header",
       [](IniTool& ini) { ini.WriteKey("S", "[j", "v]"); }, "would not read back", false},
      {"key name that starts a comment", [](IniTool& ini) { ini.WriteKey("S", ";k", "c"); },
       "would not read back", false},
      {"key name that starts with a space", [](IniTool& ini) { ini.WriteKey("S", " k", "c"); },
       "would not read back", false},
      {"file size limit reached while writing (as on a full disk)",
       [](IniTool& ini) { ini.WriteKey("S", "big", std::string(100000, 'x')); }, "Cannot write",
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(Path("s.ini_bck"));
    WriteFile(Path("s.ini"), old);
    IniTool ini(t.app);
    ini.Load(Path("s.ini"));
    c.change(ini);
    t.sink.sent.clear();

    // The limit makes write() fail with EFBIG past 4 kB instead of raising SIGXFSZ.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ::getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limited = saved;
    limited.rlim_cur = 4096;
    ::setrlimit(RLIMIT_FSIZE, &limited);
    ini.Save();
    ::setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);

    EXPECT_EQ(ReadFile(Path("s.ini")), old);
    EXPECT_EQ(std::filesystem::exists(Path("s.ini_bck")), c.backupMade);
    std::vector<std::string> expectedFiles{"s.ini"};
    if (c.backupMade) expectedFiles.push_back("s.ini_bck");
    EXPECT_EQ(FilesIn(t.dir.Path() + "/Config"), expectedFiles);
    ASSERT_EQ(t.sink.sent.size(), 1u);
    const std::string items = t.sink.sent[0].Items();
    const std::string prefix =
        "Time=3/4/2026 3:06:07 PM|Type=Sablewick|Data=IniTool Save " + Path("s.ini") + " Line ";
    EXPECT_TRUE(items.starts_with(prefix)) << items;
    EXPECT_NE(items.find(c.reason, prefix.size()), std::string::npos) << items;
    EXPECT_FALSE(t.app.Err.IsSet());
  }
}

// A process id that no process has any more.
pid_t GonePid() {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(0);
  ::waitpid(pid, nullptr, 0);
  return pid;
}

// Temporary files of a save killed before its rename: the next save of the same file removes
// those whose process is gone; start-up removes them for every file of a folder. Files of a
// live process and names of another form stay.
TEST_F(IniSaveTest, LeftoversOfKilledSavesAreRemoved) {
  const std::string gone = std::to_string(GonePid());
  const std::string live = std::to_string(::getppid());
  const std::vector<std::string> leftovers = {
      ".s.ini.tmp" + gone + "-7", ".s.ini_bck.tmp" + gone + "-1", ".s.ini.tmp" + live + "-1",
      ".other.ini.tmp" + gone + "-1", "s.ini.tmp" + gone + "-1", ".s.ini.tmp" + gone + "-x"};
  for (const std::string& name : leftovers) WriteFile(Path(name), "half");
  IniTool ini(t.app);
  ini.Load(Path("s.ini"));
  ini.WriteKey("S", "k", "v");
  ini.Save();
  const auto sorted = [](std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(FilesIn(t.dir.Path() + "/Config"),
            sorted({".other.ini.tmp" + gone + "-1", ".s.ini.tmp" + gone + "-x",
                    ".s.ini.tmp" + live + "-1", "s.ini", "s.ini.tmp" + gone + "-1", "s.ini_bck"}));
  RemoveStaleTempFiles(t.dir.Path() + "/Config");
  EXPECT_EQ(FilesIn(t.dir.Path() + "/Config"),
            sorted({".s.ini.tmp" + gone + "-x", ".s.ini.tmp" + live + "-1", "s.ini",
                    "s.ini.tmp" + gone + "-1", "s.ini_bck"}));
}

TEST_F(IniSaveTest, SaveIntoAVanishedFolderIsReported) {
  const std::string path = t.dir.Path() + "/Gone/s.ini";
  IniTool ini(t.app);
  ini.Load(path);
  ini.WriteKey("S", "k", "v");
  std::filesystem::remove_all(t.dir.Path() + "/Gone");
  ini.Save();
  ASSERT_EQ(t.sink.sent.size(), 1u);
  EXPECT_NE(t.sink.sent[0].Items().find("Data=IniTool Save " + path + " Line "), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(t.dir.Path() + "/Gone"));
}

TEST_F(IniSaveTest, SaveReplacesTheFileNotALinkToIt) {
  WriteFile(t.dir.Path() + "/Real/real.ini", "[S]\r\nk=1\r\n");
  ::chmod((t.dir.Path() + "/Real/real.ini").c_str(), 0640);
  std::filesystem::create_symlink(t.dir.Path() + "/Real/real.ini", Path("link.ini"));

  IniTool ini(t.app);
  ini.Load(Path("link.ini"));
  ini.WriteKey("S", "k", "2");
  ini.Save();

  EXPECT_TRUE(std::filesystem::is_symlink(Path("link.ini")));
  EXPECT_EQ(ReadFile(t.dir.Path() + "/Real/real.ini"), "[S]\r\nk=2\r\n");
  EXPECT_EQ(ReadFile(Path("link.ini_bck")), "[S]\r\nk=1\r\n");
  struct stat st {};
  ASSERT_EQ(::stat((t.dir.Path() + "/Real/real.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(FilesIn(t.dir.Path() + "/Real"), std::vector<std::string>{"real.ini"});
}

}  // namespace
}  // namespace sablewick::testing
