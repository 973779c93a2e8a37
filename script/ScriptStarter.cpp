#include "script/ScriptStarter.h"

#include <errno.h>
#include <fcntl.h>
#include <glib-unix.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <fstream>
#include <sstream>
#include <tuple>
#include <unordered_set>

#include "core/ChildReaper.h"
#include "core/Errors.h"
#include "core/Log.h"
#include "core/Paths.h"
#include "script/Dispatcher.h"
#include "script/ObjectServer.h"
#include "script/Process.h"
#include "script/ProcessState.h"

namespace sablewick {

struct ScriptStarter::Stream {
  Child* child = nullptr;
  const char* name = "";
  int fd = -1;
  guint watch = 0;
  std::string partial;  // the start of a line whose end has not arrived
};

struct ScriptStarter::Child {
  ScriptStarter* owner = nullptr;
  ScriptRun run;
  std::string label;  // "OnLamp.vbs[1234]"
  Stream out, err;
  guint limitTimer = 0, killTimer = 0;
  bool exited = false;
  size_t logged = 0;   // bytes of output written to the log
  size_t dropped = 0;  // bytes past the limit
  std::deque<std::string> tail;
  std::vector<std::string> handles;  // queued for its subscription when it started
};

namespace {

double WallSeconds() { return static_cast<double>(g_get_real_time()) / 1e6; }

std::string ExitText(const ScriptRun& run) {
  if (run.signal != 0) return "was ended by signal " + std::to_string(run.signal);
  return "ended with exit status " + std::to_string(run.exitStatus);
}

struct RetryTicket {
  ScriptStarter* owner;
  int position;
};

}  // namespace

ScriptStarter::ScriptStarter(App& app, RunJournal& journal)
    : app_(app), journal_(journal), reaper_(app.Reaper()) {
  // What a script leaves behind when its process ends (background children, daemons that
  // moved to a session of their own) comes to us instead of init: still ours to end, and
  // the reaper's to reap as soon as it ends.
  if (::prctl(PR_SET_CHILD_SUBREAPER, 1) != 0) {
    SetPendingError(app_, 0);
    LogToFile(app_, "Sablewick", "cannot become the reaper of what scripts leave behind");
  }
}

ScriptStarter::~ScriptStarter() {
  if (sweepTimer_ != 0) g_source_remove(sweepTimer_);
  if (minuteTimer_ != 0) g_source_remove(minuteTimer_);
  for (auto& [position, retry] : retries_) {
    if (retry.timer != 0) g_source_remove(retry.timer);
  }
  for (auto& [pid, child] : children_) {
    if (!child->exited) reaper_.Forget(pid);
    for (guint* source :
         {&child->limitTimer, &child->killTimer, &child->out.watch, &child->err.watch}) {
      if (*source != 0) g_source_remove(*source);
    }
    for (Stream* s : {&child->out, &child->err}) {
      if (s->fd >= 0) ::close(s->fd);
    }
  }
}

void ScriptStarter::StartSubscription(const std::string& script, int position) {
  Launch(script, ScriptCommand(app_, script, {std::to_string(position)}), position);
}

void ScriptStarter::StartForMessages(const std::string& script, int position) {
  try {
    StartSubscription(script, position);
  } catch (const std::exception& e) {
    ScheduleRetry(position, script);
    const Retry& retry = retries_[position];
    LogToFile(app_, "Sablewick",
              "Subscription " + std::to_string(position) + ": " + e.what() + "; tried again in " +
                  std::to_string(retry.delayMs / 1000) + " s or with the next message after that");
  }
}

bool ScriptStarter::Idle(int position) const {
  for (const auto& [pid, child] : children_) {
    if (!child->exited && child->run.position == position) return false;
  }
  const auto it = retries_.find(position);
  return it == retries_.end() || it->second.timer == 0;
}

pid_t ScriptStarter::StartScript(const std::string& script) {
  return Launch(script, ScriptCommand(app_, script, {}), 0);
}

pid_t ScriptStarter::Launch(const std::string& script, const std::vector<std::string>& argv,
                            int position) {
  const auto [pid, out, err] = StartWithPipes(app_, argv, kGenericFailure);

  auto child = std::make_unique<Child>();
  Child& c = *child;
  c.owner = this;
  c.label = BaseName(script) + "[" + std::to_string(pid) + "]";
  ScriptRun& run = c.run;
  run.startTime = WallSeconds();
  run.position = position;
  run.script = script;
  run.pid = pid;
  if (position > 0 && app_.dispatcher) {
    if (const ScriptVBS* sub = app_.dispatcher->SubscriptionAt(position)) {
      run.target = sub->Target;
      run.schema = sub->Schema;
      run.section = sub->Section;
      run.source = sub->Source;
      run.queuedAtStart = sub->MessageCount();
      c.handles.assign(sub->Handles().begin(), sub->Handles().end());
    }
  }
  for (auto [stream, fd, name] : {std::tuple{&c.out, out, "stdout"}, std::tuple{&c.err, err, "stderr"}}) {
    stream->child = &c;
    stream->name = name;
    stream->fd = fd;
    stream->watch = g_unix_fd_add(fd, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR),
                                  &ScriptStarter::OnOutput, stream);
  }
  reaper_.Watch(pid, [&c](pid_t, int status) { OnExit(c, status); });
  if (maxRunSeconds_ > 0) c.limitTimer = g_timeout_add_seconds(maxRunSeconds_, &OnLimit, &c);
  run.id = journal_.Begin(run);
  children_[pid] = std::move(child);
  return pid;
}

