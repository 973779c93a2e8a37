// The node's files seen from outside: their modes in a portable install, and one node per
// folder when its Data/ is read-only.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <utility>

#include "tests/MountSupport.h"
#include "tests/daemon/DaemonFixture.h"

namespace sablewick::testing {
namespace {

mode_t ModeOf(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

// A portable install made as the README says, under umask 022: the folders and files it
// brought keep their modes, and what the node makes (Data/, the log with what handlers print,
// the lock, the settings file it adds) is its user's alone.
TEST_F(DaemonTest, APortableInstallUnderUmask022ShowsOthersNothingTheNodeMade) {
  const std::string root = daemon->Root();
  ::chmod((root + "/Config").c_str(), 0755);
  ::chmod((root + "/Scripts").c_str(), 0755);
  ::chmod((root + "/Config/Drumlin.ini").c_str(), 0644);
  const mode_t old = ::umask(022);
  StartAndGreet();
  ::umask(old);
  daemon->Signal(SIGTERM);
  ASSERT_EQ(daemon->WaitExit(), 0);
  struct Case {
    const char* path;
    mode_t mode;
  };
  for (const Case& c :
       {Case{"/Data", 0700}, Case{"/Data/Sablewick.txt", 0600}, Case{"/Data/sablewick.lock", 0600},
        Case{"/Config/Sablewick.ini", 0600}, Case{"/Config", 0755}, Case{"/Scripts", 0755},
        Case{"/Config/Drumlin.ini", 0644}})
    EXPECT_EQ(ModeOf(root + c.path), c.mode) << c.path;
  EXPECT_FALSE(daemon->Log().empty()) << "the log was written";
}

class ReadOnlyData : public DaemonTest {
 protected:
  // A second node started from the same folder: its exit status (-1 when it would not end)
  // and its standard error.
  std::pair<int, std::string> RunSecondNode() {
    const std::string root = daemon->Root();
    const std::string elsewhere = root + "/elsewhere";
    std::filesystem::create_directories(elsewhere);
    std::filesystem::permissions(elsewhere, std::filesystem::perms::owner_all);
    const pid_t second = ::fork();
    if (second == 0) {
      const int err = ::open((root + "/second.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      ::dup2(err, 2);
      ::setenv("XDG_RUNTIME_DIR", elsewhere.c_str(), 1);
      ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
      ::unsetenv("SABLEWICK_FOLDER");
      const std::string exe = root + "/sablewick";
      ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    int status = 0;
    for (int i = 0; i < 500 && ::waitpid(second, &status, WNOHANG) == 0; ++i) ::usleep(10000);
    if (::waitpid(second, &status, WNOHANG) == 0) {
      ::kill(second, SIGKILL);
      ::waitpid(second, nullptr, 0);
      return {-1, ReadFile(root + "/second.txt")};
    }
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(root + "/second.txt")};
  }

  // The first node runs without writing anything in Data/; the second one refuses all the
  // same, and the first one runs on.
  void OneNodePerFolder(bool lockFileThere) {
    const std::string data = daemon->Root() + "/Data";
    std::filesystem::create_directories(data);
    WriteFile(data + "/Sablewick.txt", "earlier\r\n");
    // A lock file left by an earlier node, whose pid names some other process by now.
    if (lockFileThere) WriteFile(data + "/sablewick.lock", "1\n\n");
    const TestMount readOnly = TestMount::ReadOnly(data);
    if (!readOnly.Mounted()) GTEST_SKIP() << "no mount namespace for a read-only bind mount";
    StartAndGreet();
    EXPECT_NE(daemon->Stderr().find("sablewick: cannot open " + data +
                                    "/sablewick.lock (Read-only file system): this node's "
                                    "control address is not published there (the folder's "
                                    "lock still keeps a second node out)\n"),
              std::string::npos)
        << daemon->Stderr();

    const auto [status, err] = RunSecondNode();
    EXPECT_EQ(status, 1) << err;
    EXPECT_NE(err.find("sablewick: cannot start: another node already runs from this folder"),
              std::string::npos)
        << err;
    EXPECT_FALSE(hub.Receive(300)) << "the second node sent something";
    EXPECT_EQ(::kill(daemon->Pid(), 0), 0) << "the first node ended";
    daemon->Signal(SIGTERM);
    EXPECT_EQ(daemon->WaitExit(), 0);
    EXPECT_EQ(ReadFile(data + "/Sablewick.txt"), "earlier\r\n");
  }
};

TEST_F(ReadOnlyData, WithALockFileThereASecondNodeRefuses) {
  OneNodePerFolder(true);
}

TEST_F(ReadOnlyData, WithoutALockFileASecondNodeRefuses) {
  OneNodePerFolder(false);
}

}  // namespace
}  // namespace sablewick::testing
