// The program's state: one App object, owned by main and passed by reference. Everything the
// program keeps for its whole run hangs off it; nothing else in the program is mutable and
// global. The subsystems' objects are only named here; they are made, and destroyed, by the
// program (app/App.cpp), where every type is complete.
#pragma once

#include <functional>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "core/Clock.h"
#include "core/Errors.h"
#include "core/SlabResource.h"
#include "engine/HostObject.h"

typedef struct _GMainLoop GMainLoop;

namespace vbs {
class Engine;
}

namespace sablewick {

class Application;
class Control;
class Bridge;
class ChildReaper;
class Dispatcher;
class LogFile;
class TerminalCopy;
class ObjectServer;
class TcpClient;
class Recovery;
class RunJournal;
class ScriptStarter;
class Shell;
class TollkeepForm;
class WatchedDeviceTable;
class XapTransport;

// Where the sending helper hands finished messages: the transport, or a recorder in tests.
class XapSink {
 public:
  virtual ~XapSink() = default;
  // The texts are read during the call only.
  virtual void SendXap(std::string_view target, std::string_view cls, std::string_view section,
                       std::string_view data, std::string_view subaddress, std::string_view uid,
                       std::string_view targetSubaddress) = 0;
  // A complete xAP text, sent as it is. Throws when this sink cannot send raw text.
  virtual void SendRawXap(std::string_view text);
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
  // The folder of Config/, Data/ and Scripts/ when it is not the program's own (core/Folder.h:
  // --folder, SABLEWICK_FOLDER, or the user's data folder); empty for the portable install.
  std::string InstanceFolder;

  // The error left behind by the last failing step (see core/Errors.h).
  PendingError Err;
  // The log file, kept open (core/Log.h).
  std::unique_ptr<LogFile> logFile;
  // The copy of log lines on standard error, which never waits (core/Log.h).
  std::unique_ptr<TerminalCopy> terminal;

  const Clock* clock = &SystemClock();

  // The sending helper: where messages go, and what waits for the transport.
  XapSink* sink = nullptr;
  std::vector<XapQueuedMessage> sendQueue;

  // The memory of the messages the dispatcher's store keeps. Made before, so gone after,
  // everything that may still hold such a message (scripting objects, the engine, the server).
  SlabResource keptMessages;

  // The reaper of every child process; made by the first that needs it (the program makes it
  // at start-up, so that what scripts leave behind is reaped from the first run on). Declared
  // before everything that starts processes, so it goes after them.
  std::unique_ptr<ChildReaper> reaper;
  ChildReaper& Reaper();

  // Objects that live for the whole run.
  std::unique_ptr<XapTransport> xap;
  vbs::ObjectPtr<Application> application;  // the program's own scripting object
  // The one in-process script engine, shared by every scripting object and script load.
  std::unique_ptr<vbs::Engine> engine;
  std::unique_ptr<Dispatcher> dispatcher;
  std::unique_ptr<TcpClient> tcp;  // the scripts' outgoing TCP text
  // The journal of script runs, and what starts the scripts and follows them to their end.
  std::unique_ptr<RunJournal> runs;
  std::unique_ptr<ScriptStarter> starter;
  // The MQTT bridge; null unless [MQTT] Broker is set (bridge/).
  std::shared_ptr<Bridge> bridge;
  // What sablewick-ctl reaches through the object server. Members go in the reverse order:
  // the server's objects before the control state, both before the journal they watch.
  std::unique_ptr<Control> control;
  // Where other processes create "Sablewick.Application" and call its members.
  std::unique_ptr<ObjectServer> objectServer;

  // The hidden main window: owner of the main timers and the tray icon (app/). Lower layers
  // never call it; they use the hooks below, which the window sets.
  TollkeepForm* form = nullptr;
  // Shows activity on the tray icon (a message queued, a recovery step); empty without a desktop.
  std::function<void()> SwapIcons;
  // Sends one event report on the network (class Homeseer.Event). The program sets it to the
  // xAP sending helper when it makes the state (app/App.cpp).
  void (*SendEvent)(App& app, std::string_view time, std::string_view type,
                    std::string_view data) = nullptr;

  // The watchdog and recovery objects. Shared pointers because their types live in watchdog/
  // and a shared pointer needs the complete type only where the object is made.
  std::shared_ptr<WatchedDeviceTable> WatchedDevices;  // created empty by InitApplication
  std::shared_ptr<Recovery> recovery;  // Timer2 and its settings, made by InitHW
  std::shared_ptr<Shell> shell;        // the process-start shell, made by InitHW

  // The program's one pseudo-random source (the watchdog's echo values). Tests seed it.
  std::mt19937 random{std::random_device{}()};

  // The private address of the object server, passed to every process the program starts.
  std::string busAddress;

  GMainLoop* loop = nullptr;
  int exitCode = 0;
};

}  // namespace sablewick