void ScriptStarter::NoteFetch(int position) {
  // The newest run of the subscription still going is the one that asks.
  Child* newest = nullptr;
  for (auto& [pid, child] : children_) {
    if (child->exited || child->run.position != position) continue;
    if (newest == nullptr || child->run.id > newest->run.id) newest = child.get();
  }
  if (newest != nullptr) ++newest->run.fetched;
}

// ---- output --------------------------------------------------------------------------------

gboolean ScriptStarter::OnOutput(gint, GIOCondition, gpointer data) {
  auto* stream = static_cast<Stream*>(data);
  Child& child = *stream->child;
  ScriptStarter& self = *child.owner;
  if (self.Drain(child, *stream)) return G_SOURCE_CONTINUE;
  // Closed (and the source removed with it): the run may be complete now.
  stream->watch = 0;
  if (child.exited && child.out.fd < 0 && child.err.fd < 0) self.Forget(child.run.pid);
  return G_SOURCE_REMOVE;
}

bool ScriptStarter::Drain(Child& child, Stream& stream) {
  if (stream.fd < 0) return false;
  char buf[4096];
  // Bounded per wake-up, so one chatty script cannot hold the loop.
  for (int i = 0; i < 64; ++i) {
    const ssize_t n = ::read(stream.fd, buf, sizeof buf);
    if (n > 0) {
      stream.partial.append(buf, static_cast<size_t>(n));
      size_t start = 0;
      for (size_t nl; (nl = stream.partial.find('\n', start)) != std::string::npos;
           start = nl + 1) {
        LogLine(child, stream, std::string_view(stream.partial).substr(start, nl - start));
      }
      stream.partial.erase(0, start);
      while (stream.partial.size() >= kMaxLine) {
        LogLine(child, stream, std::string_view(stream.partial).substr(0, kMaxLine));
        stream.partial.erase(0, kMaxLine);
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    CloseStream(child, stream);
    return false;
  }
  return true;
}

void ScriptStarter::LogLine(Child& child, Stream& stream, std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return;
  if (&stream == &child.err) {
    child.tail.emplace_back(line.substr(0, kTailLineBytes));
    if (child.tail.size() > kTailLines) child.tail.pop_front();
  }
  if (child.logged + line.size() > kMaxLogged) {
    child.dropped += line.size() + 1;
    return;
  }
  if (!WithinMinute(line.size() + 1)) return;
  child.logged += line.size() + 1;
  std::string text = "Script ";
  text += child.label;
  text += ' ';
  text += stream.name;
  text += ": ";
  text += line;
  LogToFile(app_, "Sablewick", text);
}

void ScriptStarter::CloseStream(Child& child, Stream& stream) {
  if (stream.fd < 0) return;
  if (!stream.partial.empty()) {
    const std::string rest = std::move(stream.partial);
    stream.partial.clear();
    LogLine(child, stream, rest);
  }
  // The watch goes with the descriptor: a closed descriptor would make the loop call it again
  // and again (POLLNVAL), or for whatever file gets the number next, after the run is gone.
  // Removing it from inside its own callback is allowed.
  if (stream.watch != 0) g_source_remove(stream.watch);
  stream.watch = 0;
  ::close(stream.fd);
  stream.fd = -1;
  if (child.out.fd < 0 && child.err.fd < 0 && child.dropped > 0) {
    LogToFile(app_, "Sablewick",
              "Script " + child.label + ": " + std::to_string(child.dropped) +
                  " more bytes of output were not logged");
  }
}

bool ScriptStarter::WithinMinute(size_t bytes) {
  if (maxOutputPerMinute_ == 0) return true;
  const uint32_t now = app_.clock->TickCount();
  if (!minuteStarted_ || now - minuteStart_ >= 60000) {
    if (minuteTimer_ == 0) {
      minuteStarted_ = true;
      minuteStart_ = now;
      minuteBytes_ = 0;
    }
  }
  if (minuteBytes_ + bytes <= maxOutputPerMinute_) {
    minuteBytes_ += bytes;
    return true;
  }
  minuteLeftOut_ += bytes;
  if (minuteTimer_ == 0) {
    const uint32_t left = 60000 - std::min<uint32_t>(now - minuteStart_, 60000);
    minuteTimer_ = g_timeout_add(std::max<uint32_t>(left, 1), &OnMinuteEnd, this);
  }
  return false;
}

gboolean ScriptStarter::OnMinuteEnd(gpointer data) {
  auto* self = static_cast<ScriptStarter*>(data);
  self->minuteTimer_ = 0;
  self->SayLeftOut();
  self->minuteStarted_ = false;
  return G_SOURCE_REMOVE;
}

void ScriptStarter::SayLeftOut() {
  if (minuteLeftOut_ == 0) return;
  LogToFile(app_, "Sablewick",
            "Scripts printed more than " + std::to_string(maxOutputPerMinute_ / 1024) +
                " KB in a minute ([Scripts] MaxOutputKBPerMinute): " +
                std::to_string(minuteLeftOut_) + " bytes of their output were left out");
  minuteLeftOut_ = 0;
}

// ---- the end of a run ----------------------------------------------------------------------

void ScriptStarter::OnExit(Child& child, int status) {
  ScriptStarter& self = *child.owner;
  try {
    self.Ended(child, status);
  } catch (...) {
    SetPendingError(self.app_, 0);
    LogToFile(self.app_, "Sablewick", "Script ended");
  }
}

void ScriptStarter::Ended(Child& child, int waitStatus) {
  child.exited = true;
  for (guint* timer : {&child.limitTimer, &child.killTimer}) {
    if (*timer != 0) g_source_remove(*timer);
    *timer = 0;
  }
  // Everything the script itself wrote is in the pipes by now.
  Drain(child, child.out);
  Drain(child, child.err);

  ScriptRun& run = child.run;
  // The kept objects its processes made go with it.
  if (app_.objectServer) app_.objectServer->ReleaseKeptOf(run.pid);
  run.running = false;
  run.endTime = WallSeconds();
  if (WIFSIGNALED(waitStatus)) {
    run.signal = WTERMSIG(waitStatus);
  } else if (WIFEXITED(waitStatus)) {
    run.exitStatus = WEXITSTATUS(waitStatus);
  }
  // Processes the script left behind in its group go with it: at once when it was stopped,
  // else SIGTERM now and SIGKILL after a grace. The reaper reaps them as they end.
  if (run.timedOut || run.shutdown) {
    ::kill(-run.pid, SIGKILL);
  } else if (::kill(-run.pid, SIGTERM) == 0) {
    lingering_.push_back(run.pid);
    ArmSweep(kGroupGraceMs);
  }
  std::string tail;
  for (const std::string& line : child.tail) tail += line + "\n";
  if (!child.err.partial.empty()) tail += child.err.partial.substr(0, kTailLineBytes) + "\n";
  run.stderrTail = std::move(tail);
  if (run.position > 0 && !run.shutdown) GiveUpIfStuck(child);
  if (run.Failed() && !run.shutdown) {
    LogToFile(app_, "Sablewick", "Script " + child.label + " " + ExitText(run));
  }
  journal_.End(run);
  const ScriptRun copy = run;
  if (child.out.fd < 0 && child.err.fd < 0) Forget(run.pid);  // child is gone from here on
  if (copy.position > 0 && !copy.shutdown) Restart(copy);
}

void ScriptStarter::Forget(pid_t pid) { children_.erase(pid); }

ScriptVBS* ScriptStarter::SubscriptionOf(const ScriptRun& run) {
  if (!app_.dispatcher) return nullptr;
  ScriptVBS* sub = app_.dispatcher->SubscriptionAt(run.position);
  // The list may have changed while the script ran.
  if (sub == nullptr || sub->Script != run.script || sub->Target != run.target ||
      sub->Schema != run.schema || sub->Section != run.section || sub->Source != run.source) {
    return nullptr;
  }
  return sub;
}

void ScriptStarter::GiveUpIfStuck(Child& child) {
  ScriptRun& run = child.run;
  ScriptVBS* sub = SubscriptionOf(run);
  if (sub == nullptr) return;
  if (run.fetched > 0) {
    if (auto it = retries_.find(run.position); it != retries_.end()) it->second.failedRuns = 0;
    return;
  }
  if (sub->MessageCount() == 0) return;
  Retry& retry = retries_[run.position];
  if (++retry.failedRuns < kGiveUpAfter) return;
  retry.failedRuns = 0;
  const std::unordered_set<std::string> started(child.handles.begin(), child.handles.end());
  run.gaveUp = static_cast<int>(
      sub->RemoveHandlesIf([&](const std::string& h) { return started.count(h) != 0; }));
  if (run.gaveUp == 0) return;
  LogToFile(app_, "Sablewick",
            "Subscription " + std::to_string(run.position) + " (" + ShownPath(app_, run.script) +
                "): gave up on " + std::to_string(run.gaveUp) + " message(s) after " +
                std::to_string(kGiveUpAfter) + " runs in a row that fetched none (the last " +
                ExitText(run) + (run.timedOut ? " at the time limit" : "") + ")");
}

void ScriptStarter::Restart(const ScriptRun& run) {
  ScriptVBS* sub = SubscriptionOf(run);
  if (sub == nullptr) return;
  Retry& retry = retries_[run.position];
  if (sub->MessageCount() == 0) {
    if (retry.timer == 0) retries_.erase(run.position);
    return;
  }
  for (const auto& [pid, child] : children_) {
    if (!child->exited && child->run.position == run.position) return;  // it fetches them
  }
  if (retry.timer != 0) return;
  // Fetching, or what is left after giving up (messages that came later), starts afresh.
  if (run.fetched > 0 || run.gaveUp > 0) {
    retry.delayMs = 0;
    StartForMessages(run.script, run.position);
    return;
  }
  ScheduleRetry(run.position, run.script);
}

void ScriptStarter::ScheduleRetry(int position, const std::string& script) {
  Retry& retry = retries_[position];
  if (retry.timer != 0) return;
  retry.script = script;
  retry.delayMs = retry.delayMs == 0 ? kFirstRetryMs : std::min(retry.delayMs * 2, kLastRetryMs);
  retry.timer = g_timeout_add_full(G_PRIORITY_DEFAULT, retry.delayMs, &OnRetry,
                                   new RetryTicket{this, position},
                                   [](gpointer p) { delete static_cast<RetryTicket*>(p); });
}

gboolean ScriptStarter::OnRetry(gpointer data) {
  auto* ticket = static_cast<RetryTicket*>(data);
  ScriptStarter& self = *ticket->owner;
  auto it = self.retries_.find(ticket->position);
  if (it == self.retries_.end()) return G_SOURCE_REMOVE;
  it->second.timer = 0;
  const std::string script = it->second.script;
  ScriptVBS* sub =
      self.app_.dispatcher ? self.app_.dispatcher->SubscriptionAt(ticket->position) : nullptr;
  if (sub == nullptr || sub->Script != script) {
    self.retries_.erase(it);
    return G_SOURCE_REMOVE;
  }
  if (sub->MessageCount() == 0) return G_SOURCE_REMOVE;  // expired meanwhile; keep the pause
  if (!self.Idle(ticket->position)) return G_SOURCE_REMOVE;
  self.StartForMessages(script, ticket->position);
  return G_SOURCE_REMOVE;
}

// ---- the wall-clock limit and shutdown -----------------------------------------------------

gboolean ScriptStarter::OnLimit(gpointer data) {
  auto* child = static_cast<Child*>(data);
  child->limitTimer = 0;
  ScriptStarter& self = *child->owner;
  child->run.timedOut = true;
  ::kill(-child->run.pid, SIGTERM);
  LogToFile(self.app_, "Sablewick",
            "Script " + child->label + " ran past the limit of " +
                std::to_string(self.maxRunSeconds_) + " s (MaxRunSeconds): ending it");
  child->killTimer = g_timeout_add(kKillGraceMs, &OnKill, child);
  return G_SOURCE_REMOVE;
}

gboolean ScriptStarter::OnKill(gpointer data) {
  auto* child = static_cast<Child*>(data);
  child->killTimer = 0;
  ::kill(-child->run.pid, SIGKILL);
  return G_SOURCE_REMOVE;
}

// ---- what runs leave behind -----------------------------------------------------------

void ScriptStarter::ArmSweep(unsigned ms) {
  if (sweepTimer_ != 0) return;
  sweepTimer_ = g_timeout_add(ms, &OnSweep, this);
}

gboolean ScriptStarter::OnSweep(gpointer data) {
  auto* self = static_cast<ScriptStarter*>(data);
  self->sweepTimer_ = 0;
  for (pid_t group : self->lingering_) {
    // A group id stays taken while any member lives, so it still names the run's leftovers;
    // a run started since with the same id is a group of its own that must not be hit.
    if (self->children_.count(group) != 0) continue;
    ::kill(-group, SIGKILL);
  }
  self->lingering_.clear();
  return G_SOURCE_REMOVE;
}

std::vector<pid_t> ScriptStarter::OwnChildren() {
  std::vector<pid_t> out;
  std::ifstream in("/proc/self/task/" + std::to_string(::getpid()) + "/children");
  for (long pid; in >> pid;) out.push_back(static_cast<pid_t>(pid));
  return out;
}

void ScriptStarter::EndLeftovers(unsigned graceMs) {
  std::vector<pid_t> left = OwnChildren();
  if (left.empty()) return;
  LogToFile(app_, "Sablewick",
            "Ending " + std::to_string(left.size()) + " processes that scripts left behind");
  for (int sig : {SIGTERM, SIGKILL}) {
    for (pid_t pid : left) ::kill(pid, sig);
    for (unsigned waited = 0; waited < graceMs && !left.empty(); waited += 10) {
      while (reaper_.ReapNow() == ChildReaper::kBatch) {
      }
      // Their own children come to us as they go.
      left = OwnChildren();
      for (pid_t pid : left) ::kill(pid, sig);
      if (!left.empty()) ::usleep(10000);
    }
    if (left.empty()) return;
  }
}

void ScriptStarter::Adopt(const std::shared_ptr<ProcessState>& process) {
  std::erase_if(adopted_, [](const std::weak_ptr<ProcessState>& p) {
    auto state = p.lock();
    return !state || state->ended;
  });
  adopted_.push_back(process);
}

namespace {

// True once the process has ended, whoever reaps it: WNOWAIT leaves the status to the reaper,
// and ECHILD means it was reaped already.
bool HasEnded(pid_t pid) {
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    return errno == ECHILD;
  }
  return info.si_pid == pid;
}

}  // namespace

void ScriptStarter::EndAll(unsigned graceMs) {
  for (auto& [position, retry] : retries_) {
    if (retry.timer != 0) g_source_remove(retry.timer);
  }
  retries_.clear();
  std::vector<pid_t> jobs;
  for (const std::weak_ptr<ProcessState>& p : adopted_) {
    auto state = p.lock();
    if (!state || state->ended || state->pid <= 0 || HasEnded(state->pid)) continue;
    ::kill(-state->pid, SIGTERM);
    jobs.push_back(state->pid);
  }
  adopted_.clear();
  std::vector<pid_t> going;
  for (auto& [pid, child] : children_) {
    if (child->exited) continue;
    // The loop does not turn again: the reaper is asked below, and its watcher ends the run.
    child->run.shutdown = true;
    ::kill(-pid, SIGTERM);
    going.push_back(pid);
  }
  if (sweepTimer_ != 0) g_source_remove(sweepTimer_);
  sweepTimer_ = 0;
  for (pid_t group : lingering_) ::kill(-group, SIGKILL);
  lingering_.clear();
  if (going.empty() && jobs.empty()) {
    EndLeftovers(graceMs);
    SayLeftOut();
    return;
  }
  LogToFile(app_, "Sablewick",
            "Ending " + std::to_string(going.size() + jobs.size()) + " scripts still running");
  auto jobsLeft = [&] {
    std::erase_if(jobs, HasEnded);
    return !jobs.empty();
  };
  auto reap = [&](bool last) {
    while (reaper_.ReapNow() == ChildReaper::kBatch) {
    }
    for (auto it = going.begin(); it != going.end();) {
      auto found = children_.find(*it);
      if (found == children_.end() || found->second->exited) {
        it = going.erase(it);
        continue;
      }
      if (!last) {
        ++it;
        continue;
      }
      // Not even SIGKILL ended it (a process stuck in the kernel): the run ends here, and the
      // reaper reaps the process quietly should it ever end.
      reaper_.Forget(*it);
      Ended(*found->second, SIGKILL);
      it = going.erase(it);
    }
  };
  for (unsigned waited = 0; waited < graceMs && (!going.empty() || jobsLeft()); waited += 10) {
    reap(false);
    if (!going.empty() || !jobs.empty()) ::usleep(10000);
  }
  for (pid_t pid : going) ::kill(-pid, SIGKILL);
  for (pid_t pid : jobs) ::kill(-pid, SIGKILL);
  for (unsigned waited = 0; waited < graceMs && (!going.empty() || jobsLeft()); waited += 10) {
    reap(false);
    if (!going.empty() || !jobs.empty()) ::usleep(10000);
  }
  if (!going.empty()) {
    LogToFile(app_, "Sablewick",
              std::to_string(going.size()) + " scripts did not end after SIGKILL");
    reap(true);
  }
  EndLeftovers(graceMs);
  SayLeftOut();
}

}  // namespace sablewick
