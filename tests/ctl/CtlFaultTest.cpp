// sablewick-ctl under faults: files that are not files, hostile text, a message that cannot be
// sent, a reader that stopped reading.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "script/BusValue.h"
#include "tests/PrivateBus.h"
#include "tests/ctl/CtlHarness.h"
#include "tests/daemon/DaemonFixture.h"

namespace sablewick {
namespace {

using testing::CtlResult;
using testing::DaemonTest;
using testing::TempDir;
using testing::WriteFile;

class CtlFaults : public DaemonTest {
 protected:
  CtlResult Run(const std::vector<std::string>& args, const std::string& input = "") {
    return testing::RunCtl(daemon->RuntimeDir(), args, input);
  }
};

// What stands where a settings file should be is said, file by file; nothing blocks.
TEST(CtlCheckFaults, SettingsThatAreNoFilesAreProblemsOfTheirFile) {
  TempDir dir;
  const std::string config = dir.Path() + "/Config";
  std::filesystem::create_directories(config + "/Drumlin.ini");
  ASSERT_EQ(::mkfifo((config + "/Sablewick.ini").c_str(), 0644), 0);
  CtlResult r = testing::RunCtl(dir.Path(), {"check", dir.Path()});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("Config/Drumlin.ini: problem: a folder, not a file: the node does not start"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Config/Sablewick.ini: problem: a FIFO, not a file: the node does not start"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find(": 2 problems\n"), std::string::npos) << r.out;
}

// A hostile file's escape sequences (a title change, a colour, an 8-bit CSI) are shown, never
// handed to the terminal.
TEST(CtlCheckFaults, EscapeSequencesFromAFileAreShownEscaped) {
  TempDir dir;
  std::filesystem::create_directories(dir.Path() + "/Config");
  WriteFile(dir.Path() + "/Config/Drumlin.ini",
            "[Interface]\nBroadcast\x1b]0;owned\x07" "Address=1\n"
            "InterfaceAddress=\x1b[31mred\xc2\x9b" "2J\n");
  CtlResult r = testing::RunCtl(dir.Path(), {"check", dir.Path()});
  EXPECT_EQ(r.status, 1) << r.out;
  for (char c : r.out)
    EXPECT_FALSE((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f)
        << "a control byte " << int(c) << " in:\n" << r.out;
  EXPECT_EQ(r.out.find("\xc2\x9b"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Broadcast\\x1b]0;owned\\x07Address"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("\\x1b[31mred\\u009b2J"), std::string::npos) << r.out;
}

TEST_F(CtlFaults, InjectTakesOnlyAnXapMessageFromARegularFile) {
  StartAndGreet();
  const std::string fifo = daemon->Root() + "/pipe";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  CtlResult r = Run({"inject", fifo});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "sablewick-ctl: cannot read " + fifo + ": a FIFO, not a file\n");

  std::string junk;
  for (int i = 0; i < 300; ++i) junk += static_cast<char>((i * 7919 + 13) % 256);
  for (const std::string& text : {junk, std::string("hello\n{\nx=1\n}\n")}) {
    r = Run({"inject", "-"}, text);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("not an xAP message"), std::string::npos) << r.err;
  }
  EXPECT_NE(Run({"--json", "status"}).out.find("\"dispatched\":0,"), std::string::npos);
}

TEST_F(CtlFaults, AMessageLargerThanADatagramIsNotSent) {
  StartAndGreet();
  CtlResult r = Run({"--json", "send", "-", "test.class", "Body", "v=" + std::string(100000, 'x')});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("not sent"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Message too long"), std::string::npos) << r.err;
}

// A follower whose reader stopped reading blocks in write(); SIGTERM (or SIGINT) still ends it.
TEST_F(CtlFaults, AFollowerBlockedOnAFullPipeEndsOnASignal) {
  StartAndGreet();
  for (int sig : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(sig);
    int out[2];
    ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(out[1], 1);
      ::setenv("XDG_RUNTIME_DIR", daemon->RuntimeDir().c_str(), 1);
      ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
      ::unsetenv("SABLEWICK_ADDRESS");
      ::execl(SABLEWICK_CTL, SABLEWICK_CTL, "trace", "-f", "--text", nullptr);
      ::_exit(127);
    }
    ::close(out[1]);
    // Lamps until the pipe is full (nobody reads it).
    int waiting = 0;
    for (int i = 0; i < 2000 && waiting < 32768; ++i) {
      hub.SendTo(port, Query("class=xAPBSC.event\n", "Lamp\n{\nstate=" + std::string(1000, 'x') +
                                                     "\n}\n"));
      ::usleep(2000);
      ::ioctl(out[0], FIONREAD, &waiting);
    }
    EXPECT_GE(waiting, 32768) << "the pipe did not fill";
    // More than the rest of the pipe holds: the tool is blocked in write() now.
    for (int i = 0; i < 100; ++i)
      hub.SendTo(port, Query("class=xAPBSC.event\n", "Lamp\n{\nstate=" + std::string(1000, 'y') +
                                                     "\n}\n"));
    ::usleep(300000);
    ::kill(pid, sig);
    int status = 0, ended = 0;
    for (int i = 0; i < 500 && ended == 0; ++i) {
      ended = ::waitpid(pid, &status, WNOHANG);
      if (ended == 0) ::usleep(10000);
    }
    EXPECT_EQ(ended, pid) << "still blocked 5 s after the signal";
    if (ended == 0) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
    }
    ::close(out[0]);
  }
}

// A burst the kernel drops while the node cannot read is counted without waiting for another
// datagram: in status, and in the log at the end.
TEST_F(CtlFaults, KernelDropsOfABurstShowInStatusAndAtShutdown) {
  StartAndGreet();
  const std::string datagram =
      Query("class=xAPBSC.event\n", "Lamp\n{\nstate=" + std::string(1000, 'x') + "\n}\n");
  daemon->Signal(SIGSTOP);
  // Far more than the socket's buffer holds.
  for (int i = 0; i < 20000; ++i) hub.SendTo(port, datagram);
  daemon->Signal(SIGCONT);
  CtlResult status = Run({"--json", "status"});
  ASSERT_EQ(status.status, 0) << status.err;
  const size_t at = status.out.find("\"kernel_dropped\":");
  ASSERT_NE(at, std::string::npos) << status.out;
  EXPECT_GT(std::atol(status.out.c_str() + at + 17), 0) << status.out;
  daemon->Signal(SIGTERM);
  EXPECT_EQ(daemon->WaitExit(10000), 0);
  EXPECT_NE(daemon->Log().find("Receive socket full: "), std::string::npos) << daemon->Log();
}

// On the session bus the bus daemon, not the node, would queue for a follower that stops
// reading (up to a gigabyte): the node serves followers on its private socket only, and the
// tool goes there by itself.
TEST_F(CtlFaults, FollowersAreServedOnThePrivateSocketOnly) {
  testing::PrivateBus bus;
  ASSERT_FALSE(bus.Address().empty()) << "no dbus-daemon";
  daemon->sessionBus = bus.Address();
  StartAndGreet();
  sd_bus* client = nullptr;
  ASSERT_GE(sd_bus_new(&client), 0);
  ASSERT_GE(sd_bus_set_address(client, bus.Address().c_str()), 0);
  ASSERT_GE(sd_bus_set_bus_client(client, 1), 0);
  ASSERT_GE(sd_bus_start(client), 0);
  for (const char* member : {"FollowTrace", "FollowRuns"}) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = -1;
    for (int i = 0; i < 250; ++i) {  // until the node owns its name
      sd_bus_error_free(&error);
      r = std::string(member) == "FollowRuns"
              ? sd_bus_call_method(client, kBusName, kControlPath, kControlInterface, member,
                                   &error, nullptr, "")
              : sd_bus_call_method(client, kBusName, kControlPath, kControlInterface, member,
                                   &error, nullptr, "vvvv", "s", "", "s", "", "s", "", "s", "");
      if (r >= 0 || (error.message && std::string(error.message).find("private socket") !=
                                          std::string::npos))
        break;
      ::usleep(20000);
    }
    EXPECT_LT(r, 0) << member << " accepted on the session bus";
    EXPECT_NE(std::string(error.message ? error.message : "").find("private socket"),
              std::string::npos)
        << member << ": " << (error.message ? error.message : "");
    sd_bus_error_free(&error);
  }
  sd_bus_flush_close_unref(client);
}

}  // namespace
}  // namespace sablewick
