// The log file and the other files the node makes: their modes, a full disk, and rotations
// cut short. Run through tests/netns-run.sh: the full disk is a tiny tmpfs in a mount
// namespace of this process.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Folder.h"
#include "core/Log.h"
#include "core/PrivateFiles.h"
#include "ini/IniTool.h"
#include "ini/TextFile.h"
#include "script/Application.h"
#include "tests/MountSupport.h"
#include "tests/TestSupport.h"

namespace sablewick {
namespace {

using testing::ReadFile;
using testing::TempDir;
using testing::TestApp;
using testing::TestMount;
using testing::WriteFile;

// The permission bits of what stands at path; 0 when nothing does.
mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }

 private:
  mode_t old_;
};

// Whatever the umask, what the node makes is its user's alone (a portable install made under
// umask 022 would otherwise show the log, and what handlers print into it, to everyone); what
// was there before keeps its mode.
TEST(FileModes, WhatTheNodeMakesIsPrivateAndWhatWasThereKeepsItsMode) {
  for (const mode_t mask : {mode_t{022}, mode_t{0}, mode_t{077}, mode_t{0277}}) {
    SCOPED_TRACE("umask " + std::to_string(mask));
    TestApp t;
    const std::string base = t.dir.Path();
    WriteFile(base + "/Config/Open.ini", "[A]\r\n");
    ::chmod((base + "/Config/Open.ini").c_str(), 0644);
    ::chmod((base + "/Config").c_str(), 0755);
    Umask umask(mask);

    CreateFolders(t.app, base + "/Scripts/sub/x.vbs");
    EXPECT_EQ(MakeInstanceFolder(base + "/home/share/sablewick"), "");
    for (const char* folder : {"/Scripts", "/Scripts/sub", "/home", "/home/share/sablewick"})
      EXPECT_EQ(ModeOf(base + folder), 0700u) << folder;
    EXPECT_EQ(ModeOf(base + "/Config"), 0755u);

    t.app.logFile = std::make_unique<LogFile>();
    t.app.logFile->SetLimits(64, 2);
    LogToFile(t.app, "Sablewick", "one");
    EXPECT_EQ(ModeOf(base + "/Data/Sablewick.txt"), 0600u);
    LogToFile(t.app, "Sablewick", "two");  // past 64 bytes: rotated
    EXPECT_EQ(ModeOf(base + "/Data/Sablewick.1.txt"), 0600u);
    EXPECT_EQ(ModeOf(base + "/Data/Sablewick.txt"), 0600u);

    IniTool ini(t.app);
    ini.Load(base + "/Config/New.ini");  // made at first use
    EXPECT_EQ(ModeOf(base + "/Config/New.ini"), 0600u);
    ReplaceTextFile(base + "/Config/Made.ini", "[B]\r\n");
    EXPECT_EQ(ModeOf(base + "/Config/Made.ini"), 0600u);
    ReplaceTextFile(base + "/Config/Open.ini", "[C]\r\n");
    EXPECT_EQ(ModeOf(base + "/Config/Open.ini"), 0644u);
    EXPECT_EQ(ReadFile(base + "/Config/Open.ini"), "[C]\r\n");

    auto api = vbs::MakeObject<Application>(t.app);
    EXPECT_EQ(api->WrapWSF("Job.txt", "Main", ""), "~Job.wsf");
    EXPECT_EQ(ModeOf(base + "/Scripts/~Job.wsf"), 0600u);
    ::chmod((base + "/Scripts/~Job.wsf").c_str(), 0640);
    api->WrapWSF("Job.txt", "Other", "");
    EXPECT_EQ(ModeOf(base + "/Scripts/~Job.wsf"), 0640u);
    EXPECT_NE(ReadFile(base + "/Scripts/~Job.wsf").find("Other"), std::string::npos);
  }
}

// A log made before (under umask 022) stays as its user left it; rotation passes its mode on
// with the file, and the new file is private.
TEST(FileModes, AnExistingLogKeepsItsModeThroughRotation) {
  TestApp t;
  const std::string log = t.dir.Path() + "/Data/Sablewick.txt";
  WriteFile(log, "earlier\r\n");
  ::chmod(log.c_str(), 0644);
  t.app.logFile = std::make_unique<LogFile>();
  t.app.logFile->SetLimits(64, 2);
  LogToFile(t.app, "Sablewick", "one");
  EXPECT_EQ(ModeOf(log), 0644u);
  LogToFile(t.app, "Sablewick", "two");
  EXPECT_EQ(ModeOf(t.dir.Path() + "/Data/Sablewick.1.txt"), 0644u);
  EXPECT_EQ(ModeOf(log), 0600u);
}

