// The node's side of sablewick-ctl: the control service on the object server (one
// ControlObject per client at kControlPath), the trace of received messages and the fields of
// the node's status.
//
// Everything the tool asks for goes through the member table of ControlObject, so that the
// interface org.sablewick.Sablewick.Control is generated like the scripting classes' ones.
// Results are plain values: a record is a one-dimension array of names and values in turn
// (name, value, name, value, ...), a list is an array of records.
//
// The trace records only while someone looks: while a client follows it (trace -f), and for
// kTraceLingerSeconds after the last look without -f, so that the next look shows what came
// in between. Otherwise the dispatcher has no trace hook at all and pays nothing for it.
#pragma once

#include <glib.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/App.h"
#include "engine/HostObject.h"
#include "script/BusValue.h"
#include "script/ObjectServer.h"

namespace sablewick {

class ClientLink;
class ControlObject;
struct ScriptRun;
class ObjectServer;
class XapMessage;
struct TraceEvent;

// A status field: a name, dotted to group ("messages.received"), and its value.
struct StatusField {
  std::string name;
  vbs::Variant value;
};
using StatusFields = std::vector<StatusField>;

// What a reload did (the program's reload: sablewick-ctl reload and SIGHUP). The tool prints
// its lines, the same the log got.
struct ReloadReport {
  struct Change {
    std::string file, section, key;  // "Sablewick.ini", "Log", "MaxFileKB"
    std::string before, after;       // as the file holds them; "(not set)" when missing
    std::string effect;              // "applies now", "ignored until the node restarts", ...
    bool live = true;                // false: ignored until the node restarts
  };
  std::vector<Change> changes;
  std::vector<std::string> problems;  // the settings check's problems
  std::string bridge;                 // what became of the MQTT bridge
  long removed = 0;                   // subscriptions removed
  std::string startup;                // what became of the start-up script
  std::vector<std::string> lines;     // the summary, line by line, as logged
};

// The four filters of a trace, with the subscriptions' rules; an empty one passes anything.
struct TraceFilter {
  std::string target, cls, section, source;
  bool Passes(const XapMessage& msg) const;
};

class Control {
 public:
  static constexpr size_t kTraceEntries = 1000;
  static constexpr size_t kTraceBytes = 4u << 20;
  static constexpr unsigned kTraceLingerSeconds = 600;
  static constexpr size_t kMaxDatagram = 65507;

  explicit Control(App& app);
  ~Control();
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  // Serves the control interface on the server.
  void Serve(ObjectServer& server);
  // A subsystem's fields in the status: fill runs at every status call and appends its
  // fields, named "<subsystem>.<field>".
  void AddStatus(std::function<void(StatusFields&)> fill);

  vbs::Variant Status() const;
  vbs::Variant Subscriptions() const;
  vbs::Variant Unsubscribe(long position);
  // Subscribes as a script does (SelectXapMessage): the subscription's record, with "added"
  // false when it was there already and "problem" saying why its script cannot start now.
  vbs::Variant Subscribe(const std::string& target, const std::string& cls,
                         const std::string& section, const std::string& source,
                         const std::string& script);
  // The recorded messages that pass the filter, oldest first; starts or prolongs recording.
  vbs::Variant TraceEntries(const TraceFilter& filter);
  vbs::Variant Inject(const std::string& text, bool dryRun);
  // The journal's runs after the one with id since, oldest first.
  vbs::Variant Runs(double since) const;
  static vbs::Variant RunRecord(const ScriptRun& run);
  void Send(const std::string& target, const std::string& cls, const std::string& section,
            const std::vector<std::string>& items);
  // Reads the settings again, removes the subscriptions and runs the start-up script again
  // (OnReload, which the program sets); the report as a record.
  vbs::Variant Reload();
  std::function<ReloadReport()> OnReload;

  // One received message as the trace keeps it; shared by the ring and followers' batches.
  struct TraceEntry {
    size_t Bytes() const {
      return text.size() + sections.size() + source.size() + target.size() + cls.size() +
             sizeof *this;
    }
    uint64_t seq;
    double time;  // seconds since 1970
    bool injected;
    std::string source, target, cls, sections;
    std::vector<int> matched;
    std::string text;
  };

  void AddTraceFollower(ControlObject* follower);
  void RemoveFollower(ControlObject* follower);

  void CountRunFollower(int change) { runFollowers_ += change; }

 private:

  void KeepTraced(const TraceEvent& event);
  static vbs::Variant EntryRecord(const TraceEntry& entry);
  // Hooks the dispatcher while someone looks, unhooks it when nobody does.
  void UpdateRecording();
  static gboolean OnLingerEnd(gpointer self);

  App& app_;
  gint64 started_;  // monotonic microseconds
  std::vector<std::function<void(StatusFields&)>> statusFills_;

  std::deque<std::shared_ptr<const TraceEntry>> trace_;
  size_t traceBytes_ = 0;
  uint64_t traceSeq_ = 0;
  bool recording_ = false;
  guint lingerTimer_ = 0;
  std::vector<ControlObject*> traceFollowers_;
  long runFollowers_ = 0;
};

// The object each client of the control service gets; it lives while the client's
// connection does, and with it end the client's follows.
class ControlObject : public vbs::TableObject<ControlObject> {
 public:
  static constexpr std::string_view kTypeName = "Control";
  static const std::span<const vbs::Member<ControlObject>> kMembers;
  static constexpr SignalSpec kSignals[] = {{"Traced", kTracedSignature}, {"Run", "(qv)"}};

  ControlObject(App& app, std::shared_ptr<ClientLink> link);
  ~ControlObject() override;

  Control& Hub() const;
  // Following needs a connection whose queue the node sees (see ClientLink::Bounded).
  void RequireBoundedLink() const;
  void FollowTrace(TraceFilter filter);
  // From now on every run that starts or ends goes to the client as the signal Run.
  void FollowRuns();
  // Queues a traced message for the client when it passes the client's filter. The queue goes
  // out as one signal (a list) when the loop is idle or the batch is full: one message on the
  // bus per batch keeps a follower cheap under a flood.
  void Traced(const XapMessage& msg, std::shared_ptr<const Control::TraceEntry> entry);
  void FlushTraced();

  static constexpr size_t kBatchRecords = 1000;
  static constexpr size_t kBatchBytes = 64u << 10;

 private:
  // The table kMembers views: sized only in the .cpp, so nothing else iterates it.
  static const vbs::Member<ControlObject> kMemberTable[];
  App& app_;
  std::shared_ptr<ClientLink> link_;
  bool followsTrace_ = false;
  TraceFilter filter_;
  uint64_t lost_ = 0;  // messages dropped because the client did not keep up
  std::vector<std::shared_ptr<const Control::TraceEntry>> batch_;
  size_t batchBytes_ = 0;
  guint flush_ = 0;
  uint64_t runWatch_ = 0;
  uint64_t runsLost_ = 0;
};

}  // namespace sablewick
