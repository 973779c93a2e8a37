#include "script/Process.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <glib.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

#include "core/ChildReaper.h"
#include "core/Errors.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "engine/Errors.h"
#include "engine/Variant.h"
#include "script/ObjectServer.h"
#include "script/ProcessState.h"
#include "script/ScriptStarter.h"

extern char** environ;

namespace sablewick {

constexpr int32_t kFileNotFound = 53;
constexpr int32_t kPermissionDenied = 70;

std::string RunnerPath(const App& app) {
  const std::string beside = DirName(app.ExePath) + "/sablewick-script";
  return ::access(beside.c_str(), X_OK) == 0 ? beside : "sablewick-script";
}

std::string ShownPath(const App& app, std::string_view path) {
  const std::string root = app.AppPath.empty() ? DirName(app.ExePath) : app.AppPath;
  if (!root.empty() && path.size() > root.size() + 1 && path.starts_with(root) &&
      path[root.size()] == '/') {
    return std::string(path.substr(root.size() + 1));
  }
  return std::string(path);
}

std::vector<std::string> ScriptCommand(const App& app, const std::string& path,
                                       const std::vector<std::string>& arguments) {
  const std::string file = ResolveCaseInsensitive(path);
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    throw Failure(kFileNotFound, ShownPath(app, path) + " does not exist");
  }
  std::vector<std::string> argv;
  const std::string lower = ToLower(file);
  if (lower.ends_with(".vbs") || lower.ends_with(".wsf")) {
    argv = {RunnerPath(app), file};
  } else if (::access(file.c_str(), X_OK) == 0) {
    argv = {file};  // the kernel reads its #! line
  } else {
    throw Failure(kPermissionDenied, ShownPath(app, file) + " is not executable (chmod +x it)");
  }
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

StartedProcess StartWithPipes(const App& app, const std::vector<std::string>& argv,
                              int32_t failureNumber) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  gchar** env = g_get_environ();
  if (!app.busAddress.empty()) {
    env = g_environ_setenv(env, "SABLEWICK_ADDRESS", app.busAddress.c_str(), TRUE);
  }
  GPid pid = 0;
  int out = -1, err = -1;
  GError* error = nullptr;
  // A session of its own makes the child the leader of a process group that can be ended as
  // a whole, and keeps signals meant for the daemon's terminal away from it.
  const gboolean ok = g_spawn_async_with_pipes(
      nullptr, args.data(), env,
      static_cast<GSpawnFlags>(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_SEARCH_PATH |
                               G_SPAWN_STDIN_FROM_DEV_NULL),
      [](gpointer) {
        ::setsid();
        ChildReaper::UnblockInChild();
      },
      nullptr, &pid, nullptr, &out, &err, &error);
  g_strfreev(env);
  if (!ok) {
    std::string text = error != nullptr ? error->message : "cannot start";
    g_clear_error(&error);
    throw Failure(failureNumber, text);
  }
  for (int fd : {out, err}) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  }
  return {pid, out, err};
}

namespace {

struct StreamWatch {
  std::shared_ptr<ProcessState> state;
  ProcessState::Stream* stream;
};

gboolean ReadStream(gint fd, GIOCondition, gpointer data) {
  auto* w = static_cast<StreamWatch*>(data);
  char buf[4096];
  for (int i = 0; i < 64; ++i) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      std::string& text = w->stream->text;
      text.append(buf, static_cast<size_t>(n));
      if (text.size() > ProcessObject::kMaxOutput) {
        text.erase(0, text.size() - ProcessObject::kMaxOutput);
      }
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return G_SOURCE_CONTINUE;
    w->stream->closed = true;
    w->stream->watch = 0;
    ::close(fd);
    return G_SOURCE_REMOVE;
  }
  return G_SOURCE_CONTINUE;
}

void Watch(const std::shared_ptr<ProcessState>& state, ProcessState::Stream& stream, int fd) {
  auto* w = new StreamWatch{state, &stream};
  stream.watch = g_unix_fd_add_full(G_PRIORITY_DEFAULT, fd, G_IO_IN, &ReadStream, w,
                                    [](gpointer p) { delete static_cast<StreamWatch*>(p); });
}

}  // namespace

