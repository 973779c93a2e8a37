#include "script/Control.h"

#include <systemd/sd-bus.h>
#include <unistd.h>

#include <algorithm>

#include "core/ChildReaper.h"
#include "core/Errors.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "engine/Errors.h"
#include "engine/Variant.h"
#include "script/Application.h"
#include "script/BusValue.h"
#include "script/Dispatcher.h"
#include "script/ObjectServer.h"
#include "script/Process.h"
#include "script/RunJournal.h"
#include "xap/SendHelper.h"
#include "xap/Transport.h"
#include "xap/XapMessage.h"

namespace sablewick {
namespace {

using vbs::Args;
using vbs::MemberKind;
using vbs::Variant;

// Counters travel as Double: exact up to 2^53, where Long would end at 2^31.
Variant Count(uint64_t n) { return Variant::Double(static_cast<double>(n)); }
Variant Str(std::string s) { return Variant::String(std::move(s)); }

Variant ArrayOf(const std::vector<Variant>& items) {
  Variant array = vbs::NewArray({static_cast<int32_t>(items.size())});
  for (size_t i = 0; i < items.size(); ++i) {
    const int32_t index = static_cast<int32_t>(i);
    vbs::ArrayElement(*array.AsArray(), &index, 1) = items[i];
  }
  return array;
}

// A record: names and values in turn.
class Record {
 public:
  Record& Add(std::string_view name, Variant value) {
    items_.push_back(Str(std::string(name)));
    items_.push_back(std::move(value));
    return *this;
  }
  Variant Take() const { return ArrayOf(items_); }

