// The program's state: one App object, owned by main and passed by reference. Everything the
// program keeps for its whole run hangs off it; nothing else in the program is mutable and
// global.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "app/Clock.h"
#include "app/Errors.h"

typedef struct _GMainLoop GMainLoop;

namespace sablewick {

class Application;
class Dispatcher;
class TollkeepForm;
class XapTransport;

// Where the sending helper hands finished messages: the transport, or a recorder in tests.
class XapSink {
 public:
  virtual ~XapSink() = default;
  virtual void SendXap(const std::string& target, const std::string& cls,
                       const std::string& section, const std::string& data,
                       const std::string& subaddress, const std::string& uid,
                       const std::string& targetSubaddress) = 0;
};

// A message given to the sending helper before the transport was ready.
struct XapQueuedMessage {
  std::string MsgTarget, MsgUID, MsgClass, MsgSection, MsgData, MsgSubAddress,
      MsgTargetSubAddress;
};

struct App {
  App();
  ~App();
  App(const App&) = delete;
  App& operator=(const App&) = delete;

  // Program settings.
  std::string ComputerName;
  std::string AppPath;      // base folder, no trailing separator
  std::string ProgramPath;  // reported in the role reply
  std::string InterfaceAddress;
  std::string BroadcastAddress;
  std::string UID;
  bool xapReady = false;
  double StartupTime = 0;  // date type, local time
  std::string ExePath;     // the program file as the kernel reports it (/proc/self/exe)

  // The error left behind by the last failing step (see app/Errors.h).
  PendingError Err;

  const Clock* clock = &SystemClock();

  // The sending helper: where messages go, and what waits for the transport.
  XapSink* sink = nullptr;
  std::vector<XapQueuedMessage> sendQueue;

  // Objects that live for the whole run.
  std::unique_ptr<XapTransport> xap;
  std::unique_ptr<Application> application;
  std::unique_ptr<Dispatcher> dispatcher;

  // The hidden main window: owner of the main timers and the tray icon.
  TollkeepForm* form = nullptr;

  GMainLoop* loop = nullptr;
  int exitCode = 0;
};

}  // namespace sablewick