// The history survives a disk that is full and kept full (by something else writing there):
// lines that cannot be written are dropped and counted, never counted as written, never a
// reason to delete an old file; a line cut short is taken back; once writing works again, one
// line says what was lost and why.
TEST(LogFileOnAFullDisk, KeepsItsHistoryAndSaysWhatWasLostOnceItCanWriteAgain) {
  TestApp t;
  const std::string data = t.dir.Path() + "/Data";
  const TestMount disk = TestMount::Tmpfs(data, 256 << 10);
  if (!disk.Mounted()) GTEST_SKIP() << "no mount namespace for a tmpfs (tests/netns-run.sh)";
  int terminal[2];
  ASSERT_EQ(::pipe2(terminal, O_CLOEXEC | O_NONBLOCK), 0);
  t.app.terminal = std::make_unique<TerminalCopy>(terminal[1]);
  std::string said;
  const auto drain = [&] {
    char buf[65536];
    for (ssize_t n; (n = ::read(terminal[0], buf, sizeof buf)) > 0;)
      said.append(buf, static_cast<size_t>(n));
  };
  t.app.logFile = std::make_unique<LogFile>();
  t.app.logFile->SetLimits(16 << 10, 3);
  int count = 0;
  const auto logLine = [&] {
    LogToFile(t.app, "Sablewick", "line " + std::to_string(++count) + " " + std::string(48, 'x'));
    drain();
  };
  for (int i = 0; i < 1200; ++i) logLine();  // about 100 KB: the current file and three old ones

  const std::string path = data + "/Sablewick.txt";
  const std::vector<std::string> names = {path, RotatedLogName(path, 1), RotatedLogName(path, 2),
                                          RotatedLogName(path, 3)};
  std::map<std::string, std::string> before;
  for (const std::string& name : names) {
    before[name] = ReadFile(name);
    ASSERT_FALSE(before[name].empty()) << name;
  }

  const std::string fillerPath = data + "/filler";
  const int filler = ::open(fillerPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  ASSERT_GE(filler, 0);
  const auto fillUp = [&] {
    const std::string block(4096, 'f');
    for (int i = 0; i < 100 && ::write(filler, block.data(), block.size()) > 0; ++i) {
    }
  };
  fillUp();
  constexpr int kLines = 5000;
  for (int i = 0; i < kLines; ++i) {
    logLine();
    fillUp();
  }

  for (size_t i = 1; i < names.size(); ++i)
    EXPECT_TRUE(ReadFile(names[i]) == before[names[i]]) << names[i] << " was changed or deleted";
  EXPECT_FALSE(std::filesystem::exists(RotatedLogName(path, 4)));
  const std::string full = ReadFile(path);
  ASSERT_TRUE(full.starts_with(before[path])) << "the current file lost lines";
  // The last page of the file had room for a few lines; whatever went in is whole lines.
  const std::string added = full.substr(before[path].size());
  size_t written = 0;
  for (size_t at = 0; (at = added.find("\r\n", at)) != std::string::npos; at += 2) ++written;
  EXPECT_TRUE(added.empty() || added.ends_with(" 0 \r\n")) << added;
  const uint64_t lost = t.app.logFile->Lost();
  EXPECT_EQ(written + lost, static_cast<uint64_t>(kLines));
  EXPECT_GT(lost, static_cast<uint64_t>(kLines - 100));
  EXPECT_EQ(t.app.logFile->Error(), ENOSPC);

  ::close(filler);
  std::filesystem::remove(fillerPath);
  logLine();
  const std::string notice =
      "3/4/2026 3:06:07 PM | Sablewick log writes failing: No space left "
      "on device; " +
      std::to_string(lost) + " line(s) lost";
  EXPECT_EQ(ReadFile(path).substr(full.size()),
            notice + " 0 \r\n3/4/2026 3:06:07 PM | Sablewick line " + std::to_string(count) + " " +
                std::string(48, 'x') + " 0 \r\n");
  EXPECT_EQ(t.app.logFile->Lost(), 0u);
  logLine();  // rotates: the file is past its bound again
  size_t notices = 0;
  for (const std::string& name : names) {
    const std::string text = ReadFile(name);
    for (size_t at = 0; (at = text.find("log writes failing", at)) != std::string::npos; ++at)
      ++notices;
  }
  EXPECT_EQ(notices, 1u);
  EXPECT_NE(ReadFile(names[1]).find(notice), std::string::npos);

  // Standard error, which carries every line, says when the file stops taking them, once.
  const std::string onset = "sablewick: cannot write the log file " + path +
                            " (No space left on device): log lines go to standard error only\n";
  const size_t first = said.find(onset);
  EXPECT_NE(first, std::string::npos) << said.substr(0, 2000);
  EXPECT_EQ(said.find(onset, first + 1), std::string::npos);
  EXPECT_NE(said.find(notice + "\n"), std::string::npos);
  t.app.terminal.reset();
  ::close(terminal[0]);
  ::close(terminal[1]);
}

// A rotation cut short (kill -9, a power cut) leaves one number missing at most; the next
// start closes the gap, keeping the files' order, so nothing is left to be pushed out before
// its turn. Each row: the files before the start (current, .1, .2, .3; "" when missing), and
// after the start has logged "+".
TEST(LogRotation, TheNextStartClosesTheGapACutRotationLeft) {
  struct Case {
    const char* what;
    std::vector<std::string> before, after;
  };
  const Case cases[] = {
      {"whole", {"A", "B", "C", "D"}, {"A+", "B", "C", "D"}},
      {"cut after .2 became .3", {"A", "B", "", "C"}, {"A+", "B", "C", ""}},
      {"cut after .1 became .2", {"A", "", "B", "C"}, {"A+", "B", "C", ""}},
      {"cut before the new file", {"", "A", "B", "C"}, {"+", "A", "B", "C"}},
      {"two missing", {"A", "", "", "B"}, {"A+", "B", "", ""}},
      {"only the oldest gone", {"A", "B", "C", ""}, {"A+", "B", "C", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    const std::string path = dir.Path() + "/Sablewick.txt";
    const auto name = [&](size_t n) { return n == 0 ? path : RotatedLogName(path, n); };
    for (size_t n = 0; n < c.before.size(); ++n)
      if (!c.before[n].empty()) WriteFile(name(n), c.before[n]);
    LogFile log;
    log.SetLimits(1 << 20, 3);
    ASSERT_TRUE(log.Append(path, "+"));
    for (size_t n = 0; n < c.after.size(); ++n) {
      EXPECT_EQ(std::filesystem::exists(name(n)), !c.after[n].empty()) << name(n);
      EXPECT_EQ(ReadFile(name(n)), c.after[n]) << name(n);
    }
  }
}

// The same, at every step of the rotation itself: cut there, then started again, the files
// hold every line but the oldest file's, numbered without a gap and in order; and the next
// rotation goes on from there.
TEST(LogRotation, ACutAtAnyStepLosesNothingButTheOldestFile) {
  const std::vector<std::string> ages = {"A", "B", "C", "D"};  // newest first
  TempDir probe;
  const size_t steps = LogFile::RotationPlan(probe.Path() + "/Sablewick.txt", 3).size();
  ASSERT_EQ(steps, 3u);
  for (size_t cut = 0; cut <= steps; ++cut) {
    SCOPED_TRACE("cut after step " + std::to_string(cut));
    TempDir dir;
    const std::string path = dir.Path() + "/Sablewick.txt";
    const auto name = [&](size_t n) { return n == 0 ? path : RotatedLogName(path, n); };
    for (size_t n = 0; n < ages.size(); ++n) WriteFile(name(n), ages[n]);
    const std::vector<LogFile::Rename> plan = LogFile::RotationPlan(path, 3);
    for (size_t i = 0; i < cut; ++i)
      ASSERT_EQ(::rename(plan[i].from.c_str(), plan[i].to.c_str()), 0) << plan[i].from;

    LogFile log;
    log.SetLimits(6, 3);
    ASSERT_TRUE(log.Append(path, "+"));
    std::string order;  // the contents from the newest file to the oldest
    bool gap = false;
    for (size_t n = 0; n <= 3; ++n) {
      if (!std::filesystem::exists(name(n))) {
        gap = n > 0;
        continue;
      }
      EXPECT_FALSE(gap) << name(n) << " follows a missing number";
      order += ReadFile(name(n));
    }
    EXPECT_TRUE(order == (cut == steps ? "+ABC" : "A+BCD") || order == "A+BC") << order;
    ASSERT_TRUE(log.Append(path, "------"));  // past 6 bytes: a whole rotation
    EXPECT_EQ(ReadFile(path), "------");
    EXPECT_EQ(ReadFile(name(1)), cut == steps ? "+" : "A+");
  }
}

}  // namespace
}  // namespace sablewick