 private:
  std::vector<Variant> items_;
};

// The client learns how many signals it missed with the next one that gets through.
Variant WithLost(const Variant& record, uint64_t lost) {
  if (lost == 0) return record;
  std::vector<Variant> items = record.AsArray()->data;
  items.push_back(Str("lost"));
  items.push_back(Count(lost));
  return ArrayOf(items);
}

Record SubscriptionRecord(const ScriptVBS& s, long position) {
  Record r;
  r.Add("position", Variant::Long(static_cast<int32_t>(position)))
      .Add("target", Str(s.Target))
      .Add("class", Str(s.Schema))
      .Add("section", Str(s.Section))
      .Add("source", Str(s.Source))
      .Add("script", Str(s.Script));
  return r;
}

double UnixNow() { return static_cast<double>(g_get_real_time()) / 1e6; }

// Text fields of a message sent from the tool: a line break or a brace would cut the message
// into other sections than the caller wrote.
void CheckField(std::string_view what, std::string_view text) {
  if (text.find_first_of("\r\n{}") != std::string_view::npos || text.find('\0') != text.npos)
    throw vbs::ScriptError(vbs::kInvalidCall,
                           std::string(what) + " may not hold line breaks, braces or NUL");
}

std::string ArgText(Args a, size_t i) {
  return vbs::ToExternal(a[i]->Deref());
}

TraceFilter FilterOf(Args a) {
  return TraceFilter{ArgText(a, 0), ArgText(a, 1), ArgText(a, 2), ArgText(a, 3)};
}

}  // namespace

bool TraceFilter::Passes(const XapMessage& msg) const {
  return (source.empty() || msg.CompareSource(source)) &&
         (target.empty() || msg.CompareTarget(target)) &&
         (cls.empty() || msg.CompareClass(cls)) && (section.empty() || msg.CompareSection(section));
}

// ---- Control ---------------------------------------------------------------------------

Control::Control(App& app) : app_(app), started_(g_get_monotonic_time()) {}

Control::~Control() {
  if (lingerTimer_ != 0) g_source_remove(lingerTimer_);
  if (recording_ && app_.dispatcher) app_.dispatcher->Trace = nullptr;
}

void Control::Serve(ObjectServer& server) {
  App* app = &app_;
  server.RegisterService<ControlObject>(kControlPath, [app](std::shared_ptr<ClientLink> link) {
    return vbs::MakeObject<ControlObject>(*app, std::move(link));
  });
}

void Control::AddStatus(std::function<void(StatusFields&)> fill) {
  statusFills_.push_back(std::move(fill));
}

Variant Control::Status() const {
  Record r;
  r.Add("version", Str(SABLEWICK_VERSION));
  r.Add("pid", Variant::Long(static_cast<int32_t>(::getpid())));
  r.Add("uptime", Variant::Double(static_cast<double>(g_get_monotonic_time() - started_) / 1e6));
  r.Add("folder", Str(app_.AppPath));
  r.Add("program", Str(app_.ProgramPath));
  r.Add("address", Str(app_.busAddress));
  if (XapTransport* xap = app_.xap.get()) {
    xap->PollKernelDrops();
    r.Add("source", Str(xap->XapSource()));
    r.Add("uid", Str(xap->XapUID()));
    r.Add("port", Variant::Long(xap->ListenPort()));
    r.Add("interface", Str(xap->LocalAddress()));
    r.Add("broadcast", Str(xap->SendAddress()));
    // Only while no hub forwards to the node: its absence says all is well.
    if (!xap->HubHint().empty()) r.Add("hub", Str(xap->HubHint()));
    r.Add("messages.received", Count(xap->Received()));
    r.Add("messages.dropped", Count(xap->Dropped()));
    r.Add("messages.kernel_dropped", Count(xap->KernelDropped()));
    r.Add("messages.queued", Count(xap->QueueLength()));
  }
  if (const Dispatcher* d = app_.dispatcher.get()) {
    r.Add("messages.dispatched", Count(d->Count.dispatched));
    r.Add("messages.matched", Count(d->Count.matched));
    r.Add("messages.injected", Count(d->Count.injected));
    r.Add("messages.stored", Count(d->Store.Count()));
    r.Add("messages.store_dropped", Count(d->Count.storeDropped));
    r.Add("answers.role", Count(d->Count.roleAnswers));
    r.Add("answers.echo", Count(d->Count.echoAnswers));
    r.Add("scripts.subscriptions", Count(d->Subscriptions.size()));
  }
  if (const RunJournal* runs = app_.runs.get()) {
    r.Add("scripts.started", Count(runs->Started()));
    r.Add("scripts.failed", Count(runs->Failed()));
    r.Add("scripts.running", Count(runs->Running()));
  }
  // Processes that came to the node without a watcher (what scripts left behind) and ended.
  if (const ChildReaper* reaper = app_.reaper.get()) {
    r.Add("processes.orphans_reaped", Count(reaper->Unwatched()));
  }
  r.Add("trace.recording", Variant::Boolean(recording_));
  r.Add("trace.followers", Count(traceFollowers_.size()));
  r.Add("runs.followers", Count(runFollowers_));
  StatusFields more;
  for (const auto& fill : statusFills_) fill(more);
  for (auto& f : more) r.Add(f.name, std::move(f.value));
  return r.Take();
}

Variant Control::Subscriptions() const {
  std::vector<Variant> list;
  if (!app_.dispatcher) return ArrayOf(list);
  const auto& subs = app_.dispatcher->Subscriptions;
  const std::vector<ScriptRun> kept = app_.runs ? app_.runs->Runs() : std::vector<ScriptRun>();
  for (size_t i = 0; i < subs.size(); ++i) {
    const ScriptVBS& s = subs[i];
    // Its runs among those the journal keeps: started at its position for its filters.
    uint64_t runs = 0;
    std::string lastExit;
    for (const ScriptRun& run : kept) {
      if (run.position != static_cast<int>(i + 1) || run.script != s.Script ||
          run.target != s.Target || run.schema != s.Schema || run.section != s.Section ||
          run.source != s.Source)
        continue;
      ++runs;
      if (!run.running) lastExit = run.Outcome();
    }
    list.push_back(SubscriptionRecord(s, static_cast<long>(i + 1))
                       .Add("queued", Count(static_cast<uint64_t>(s.MessageCount())))
                       .Add("runs", Count(runs))
                       .Add("last_exit", Str(lastExit))
                       .Take());
  }
  return ArrayOf(list);
}

Variant Control::Unsubscribe(long position) {
  if (!app_.dispatcher) vbs::Throw(vbs::kObjectRequired);
  auto& subs = app_.dispatcher->Subscriptions;
  if (position < 1 || position > static_cast<long>(subs.size()))
    throw vbs::ScriptError(vbs::kSubscriptOutOfRange,
                           "no subscription at position " + std::to_string(position) + " (" +
                               std::to_string(subs.size()) + " in all)");
  const ScriptVBS& s = subs[static_cast<size_t>(position - 1)];
  Variant removed = SubscriptionRecord(s, position).Take();
  subs.erase(subs.begin() + (position - 1));
  return removed;
}

Variant Control::Subscribe(const std::string& target, const std::string& cls,
                           const std::string& section, const std::string& source,
                           const std::string& script) {
  if (!app_.dispatcher) vbs::Throw(vbs::kObjectRequired);
  if (script.empty()) throw vbs::ScriptError(vbs::kInvalidCall, "a subscription needs a script");
  if (!IsAbsolute(script)) {
    try {
      JoinInside(app_.AppPath + "/Scripts", script);
    } catch (const Failure& f) {
      throw vbs::ScriptError(f.Number(), f.what());
    }
  }
  auto& subs = app_.dispatcher->Subscriptions;
  const size_t before = subs.size();
  vbs::MakeObject<Application>(app_)->SelectXapMessage(target, cls, section, source, script);
  const bool added = subs.size() > before;
  for (size_t i = added ? subs.size() - 1 : 0; i < subs.size(); ++i) {
    const ScriptVBS& s = subs[i];
    // Already there: the one with these filters and a script of that name.
    if (!added &&
        (s.Target != ToLower(target) || s.Schema != ToLower(cls) || s.Section != ToLower(section) ||
         s.Source != ToLower(source) || !EqualsNoCase(BaseName(s.Script), BaseName(script))))
      continue;
    std::string problem;
    try {
      ScriptCommand(app_, s.Script, {});
    } catch (const std::exception& e) {
      problem = e.what();
    }
    return SubscriptionRecord(s, static_cast<long>(i + 1))
        .Add("added", Variant::Boolean(added))
        .Add("problem", Str(problem))
        .Take();
  }
  throw vbs::ScriptError(vbs::kInvalidCall, "the subscription could not be made (see the log)");
}

Variant Control::TraceEntries(const TraceFilter& filter) {
  // The next look sees what arrives until then.
  if (lingerTimer_ != 0) g_source_remove(lingerTimer_);
  lingerTimer_ = g_timeout_add_seconds(kTraceLingerSeconds, &Control::OnLingerEnd, this);
  UpdateRecording();
  std::vector<Variant> list;
  const bool all = filter.target.empty() && filter.cls.empty() && filter.section.empty() &&
                   filter.source.empty();
  for (const auto& entry : trace_) {
    const TraceEntry& e = *entry;
    if (!all) {
      XapMessage msg(&app_);
      msg.Init();
      msg.FromXap(e.text);
      if (!filter.Passes(msg)) continue;
    }
    list.push_back(EntryRecord(e));
  }
  return ArrayOf(list);
}

gboolean Control::OnLingerEnd(gpointer self) {
  auto* c = static_cast<Control*>(self);
  c->lingerTimer_ = 0;
  c->UpdateRecording();
  return G_SOURCE_REMOVE;
}

void Control::UpdateRecording() {
  const bool wanted = !traceFollowers_.empty() || lingerTimer_ != 0;
  if (wanted == recording_ || !app_.dispatcher) return;
  recording_ = wanted;
  if (wanted) {
    app_.dispatcher->Trace = [this](const TraceEvent& e) { KeepTraced(e); };
  } else {
    app_.dispatcher->Trace = nullptr;
  }
}

void Control::KeepTraced(const TraceEvent& event) {
  bool targeted = false;
  for (int i = 0; i < event.msg.HeaderCount() && !targeted; ++i) {
    targeted = EqualsNoCase(event.msg.HeaderItem(i).first, "target");
  }
  auto e = std::make_shared<TraceEntry>(TraceEntry{++traceSeq_,
                                                   UnixNow(),
                                                   event.injected,
                                                   event.msg.msgSource,
                                                   targeted ? std::string(event.msg.MsgTarget.view()) : std::string(),
                                                   event.msg.MsgClass,
                                                   {},
                                                   {event.matched.begin(), event.matched.end()},
                                                   std::string(event.text)});
  for (const std::string& s : event.msg.MsgSection()) {
    if (!e->sections.empty()) e->sections += ',';
    e->sections += s;
  }
  const size_t bytes = e->Bytes();
  while (!trace_.empty() &&
         (trace_.size() >= kTraceEntries || traceBytes_ + bytes > kTraceBytes)) {
    traceBytes_ -= trace_.front()->Bytes();
    trace_.pop_front();
  }
  traceBytes_ += bytes;
  trace_.push_back(e);
  if (traceFollowers_.empty()) return;
  // A follower may go while we send (its connection can drop): walk a copy.
  const std::vector<ControlObject*> followers = traceFollowers_;
  for (ControlObject* f : followers)
    if (std::find(traceFollowers_.begin(), traceFollowers_.end(), f) != traceFollowers_.end())
      f->Traced(event.msg, e);
}

Variant Control::EntryRecord(const TraceEntry& e) {
  std::vector<Variant> matched;
  for (int p : e.matched) matched.push_back(Variant::Long(p));
  Record r;
  r.Add("seq", Count(e.seq))
      .Add("time", Variant::Double(e.time))
      .Add("injected", Variant::Boolean(e.injected))
      .Add("source", Str(e.source));
  // A message without a target has no target member (not the parser's "Unknown").
  if (!e.target.empty()) r.Add("target", Str(e.target));
  return r
      .Add("class", Str(e.cls))
      .Add("sections", Str(e.sections))
      .Add("matched", ArrayOf(matched))
      .Add("text", Str(e.text))
      .Take();
}

Variant Control::Inject(const std::string& text, bool dryRun) {
  if (!app_.dispatcher) vbs::Throw(vbs::kObjectRequired);
  // What the network could bring: one datagram. The trace keeps the text.
  if (text.size() > kMaxDatagram)
    throw vbs::ScriptError(vbs::kInvalidCall, "the message is longer than one datagram (" +
                                                  std::to_string(kMaxDatagram) + " bytes)");
  // What the node would drop unread off the network is not "dispatched" either.
  {
    XapMessage msg(&app_);
    msg.Init();
    msg.FromXap(text);
    if (!msg.Parsed())
      throw vbs::ScriptError(vbs::kInvalidCall,
                             "not an xAP message: it does not begin with an xAP header block");
  }
  const uint64_t before = app_.dispatcher->MessageCounter;
  std::vector<int> matched = app_.dispatcher->Inject(text, dryRun);
  std::vector<Variant> positions;
  for (int p : matched) positions.push_back(Variant::Long(p));
  const uint64_t counter = app_.dispatcher->MessageCounter;
  return Record()
      .Add("dry_run", Variant::Boolean(dryRun))
      .Add("handle", Str(!dryRun && counter != before ? "M" + std::to_string(counter) : ""))
      .Add("matched", ArrayOf(positions))
      .Take();
}

Variant Control::Runs(double since) const {
  std::vector<Variant> list;
  if (app_.runs)
    for (const ScriptRun& run : app_.runs->Runs())
      if (static_cast<double>(run.id) > since) list.push_back(RunRecord(run));
  return ArrayOf(list);
}

Variant Control::RunRecord(const ScriptRun& run) {
  return Record()
      .Add("id", Count(run.id))
      .Add("start", Variant::Double(run.startTime))
      .Add("end", Variant::Double(run.endTime))
      .Add("position", Variant::Long(run.position))
      .Add("target", Str(run.target))
      .Add("class", Str(run.schema))
      .Add("section", Str(run.section))
      .Add("source", Str(run.source))
      .Add("script", Str(run.script))
      .Add("pid", Variant::Long(static_cast<int32_t>(run.pid)))
      .Add("queued", Variant::Long(run.queuedAtStart))
      .Add("fetched", Variant::Long(run.fetched))
      .Add("running", Variant::Boolean(run.running))
      .Add("outcome", Str(run.Outcome()))
      .Add("exit_status", Variant::Long(run.exitStatus))
      .Add("signal", Variant::Long(run.signal))
      .Add("timed_out", Variant::Boolean(run.timedOut))
      .Add("duration", Variant::Double(run.Duration()))
      .Add("stderr", Str(run.stderrTail))
      .Add("gave_up", Variant::Long(run.gaveUp))
      .Take();
}

void Control::Send(const std::string& target, const std::string& cls, const std::string& section,
                   const std::vector<std::string>& items) {
  CheckField("the target", target);
  CheckField("the class", cls);
  CheckField("the section", section);
  if (cls.empty() || section.empty())
    throw vbs::ScriptError(vbs::kInvalidCall, "a message needs a class and a section");
  std::string data;
  for (const std::string& item : items) {
    const size_t eq = item.find('=');
    if (eq == std::string::npos || eq == 0)
      throw vbs::ScriptError(vbs::kInvalidCall, "an item is NAME=VALUE, not \"" + item + "\"");
    CheckField("an item", item);
    if (!data.empty()) data += '\0';
    data.append(item, 0, eq).append(1, '\1').append(item, eq + 1);
  }
  // A message that cannot go out (larger than a datagram, no route) is the caller's failure.
  try {
    SendXapOrThrow(app_, target, cls, section, data);
  } catch (const Failure& f) {
    throw vbs::ScriptError(f.Number() != 0 ? f.Number() : kGenericFailure,
                           std::string("not sent: ") + f.what());
  }
}

Variant Control::Reload() {
  if (!OnReload) throw vbs::ScriptError(vbs::kInvalidCall, "the node is not started yet");
  const ReloadReport report = OnReload();
  std::vector<Variant> changes, problems, lines;
  for (const ReloadReport::Change& c : report.changes) {
    changes.push_back(Record()
                          .Add("file", Str(c.file))
                          .Add("section", Str(c.section))
                          .Add("key", Str(c.key))
                          .Add("old", Str(c.before))
                          .Add("new", Str(c.after))
                          .Add("live", Variant::Boolean(c.live))
                          .Add("effect", Str(c.effect))
                          .Take());
  }
  for (const std::string& p : report.problems) problems.push_back(Str(p));
  for (const std::string& l : report.lines) lines.push_back(Str(l));
  return Record()
      .Add("changes", ArrayOf(changes))
      .Add("problems", ArrayOf(problems))
      .Add("bridge", Str(report.bridge))
      .Add("subscriptions_removed", Variant::Long(static_cast<int32_t>(report.removed)))
      .Add("startup", Str(report.startup))
      .Add("summary", ArrayOf(lines))
      .Take();
}

void Control::AddTraceFollower(ControlObject* follower) {
  if (std::find(traceFollowers_.begin(), traceFollowers_.end(), follower) == traceFollowers_.end())
    traceFollowers_.push_back(follower);
  UpdateRecording();
}

void Control::RemoveFollower(ControlObject* follower) {
  std::erase(traceFollowers_, follower);
  UpdateRecording();
}

// ---- ControlObject ---------------------------------------------------------------------

ControlObject::ControlObject(App& app, std::shared_ptr<ClientLink> link)
    : app_(app), link_(std::move(link)) {}

ControlObject::~ControlObject() {
  if (flush_ != 0) g_source_remove(flush_);
  if (app_.control) app_.control->RemoveFollower(this);
  if (runWatch_ != 0 && app_.runs) app_.runs->Unwatch(runWatch_);
  if (runWatch_ != 0 && app_.control) app_.control->CountRunFollower(-1);
}

void ControlObject::RequireBoundedLink() const {
  if (link_ && !link_->Bounded())
    throw vbs::ScriptError(vbs::kInvalidCall,
                           "follow through the node's private socket (" + app_.busAddress +
                               "): on the session bus a follower that stops reading cannot be "
                               "bounded");
}

void ControlObject::FollowRuns() {
  if (runWatch_ != 0) return;
  RequireBoundedLink();
  if (!app_.runs) vbs::Throw(vbs::kObjectRequired);
  Hub().CountRunFollower(+1);
  runWatch_ = app_.runs->Watch([this](const ScriptRun& run, RunJournal::Change) {
    if (link_ && link_->Emit("Run", WithLost(Control::RunRecord(run), runsLost_))) {
      runsLost_ = 0;
    } else {
      ++runsLost_;
    }
  });
}

Control& ControlObject::Hub() const {
  if (!app_.control) vbs::Throw(vbs::kObjectRequired);
  return *app_.control;
}

void ControlObject::FollowTrace(TraceFilter filter) {
  RequireBoundedLink();
  filter_ = std::move(filter);
  followsTrace_ = true;
  Hub().AddTraceFollower(this);
}

void ControlObject::Traced(const XapMessage& msg,
                           std::shared_ptr<const Control::TraceEntry> entry) {
  if (!followsTrace_ || !filter_.Passes(msg)) return;
  batchBytes_ += entry->Bytes();
  batch_.push_back(std::move(entry));
  if (batch_.size() >= kBatchRecords || batchBytes_ >= kBatchBytes) {
    FlushTraced();
  } else if (flush_ == 0) {
    flush_ = g_idle_add(
        [](gpointer self) {
          auto* o = static_cast<ControlObject*>(self);
          o->flush_ = 0;
          o->FlushTraced();
          return gboolean(G_SOURCE_REMOVE);
        },
        this);
  }
}

void ControlObject::FlushTraced() {
  if (batch_.empty()) return;
  const auto fill = [&](sd_bus_message* m) {
    auto bytes = [m](const std::string& s) { return sd_bus_message_append_array(m, 'y', s.data(), s.size()); };
    int r = sd_bus_message_open_container(m, 'a', kTracedSignature + 1);
    bool first = true;
    for (const auto& entry : batch_) {
      const Control::TraceEntry& e = *entry;
      if (r >= 0) r = sd_bus_message_open_container(m, 'r', "tdbayayayayauayt");
      if (r >= 0) r = sd_bus_message_append(m, "tdb", e.seq, e.time, static_cast<int>(e.injected));
      for (const std::string* s : {&e.source, &e.target, &e.cls, &e.sections})
        if (r >= 0) r = bytes(*s);
      if (r >= 0) r = sd_bus_message_append_array(m, 'u', e.matched.data(), e.matched.size() * sizeof(int));
      if (r >= 0) r = bytes(e.text);
      if (r >= 0) r = sd_bus_message_append(m, "t", first ? lost_ : uint64_t{0});
      if (r >= 0) r = sd_bus_message_close_container(m);
      first = false;
    }
    if (r >= 0) r = sd_bus_message_close_container(m);
    return r;
  };
  if (link_ && link_->EmitWith("Traced", fill)) {
    lost_ = 0;
  } else {
    lost_ += batch_.size();
  }
  batch_.clear();
  batchBytes_ = 0;
}

const vbs::Member<ControlObject> ControlObject::kMemberTable[] = {
    {"Status", MemberKind::Method, 0, 0, [](ControlObject& c, Args) { return c.Hub().Status(); }},
    {"Subscriptions", MemberKind::Method, 0, 0,
     [](ControlObject& c, Args) { return c.Hub().Subscriptions(); }},
    {"Unsubscribe", MemberKind::Method, 1, 1,
     [](ControlObject& c, Args a) { return c.Hub().Unsubscribe(vbs::ToLong(a[0]->Deref())); }},
    {"Subscribe", MemberKind::Method, 5, 5,
     [](ControlObject& c, Args a) {
       return c.Hub().Subscribe(ArgText(a, 0), ArgText(a, 1), ArgText(a, 2), ArgText(a, 3),
                                ArgText(a, 4));
     }},
    {"Trace", MemberKind::Method, 4, 4,
     [](ControlObject& c, Args a) { return c.Hub().TraceEntries(FilterOf(a)); }},
    {"FollowTrace", MemberKind::Method, 4, 4,
     [](ControlObject& c, Args a) {
       c.FollowTrace(FilterOf(a));
       return Variant();
     }},
    {"Runs", MemberKind::Method, 1, 1,
     [](ControlObject& c, Args a) { return c.Hub().Runs(vbs::ToDouble(a[0]->Deref())); }},
    {"FollowRuns", MemberKind::Method, 0, 0,
     [](ControlObject& c, Args) {
       c.FollowRuns();
       return Variant();
     }},
    {"Inject", MemberKind::Method, 2, 2,
     [](ControlObject& c, Args a) {
       return c.Hub().Inject(ArgText(a, 0), vbs::ToBoolean(a[1]->Deref()));
     }},
    {"Send", MemberKind::Method, 4, 4,
     [](ControlObject& c, Args a) {
       std::vector<std::string> items;
       const Variant& list = a[3]->Deref();
       if (list.IsArray()) {
         for (const Variant& item : list.AsArray()->data) items.push_back(vbs::ToExternal(item));
       } else if (!vbs::ToString(list).empty()) {
         items.push_back(vbs::ToExternal(list));
       }
       c.Hub().Send(ArgText(a, 0), ArgText(a, 1), ArgText(a, 2), items);
       return Variant();
     }},
    {"Reload", MemberKind::Method, 0, 0, [](ControlObject& c, Args) { return c.Hub().Reload(); }},
};
const std::span<const vbs::Member<ControlObject>> ControlObject::kMembers = kMemberTable;

}  // namespace sablewick
