// The node under faults and hostile peers: settings files that are not files, start failures,
// bursts the kernel drops, children that outlive their handler, output that would fill the
// disk, clients that never read.
#include <signal.h>
#include <sys/stat.h>

#include <cstdlib>
#include <functional>

#include "tests/daemon/DaemonFixture.h"

namespace sablewick {
namespace {

using testing::Daemon;
using testing::DaemonTest;
using testing::ReadFile;
using testing::WriteFile;

// Whatever stands where a settings file should be, the node does not block, does not abort,
// and says which file is wrong and how, with exit status 1.
TEST_F(DaemonTest, ASettingsFileThatIsNoFileStopsTheStartInWords) {
  struct Case {
    const char* what;
    std::function<void(const std::string& config)> make;
    std::string said;
  };
  const Case cases[] = {
      {"Drumlin.ini a folder",
       [](const std::string& c) {
         ::unlink((c + "/Drumlin.ini").c_str());
         ::mkdir((c + "/Drumlin.ini").c_str(), 0755);
       },
       "/Config/Drumlin.ini is a folder, not a settings file"},
      {"Sablewick.ini a FIFO",
       [](const std::string& c) { ::mkfifo((c + "/Sablewick.ini").c_str(), 0644); },
       "/Config/Sablewick.ini is a FIFO, not a settings file"},
      // Where creating the missing file fails (a link to nowhere here; a read-only Config/ for
      // a user other than root).
      {"Sablewick.ini a dangling link",
       [](const std::string& c) {
         (void)!::symlink("/nonexistent/Sablewick.ini", (c + "/Sablewick.ini").c_str());
       },
       "/Config/Sablewick.ini is a symbolic link to a file that cannot be reached"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    daemon = std::make_unique<Daemon>();
    c.make(daemon->Root() + "/Config");
    daemon->Start();
    const int status = daemon->WaitExit(10000);
    EXPECT_EQ(status, 1);
    const std::string err = daemon->Stderr();
    EXPECT_NE(err.find("sablewick: cannot start: " + daemon->Root() + c.said), std::string::npos)
        << err;
    EXPECT_EQ(err.find("terminate called"), std::string::npos) << err;
    if (status < 0) daemon->Signal(SIGKILL);
  }
}

}  // namespace
}  // namespace sablewick