ProcessObject::ProcessObject(App& app, const std::vector<std::string>& argv)
    : state_(std::make_shared<ProcessState>()) {
  const StartedProcess started = StartWithPipes(app, argv, kFileNotFound);
  const pid_t pid = started.pid;
  state_->pid = pid;
  Watch(state_, state_->out, started.out);
  Watch(state_, state_->err, started.err);
  app.Reaper().Watch(pid, [state = state_](pid_t, int status) {
    state->ended = true;
    state->exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  });
  // A job outlives its object; shutdown ends it with the other scripts.
  if (app.starter) app.starter->Adopt(state_);
}

ProcessObject::~ProcessObject() = default;

namespace {

using vbs::Args;
using vbs::MemberKind;
using vbs::Variant;

const Variant& Arg(Args a, size_t i) { return a[i]->Deref(); }
Variant Str(std::string s) { return Variant::String(std::move(s)); }

// A read side of a captured stream of a started process.
class StreamObject : public vbs::TableObject<StreamObject> {
 public:
  static constexpr std::string_view kTypeName = "TextStream";
  static const vbs::Member<StreamObject> kMembers[];
  StreamObject(std::shared_ptr<ProcessState> state, bool err)
      : state_(std::move(state)), err_(err) {}
  std::string& Buffer();
  bool Closed();

 private:
  std::shared_ptr<ProcessState> state_;
  bool err_;
};

std::string& StreamObject::Buffer() { return err_ ? state_->err.text : state_->out.text; }
bool StreamObject::Closed() { return err_ ? state_->err.closed : state_->out.closed; }

// Reading never blocks the program: what has arrived so far is what there is.
const vbs::Member<StreamObject> StreamObject::kMembers[] = {
    {"ReadAll", MemberKind::Method, 0, 0,
     [](StreamObject& s, Args) {
       std::string all = std::move(s.Buffer());
       s.Buffer().clear();
       return Str(std::move(all));
     }},
    {"ReadLine", MemberKind::Method, 0, 0,
     [](StreamObject& s, Args) {
       std::string& b = s.Buffer();
       const size_t nl = b.find('\n');
       std::string line = b.substr(0, nl);
       b.erase(0, nl == std::string::npos ? b.size() : nl + 1);
       if (!line.empty() && line.back() == '\r') line.pop_back();
       return Str(std::move(line));
     }},
    {"Read", MemberKind::Method, 1, 1,
     [](StreamObject& s, Args a) {
       const int32_t n = vbs::ToLong(Arg(a, 0));
       if (n < 0) vbs::Throw(vbs::kInvalidCall);
       std::string& b = s.Buffer();
       std::string part = b.substr(0, static_cast<size_t>(n));
       b.erase(0, part.size());
       return Str(std::move(part));
     }},
    {"AtEndOfStream", MemberKind::Get, 0, 0,
     [](StreamObject& s, Args) { return Variant::Boolean(s.Buffer().empty() && s.Closed()); }},
};

}  // namespace

// ---- started processes -----------------------------------------------------------------------

const vbs::Member<ProcessObject> ProcessObject::kMemberTable[] = {
    {"ProcessID", MemberKind::Get, 0, 0,
     [](ProcessObject& p, Args) { return Variant::Long(p.ProcessID()); }},
    {"Status", MemberKind::Get, 0, 0,
     [](ProcessObject& p, Args) { return Variant::Long(p.Status()); }},
    {"ExitCode", MemberKind::Get, 0, 0,
     [](ProcessObject& p, Args) { return Variant::Long(p.ExitCode()); }},
    {"Terminate", MemberKind::Method, 0, 0,
     [](ProcessObject& p, Args) { p.Terminate(); return Variant(); }},
    {"StdOut", MemberKind::Get, 0, 0,
     [](ProcessObject& p, Args) {
       return Variant::Object(vbs::MakeObject<StreamObject>(p.State(), false));
     }},
    {"StdErr", MemberKind::Get, 0, 0,
     [](ProcessObject& p, Args) {
       return Variant::Object(vbs::MakeObject<StreamObject>(p.State(), true));
     }},
};
const std::span<const vbs::Member<ProcessObject>> ProcessObject::kMembers = kMemberTable;



pid_t ProcessObject::ProcessID() const { return state_->pid; }
int ProcessObject::Status() const { return state_->ended ? 1 : 0; }
int ProcessObject::ExitCode() const { return state_->exitCode; }

void ProcessObject::Terminate() {
  if (!state_->ended && state_->pid > 0) ::kill(state_->pid, SIGTERM);
}

void RegisterProcessClasses(ObjectServer& server) {
  server.RegisterClass<ProcessObject>();
  server.RegisterClass<StreamObject>();
}

}  // namespace sablewick
