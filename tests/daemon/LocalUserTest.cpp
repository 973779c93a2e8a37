// Another local user against the node's private socket: a folder in /tmp made first by them,
// with a server of theirs in it. The node must still serve its scripting object (on a folder
// of its own), and the tools must send that server nothing.
//
// The other user is uid 65534 (nobody), played by a forked child; the test program runs with
// a /tmp of its own (a mount namespace), so the folders it squats are not the machine's. Both
// need root (CI runs the tests as root): as another user, the tests are skipped, saying why.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "tests/daemon/DaemonFixture.h"

namespace sablewick {
namespace {

using testing::Daemon;
using testing::ReadFile;
using testing::UdpSocket;
using testing::WriteFile;

constexpr uid_t kOther = 65534;

bool BecomeOther() {
  return ::setgroups(0, nullptr) == 0 && ::setresgid(kOther, kOther, kOther) == 0 &&
         ::setresuid(kOther, kOther, kOther) == 0;
}

// Why these tests cannot run here; empty when they can.
std::string& SkipReason() {
  static std::string reason;
  return reason;
}

// A unix socket server of the other user at path: it takes every connection and keeps what
// each one sends in its first half second. Received() ends it and returns all of it.
class ForeignServer {
 public:
  explicit ForeignServer(const std::string& path) {
    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(data_, O_CLOEXEC) != 0 ||
        ::pipe2(stop_, O_CLOEXEC) != 0)
      return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(ready[0]);
      ::close(data_[0]);
      ::close(stop_[1]);
      if (!BecomeOther()) ::_exit(9);
      const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_un addr{};
      addr.sun_family = AF_UNIX;
      std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
      if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
          ::chmod(path.c_str(), 0777) != 0 || ::listen(fd, 16) != 0)
        ::_exit(8);
      (void)!::write(ready[1], "r", 1);
      // Bounded: 60 s at most, or until the test closes the stop pipe.
      for (int turn = 0; turn < 600; ++turn) {
        pollfd p[2] = {{fd, POLLIN, 0}, {stop_[0], POLLIN, 0}};
        if (::poll(p, 2, 100) < 0) break;
        if (p[1].revents != 0) break;
        if (p[0].revents == 0) continue;
        const int c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        pollfd in{c, POLLIN, 0};
        char buf[4096];
        ssize_t n;
        while (::poll(&in, 1, 500) > 0 && (n = ::read(c, buf, sizeof buf)) > 0)
          (void)!::write(data_[1], buf, static_cast<size_t>(n));
        ::close(c);
      }
      ::_exit(0);
    }
    ::close(ready[1]);
    ::close(data_[1]);
    ::close(stop_[0]);
    pollfd p{ready[0], POLLIN, 0};
    char c = 0;
    listening_ = ::poll(&p, 1, 5000) > 0 && ::read(ready[0], &c, 1) == 1;
    ::close(ready[0]);
  }
  ~ForeignServer() { (void)Received(); }
  bool Listening() const { return listening_; }

  std::string Received() {
    if (pid_ <= 0) return received_;
    ::close(stop_[1]);
    int status = 0;
    for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) != pid_; ++i) ::usleep(10000);
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, WNOHANG);
    pid_ = -1;
    ::fcntl(data_[0], F_SETFL, O_NONBLOCK);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(data_[0], buf, sizeof buf)) > 0)
      received_.append(buf, static_cast<size_t>(n));
    ::close(data_[0]);
    return received_;
  }

 private:
  pid_t pid_ = -1;
  int data_[2] = {-1, -1};
  int stop_[2] = {-1, -1};
  bool listening_ = false;
  std::string received_;
};

struct Ran {
  int status = -1;  // exit status, -1 when it had to be killed
  std::string out, err;
};

// Runs a program of the user as from a login without a runtime folder or session bus (su,
// cron, ssh without logind), with the variables given on top.
Ran RunAsUser(const std::vector<std::string>& argv,
              const std::vector<std::pair<std::string, std::string>>& environment = {}) {
  testing::TempDir outDir;
  const std::string out = outDir.Path() + "/out", err = outDir.Path() + "/err";
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (const char* name :
         {"XDG_RUNTIME_DIR", "DBUS_SESSION_BUS_ADDRESS", "SABLEWICK_ADDRESS", "SABLEWICK_FOLDER"})
      ::unsetenv(name);
    for (const auto& [name, value] : environment) ::setenv(name.c_str(), value.c_str(), 1);
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(o, 1);
    ::dup2(e, 2);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  Ran r;
  for (int waited = 0; waited < 15000; waited += 10) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      break;
    }
    ::usleep(10000);
  }
  if (r.status < 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  r.out = ReadFile(out);
  r.err = ReadFile(err);
  return r;
}

class LocalUserTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string& why = SkipReason();
    if (::geteuid() != 0) {
      why = "needs root to play another user (uid 65534) and to give the test a /tmp of its own";
      return;
    }
    const pid_t child = ::fork();
    if (child == 0) ::_exit(BecomeOther() ? 0 : 1);
    int status = 0;
    ::waitpid(child, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      why = "uid 65534 cannot be taken here (a user namespace without it?)";
      return;
    }
    // The machine's /tmp stays reachable through a descriptor: a build folder in it (a
    // checkout under /tmp) is bound back into the test's own /tmp at the same path.
    // (Opened inside the new namespace: a bind mount takes no source from another one.)
    int machineTmp = -1;
    if (::unshare(CLONE_NEWNS) != 0 ||
        ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        (machineTmp = ::open("/tmp", O_PATH | O_DIRECTORY | O_CLOEXEC)) < 0 ||
        ::mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") != 0) {
      why = std::string("no /tmp of the test's own: ") + std::strerror(errno);
      return;
    }
    for (const std::string_view program : {SABLEWICK_BINARY, SABLEWICK_CTL, SABLEWICK_RUNNER}) {
      if (!program.starts_with("/tmp/")) continue;
      const std::string top(program.substr(5, program.find('/', 5) - 5));
      const std::string at = "/tmp/" + top;
      if (::access(at.c_str(), F_OK) == 0) continue;
      const std::string from = "/proc/self/fd/" + std::to_string(machineTmp) + "/" + top;
      if (::mkdir(at.c_str(), 0755) != 0 ||
          ::mount(from.c_str(), at.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        why = "cannot keep " + at + " in the test's own /tmp: " + std::strerror(errno);
        return;
      }
    }
    ::close(machineTmp);
  }
  void SetUp() override {
    if (!SkipReason().empty()) GTEST_SKIP() << SkipReason();
    ASSERT_TRUE(hub.Bound()) << "port 3639 is taken: run in a namespace";
    // The folder another user made first, open to all, their server's socket in it.
    ASSERT_EQ(::mkdir(squatted.c_str(), 0777), 0) << std::strerror(errno);
    ASSERT_EQ(::chmod(squatted.c_str(), 0777), 0);
    ASSERT_EQ(::chown(squatted.c_str(), kOther, kOther), 0);
    fake = std::make_unique<ForeignServer>(squatted + "/bus");
    ASSERT_TRUE(fake->Listening());
  }
  void TearDown() override {
    if (daemon && HasFailure()) {
      std::fprintf(stderr, "--- daemon log ---\n%s\n--- daemon stderr ---\n%s\n",
                   daemon->Log().c_str(), daemon->Stderr().c_str());
    }
    daemon.reset();
    fake.reset();
    std::error_code ec;
    std::filesystem::remove_all(squatted, ec);
  }
  // The messages the node sends, heartbeats aside, until one equal to text; false when none
  // came within the time.
  bool Said(const std::string& text, int timeoutMs = 5000) {
    for (int i = 0; i < 20; ++i) {
      const auto m = hub.ReceiveMessage(timeoutMs);
      if (!m) return false;
      if (*m == text) return true;
    }
    return false;
  }
  // The folders /tmp/sablewick-<uid>.* (the node's own when it refused the usual one).
  static std::vector<std::string> MadeFolders(const std::string& squatted) {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::directory_iterator("/tmp")) {
      const std::string p = e.path().string();
      if (p.rfind(squatted + ".", 0) == 0) found.push_back(p);
    }
    return found;
  }

  const std::string squatted = "/tmp/sablewick-" + std::to_string(::getuid());
  UdpSocket hub{3639};
  std::unique_ptr<ForeignServer> fake;
  std::unique_ptr<Daemon> daemon;
};

