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

// golden/NAME.ini loaded and saved must give golden/NAME.saved byte for byte. With
// SABLEWICK_REBASELINE=1 the expected files are rewritten from what Save produced.
TEST_F(IniSaveTest, SavedFilesMatchGoldenTexts) {
  const std::string golden = SABLEWICK_INI_GOLDEN_DIR;
  const bool rebaseline = std::getenv("SABLEWICK_REBASELINE") != nullptr;
  int compared = 0;
  for (const std::string& name : FilesIn(golden)) {
    if (!name.ends_with(".ini")) continue;
    SCOPED_TRACE(name);
    const std::string input = ReadFile(golden + "/" + name);
    const std::string expectedPath = golden + "/" + name.substr(0, name.size() - 4) + ".saved";
    WriteFile(Path(name), input);
    IniTool ini(t.app);
    ini.Load(Path(name));
    ini.Save();
    const std::string saved = ReadFile(Path(name));
    if (rebaseline) WriteFile(expectedPath, saved);
    EXPECT_EQ(saved, ReadFile(expectedPath));
    EXPECT_EQ(ReadFile(Path(name) + "_bck"), input);
    // Saving what was saved changes nothing.
    IniTool again(t.app);
    again.Load(Path(name));
    again.Save();
    EXPECT_EQ(ReadFile(Path(name)), saved);
    ++compared;
  }
  EXPECT_GE(compared, 3);
}

TEST_F(IniSaveTest, ChangesInMemoryAreWrittenSorted) {
  struct Case {
    const char* what;
    std::string before;
    std::function<void(IniTool&)> change;
    std::string after;
  };
  const Case cases[] = {
      {"new keys sorted into place", "[B]\nz=1\n",
       [](IniTool& ini) {
         ini.WriteKey("b", "a", "2");
         ini.WriteKey("A", "k", "3");
         ini.WriteKey("", "top", "4");
       },
       "TOP=4\n[A]\nK=3\n[B]\nA=2\nZ=1\n"},
      {"value replaced in place", "[S]\nk=old\n",
       [](IniTool& ini) { ini.WriteKey("s", "K", "new"); }, "[S]\nK=new\n"},
      {"removed key and its emptied section disappear", "[S]\nk=1\n[T]\nj=2\n",
       [](IniTool& ini) { ini.Remove("S", "k"); }, "[T]\nJ=2\n"},
      {"only sections left: empty file", "[S]\nk=1\n[T]\n",
       [](IniTool& ini) { ini.Remove("S", "K"); }, ""},
      {"value that looks like its key is kept", "",
       [](IniTool& ini) { ini.WriteKey("A", "B", "A~B"); }, "[A]\nB=A~B\n"},
      {"section name holding ~ keeps its items", "[s~t]\nk=1\n[s]\nu~k=2\n",
       [](IniTool& ini) { ini.WriteKey("S~T", "j", "3"); }, "[S]\nU~K=2\n[S~T]\nJ=3\nK=1\n"},
      {"empty value kept", "", [](IniTool& ini) { ini.WriteKey("S", "k", ""); }, "[S]\nK=\n"},
      {"limits: 100 and 65 characters still fit", "",
       [](IniTool& ini) { ini.WriteKey(std::string(100, 'h'), std::string(65, 'k'), "v"); },
       "[" + std::string(100, 'H') + "]\n" + std::string(65, 'K') + "=v\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WriteFile(Path("s.ini"), Crlf(c.before));
    IniTool ini(t.app);
    ini.Load(Path("s.ini"));
    c.change(ini);
    ini.Save();
    EXPECT_EQ(ReadFile(Path("s.ini")), Crlf(c.after));
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
  const std::string old = "; hand-written, must survive\r\n[S]\r\nk=1\r\n";
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
  EXPECT_EQ(ReadFile(t.dir.Path() + "/Real/real.ini"), "[S]\r\nK=2\r\n");
  EXPECT_EQ(ReadFile(Path("link.ini_bck")), "[S]\r\nk=1\r\n");
  struct stat st {};
  ASSERT_EQ(::stat((t.dir.Path() + "/Real/real.ini").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(FilesIn(t.dir.Path() + "/Real"), std::vector<std::string>{"real.ini"});
}

}  // namespace
}  // namespace sablewick::testing