TEST_F(LocalUserTest, ASquattedSocketFolderLeavesTheNodeItsScriptingObject) {
  daemon = std::make_unique<Daemon>();
  daemon->runtimeDir = false;
  WriteFile(daemon->Root() + "/Scripts/Startup.vbs",
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "hs.SendUDPMessage \"startup ran\"\n");
  std::filesystem::copy_file(SABLEWICK_CTL, daemon->Root() + "/sablewick-ctl");
  daemon->Start();
  ASSERT_TRUE(hub.Receive()) << "no heartbeat";
  EXPECT_TRUE(Said("startup ran")) << "Startup.vbs did not reach the scripting object";

  // It said why it serves elsewhere, and where.
  const std::vector<std::string> made = MadeFolders(squatted);
  ASSERT_EQ(made.size(), 1u);
  struct stat st {};
  ASSERT_EQ(::lstat(made[0].c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, ::geteuid());
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  daemon->StartUpLine();  // waits for it
  EXPECT_NE(daemon->Stderr().find("; control unix:path=" + made[0] + "/bus. Next: "),
            std::string::npos)
      << daemon->Stderr();
  EXPECT_NE(daemon->Log().find("the socket folder " + squatted +
                               " belongs to another user (uid 65534, mode 0777): refused"),
            std::string::npos)
      << daemon->Log();
  EXPECT_EQ(ReadFile(daemon->Root() + "/Data/sablewick.lock"),
            std::to_string(daemon->Pid()) + "\nunix:path=" + made[0] + "/bus\n");

  // The owner's tool beside the node finds it through the folder lock.
  const Ran status = RunAsUser({daemon->Root() + "/sablewick-ctl", "status"});
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_NE(status.out.find("unix:path=" + made[0] + "/bus"), std::string::npos) << status.out;

  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitExit(), 0);
  EXPECT_TRUE(MadeFolders(squatted).empty()) << "its folder is removed at the end";
  EXPECT_EQ(fake->Received(), "") << "the other user's server was sent something";
}

// The tools find the other user's socket where the node's would be (given, named in the
// environment, or the default path) and refuse it, sending nothing.
TEST_F(LocalUserTest, ToolsRefuseASocketServedByAnotherUser) {
  testing::TempDir tools;
  const std::string ctl = tools.Path() + "/sablewick-ctl";
  const std::string runner = tools.Path() + "/sablewick-script";
  std::filesystem::copy_file(SABLEWICK_CTL, ctl);
  std::filesystem::copy_file(SABLEWICK_RUNNER, runner);
  const std::string lamp = tools.Path() + "/lamp.xap";
  WriteFile(lamp,
            "xap-header\n{\nv=12\nhop=1\nuid=FF123400\nclass=xAPBSC.event\n"
            "source=acme.lamp.kitchen\n}\noutput.state\n{\nstate=on\n}\n");
  const std::string script = tools.Path() + "/save.vbs";
  WriteFile(script,
            "Set hs = CreateObject(\"Sablewick.Application\")\n"
            "hs.SaveIniSetting \"Door\", \"Code\", \"1234\", \"secret.ini\"\n");
  // No node runs from this folder, so the search goes on past the folder lock.
  const std::pair<std::string, std::string> noNode{"SABLEWICK_FOLDER", tools.Path() + "/node"};
  const std::string address = "unix:path=" + squatted + "/bus";

  struct Case {
    const char* what;
    std::vector<std::string> argv;
    std::vector<std::pair<std::string, std::string>> environment;
  };
  const Case cases[] = {
      {"ctl, address given", {ctl, "--address", address, "inject", lamp}, {noNode}},
      {"ctl, address in the environment",
       {ctl, "inject", lamp},
       {noNode, {"SABLEWICK_ADDRESS", address}}},
      {"ctl, the default socket", {ctl, "inject", lamp}, {noNode}},
      {"runner, address in the environment",
       {runner, script},
       {noNode, {"SABLEWICK_ADDRESS", address}}},
      {"runner, the default socket", {runner, script}, {noNode}},
  };
  const std::string refused = "refused " + squatted + "/bus: it is served by uid 65534";
  const std::string notUs = "not by this user (uid " + std::to_string(::geteuid()) + ")";
  for (const Case& c : cases) {
    const Ran r = RunAsUser(c.argv, c.environment);
    EXPECT_NE(r.status, 0) << c.what;
    EXPECT_NE(r.status, -1) << c.what << ": it hung";
    EXPECT_NE(r.err.find(refused), std::string::npos) << c.what << ": " << r.err;
    EXPECT_NE(r.err.find(notUs), std::string::npos) << c.what << ": " << r.err;
  }
  EXPECT_EQ(fake->Received(), "") << "the other user's server was sent something";
}

}  // namespace
}  // namespace sablewick
