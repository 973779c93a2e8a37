// Programs start without a shell: the command line is split into words here (double
// quotes group, "" inside quotes is a quote, backslashes are kept), the program name gets
// "/" for "\", .vbs and .wsf files run through this runner, and every child starts in a
// session of its own with only its three standard descriptors.
#include "runner/WshShell.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "engine/Errors.h"
#include "engine/Variant.h"

extern char** environ;

namespace runner {
namespace {

using vbs::Args;
using vbs::Member;
using vbs::MemberKind;
using vbs::Variant;

constexpr int32_t kFileNotFoundHr = static_cast<int32_t>(0x80070002);

// Every text argument here leaves the engine (commands, environment, a child's input,
// folders): as UTF-8, U+DC80..U+DCFF back to the bytes they stand for.
std::string Text(Args a, size_t i) {
  return vbs::ToExternal(a[i]->Deref());
}
bool Given(Args a, size_t i) {
  return i < a.size() && !vbs::IsMissing(a[i]->Deref());
}

std::vector<std::string> SplitCommandLine(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool inWord = false, quoted = false;
  for (size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        word += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        word += c;
      }
    } else if (c == ' ' || c == '\t') {
      if (inWord) words.push_back(std::move(word));
      word.clear();
      inWord = false;
    } else {
      inWord = true;
      if (c == '"')
        quoted = true;
      else
        word += c;
    }
  }
  if (inWord) words.push_back(std::move(word));
  return words;
}

bool EndsWithNoCase(const std::string& s, std::string_view tail) {
  return s.size() >= tail.size() && vbs::NameEquals(s.substr(s.size() - tail.size()), tail);
}

std::string SelfPath() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return "sablewick-script";
  return std::string(buf, static_cast<size_t>(n));
}

// The argv to start for a command line; throws the "file not found" error when the
// program is neither a script, nor an executable file, nor found on PATH.
std::vector<std::string> CommandArgv(const std::string& line) {
  std::vector<std::string> argv = SplitCommandLine(line);
  if (argv.empty()) vbs::Throw(kFileNotFoundHr, "The system cannot find the file specified.");
  for (char& c : argv[0])
    if (c == '\\') c = '/';
  if (EndsWithNoCase(argv[0], ".vbs") || EndsWithNoCase(argv[0], ".wsf")) {
    if (::access(argv[0].c_str(), R_OK) != 0)
      vbs::Throw(kFileNotFoundHr, "The system cannot find the file specified.");
    argv.insert(argv.begin(), SelfPath());
  } else if (argv[0].find('/') != std::string::npos && ::access(argv[0].c_str(), X_OK) != 0) {
    vbs::Throw(kFileNotFoundHr, "The system cannot find the file specified.");
  }
  return argv;
}

// Children started by Run without waiting: reaped whenever the shell starts another, so
// none stays a zombie for long.
std::vector<pid_t>& Unwaited() {
  static std::vector<pid_t> pids;
  return pids;
}
void ReapUnwaited() {
  auto& pids = Unwaited();
  for (size_t i = 0; i < pids.size();) {
    if (::waitpid(pids[i], nullptr, WNOHANG) != 0) {
      pids[i] = pids.back();
      pids.pop_back();
    } else {
      ++i;
    }
  }
}

int ExitCodeOf(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

// Starts argv; pipes[i] >= 0 replaces descriptor i in the child.
pid_t Spawn(const std::vector<std::string>& words, const int pipes[3]) {
  std::vector<char*> argv;
  for (const auto& w : words) argv.push_back(const_cast<char*>(w.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  for (int fd = 0; fd < 3; ++fd)
    if (pipes[fd] >= 0) posix_spawn_file_actions_adddup2(&actions, pipes[fd], fd);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) vbs::Throw(kFileNotFoundHr, "The system cannot find the file specified.");
  return pid;
}

// ---- Exec: the started process and its output, read from both pipes at once so that a
// child filling one of them while the script reads the other cannot stall either.

struct Process {
  pid_t pid = -1;
  int in = -1;
  int out[2] = {-1, -1};  // stdout, stderr
  std::string buffer[2];
  bool done = false;
  int exitCode = 0;

  ~Process() {
    for (int fd : {in, out[0], out[1]})
      if (fd >= 0) ::close(fd);
    if (!done && pid > 0) Unwaited().push_back(pid);
  }
  void Poll() {
    if (done) return;
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      done = true;
      exitCode = ExitCodeOf(status);
    }
  }
  // Reads until stream `which` has `want` bytes, a newline (want == 0) or its end.
  void Fill(int which, size_t want, bool line) {
    for (;;) {
      std::string& b = buffer[which];
      if (out[which] < 0) return;
      if (line && b.find('\n') != std::string::npos) return;
      if (!line && want && b.size() >= want) return;
      pollfd fds[2];
      int n = 0;
      for (int k = 0; k < 2; ++k)
        if (out[k] >= 0) fds[n++] = {out[k], POLLIN, 0};
      if (::poll(fds, static_cast<nfds_t>(n), -1) < 0) {
        if (errno == EINTR) continue;
        return;
      }
      for (int i = 0; i < n; ++i) {
        if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        int k = fds[i].fd == out[0] ? 0 : 1;
        char chunk[65536];
        ssize_t got = ::read(out[k], chunk, sizeof chunk);
        if (got > 0) {
          vbs::CheckStringSize(buffer[k].size() + static_cast<size_t>(got));
          buffer[k].append(chunk, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
          ::close(out[k]);
          out[k] = -1;
        }
      }
    }
  }
  std::string Take(int which, size_t n) {
    std::string& b = buffer[which];
    n = std::min(n, b.size());
    std::string r = b.substr(0, n);
    b.erase(0, n);
    return r;
  }
};

class ProcessStream : public vbs::TableObject<ProcessStream> {
 public:
  static constexpr std::string_view kTypeName = "TextStream";
  static const Member<ProcessStream> kMembers[];
  ProcessStream(std::shared_ptr<Process> p, int which) : proc_(std::move(p)), which_(which) {}
  bool AtEnd() {
    proc_->Fill(which_, 1, false);
    return proc_->buffer[which_].empty();
  }
  std::shared_ptr<Process> proc_;
  int which_;  // 0 stdout, 1 stderr, 2 stdin
};

void NeedReader(ProcessStream& s) {
  if (s.which_ == 2) vbs::Throw(54);
}

const Member<ProcessStream> ProcessStream::kMembers[] = {
    {"ReadLine", MemberKind::Method, 0, 0,
     [](ProcessStream& s, Args) {
       NeedReader(s);
       if (s.AtEnd()) vbs::Throw(62);
       s.proc_->Fill(s.which_, 0, true);
       std::string& b = s.proc_->buffer[s.which_];
       size_t nl = b.find('\n');
       std::string line = s.proc_->Take(s.which_, nl == std::string::npos ? b.size() : nl + 1);
       if (!line.empty() && line.back() == '\n') line.pop_back();
       if (!line.empty() && line.back() == '\r') line.pop_back();
       return Variant::String(std::move(line));
     }},
    {"ReadAll", MemberKind::Method, 0, 0,
     [](ProcessStream& s, Args) {
       NeedReader(s);
       s.proc_->Fill(s.which_, SIZE_MAX, false);
       return Variant::String(s.proc_->Take(s.which_, SIZE_MAX));
     }},
    {"Read", MemberKind::Method, 1, 1,
     [](ProcessStream& s, Args a) {
       NeedReader(s);
       int32_t n = vbs::ToLong(*a[0]);
       if (n < 0) vbs::Throw(vbs::kInvalidCall);
       s.proc_->Fill(s.which_, static_cast<size_t>(n), false);
       return Variant::String(s.proc_->Take(s.which_, static_cast<size_t>(n)));
     }},
    {"AtEndOfStream", MemberKind::Get, 0, 0,
     [](ProcessStream& s, Args) {
       NeedReader(s);
       return Variant::Boolean(s.AtEnd());
     }},
    {"Write", MemberKind::Method, 1, 1,
     [](ProcessStream& s, Args a) {
       if (s.which_ != 2 || s.proc_->in < 0) vbs::Throw(54);
       std::string t = Text(a, 0);
       for (size_t done = 0; done < t.size();) {
         ssize_t n = ::write(s.proc_->in, t.data() + done, t.size() - done);
         if (n < 0 && errno == EINTR) continue;
         if (n <= 0) vbs::Throw(57);
         done += static_cast<size_t>(n);
       }
       return Variant();
     }},
    {"WriteLine", MemberKind::Method, 0, 1,
     [](ProcessStream& s, Args a) {
       if (s.which_ != 2 || s.proc_->in < 0) vbs::Throw(54);
       std::string t = (Given(a, 0) ? Text(a, 0) : std::string()) + "\n";
       for (size_t done = 0; done < t.size();) {
         ssize_t n = ::write(s.proc_->in, t.data() + done, t.size() - done);
         if (n < 0 && errno == EINTR) continue;
         if (n <= 0) vbs::Throw(57);
         done += static_cast<size_t>(n);
       }
       return Variant();
     }},
    {"Close", MemberKind::Method, 0, 0,
     [](ProcessStream& s, Args) {
       if (s.which_ == 2 && s.proc_->in >= 0) {
         ::close(s.proc_->in);
         s.proc_->in = -1;
       }
       return Variant();
     }},
};

class Exec : public vbs::TableObject<Exec> {
 public:
  static constexpr std::string_view kTypeName = "WshExec";
  static const Member<Exec> kMembers[];
  std::shared_ptr<Process> proc_ = std::make_shared<Process>();
};

Variant Stream(Exec& e, int which) {
  return Variant::Object(vbs::MakeObject<ProcessStream>(e.proc_, which));
}

const Member<Exec> Exec::kMembers[] = {
    {"Status", MemberKind::Get, 0, 0,
     [](Exec& e, Args) {
       e.proc_->Poll();
       return Variant::Integer(e.proc_->done ? 1 : 0);
     }},
    {"ExitCode", MemberKind::Get, 0, 0,
     [](Exec& e, Args) {
       e.proc_->Poll();
       return Variant::Long(e.proc_->done ? e.proc_->exitCode : 0);
     }},
    {"ProcessID", MemberKind::Get, 0, 0,
     [](Exec& e, Args) { return Variant::Long(e.proc_->pid); }},
    {"StdOut", MemberKind::Get, 0, 0, [](Exec& e, Args) { return Stream(e, 0); }},
    {"StdErr", MemberKind::Get, 0, 0, [](Exec& e, Args) { return Stream(e, 1); }},
    {"StdIn", MemberKind::Get, 0, 0, [](Exec& e, Args) { return Stream(e, 2); }},
    {"Terminate", MemberKind::Method, 0, 0,
     [](Exec& e, Args) {
       e.proc_->Poll();
       if (!e.proc_->done) ::kill(e.proc_->pid, SIGTERM);
       return Variant();
     }},
};

// ---- Environment: one view of the process environment, whatever type the script names.

class Environment : public vbs::TableObject<Environment> {
 public:
  static constexpr std::string_view kTypeName = "IWshEnvironment";
  static const Member<Environment> kMembers[];
  static std::vector<std::string> All() {
    std::vector<std::string> out;
    for (char** e = environ; e && *e; ++e) out.emplace_back(*e);
    return out;
  }
  std::unique_ptr<vbs::Enumerator> Enumerate() override {
    struct Items : vbs::Enumerator {
      std::vector<std::string> all = All();
      size_t i = 0;
      bool Next(Variant& out) override {
        if (i >= all.size()) return false;
        out = Variant::String(all[i++]);
        return true;
      }
    };
    return std::make_unique<Items>();
  }
};

const Member<Environment> Environment::kMembers[] = {
    {"Item", MemberKind::Get, 1, 1,
     [](Environment&, Args a) {
       const char* v = std::getenv(Text(a, 0).c_str());
       return Variant::String(v ? v : "");
     },
     true},
    {"Item", MemberKind::Let, 1, 1,
     [](Environment&, Args a) {
       std::string name = Text(a, 0);
       if (name.empty() || name.find('=') != std::string::npos) vbs::Throw(vbs::kInvalidCall);
       ::setenv(name.c_str(), Text(a, 1).c_str(), 1);
       return Variant();
     }},
    {"Count", MemberKind::Get, 0, 0,
     [](Environment&, Args) { return Variant::Long(static_cast<int32_t>(Environment::All().size())); }},
    {"Length", MemberKind::Get, 0, 0,
     [](Environment&, Args) { return Variant::Long(static_cast<int32_t>(Environment::All().size())); }},
    {"Remove", MemberKind::Method, 1, 1,
     [](Environment&, Args a) {
       ::unsetenv(Text(a, 0).c_str());
       return Variant();
     }},
};

// %NAME% becomes the variable's value; a name that is not set stays as written.
std::string ExpandEnvironment(const std::string& s) {
  std::string out;
  size_t i = 0;
  while (i < s.size()) {
    size_t open = s.find('%', i);
    size_t close = open == std::string::npos ? open : s.find('%', open + 1);
    if (close == std::string::npos) {
      out.append(s, i, std::string::npos);
      break;
    }
    out.append(s, i, open - i);
    std::string name = s.substr(open + 1, close - open - 1);
    const char* v = name.empty() ? nullptr : std::getenv(name.c_str());
    if (v) {
      out += v;
      i = close + 1;
    } else {
      out += '%';
      out += name;
      i = close;  // the closing % may open the next name
    }
    vbs::CheckStringSize(out.size());
  }
  return out;
}

class WshShell : public vbs::TableObject<WshShell> {
 public:
  static constexpr std::string_view kTypeName = "IWshShell3";
  static const Member<WshShell> kMembers[];
};

const Member<WshShell> WshShell::kMembers[] = {
    {"Run", MemberKind::Method, 1, 3,
     [](WshShell&, Args a) {
       ReapUnwaited();
       std::vector<std::string> argv = CommandArgv(Text(a, 0));
       bool wait = Given(a, 2) && vbs::ToBoolean(a[2]->Deref());
       int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
       int fds[3] = {devNull, -1, -1};
       pid_t pid;
       try {
         pid = Spawn(argv, fds);
       } catch (...) {
         if (devNull >= 0) ::close(devNull);
         throw;
       }
       if (devNull >= 0) ::close(devNull);
       if (!wait) {
         Unwaited().push_back(pid);
         return Variant::Long(0);
       }
       int status = 0;
       while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
       }
       return Variant::Long(ExitCodeOf(status));
     }},
    {"Exec", MemberKind::Method, 1, 1,
     [](WshShell&, Args a) {
       ReapUnwaited();
       std::vector<std::string> argv = CommandArgv(Text(a, 0));
       int in[2], out[2], err[2];
       if (::pipe2(in, O_CLOEXEC) != 0) vbs::Throw(67);
       if (::pipe2(out, O_CLOEXEC) != 0) {
         ::close(in[0]), ::close(in[1]);
         vbs::Throw(67);
       }
       if (::pipe2(err, O_CLOEXEC) != 0) {
         ::close(in[0]), ::close(in[1]), ::close(out[0]), ::close(out[1]);
         vbs::Throw(67);
       }
       auto exec = vbs::MakeObject<Exec>();
       Process& p = *exec->proc_;
       p.in = in[1];
       p.out[0] = out[0];
       p.out[1] = err[0];
       int childFds[3] = {in[0], out[1], err[1]};
       try {
         p.pid = Spawn(argv, childFds);
       } catch (...) {
         for (int fd : childFds) ::close(fd);
         throw;
       }
       for (int fd : childFds) ::close(fd);
       return Variant::Object(exec);
     }},
    {"Environment", MemberKind::Get, 0, 1,
     [](WshShell&, Args) { return Variant::Object(vbs::MakeObject<Environment>()); }},
    {"ExpandEnvironmentStrings", MemberKind::Method, 1, 1,
     [](WshShell&, Args a) { return Variant::String(ExpandEnvironment(Text(a, 0))); }},
    {"CurrentDirectory", MemberKind::Get, 0, 0,
     [](WshShell&, Args) {
       char buf[PATH_MAX];
       return Variant::String(::getcwd(buf, sizeof buf) ? buf : "");
     }},
    {"CurrentDirectory", MemberKind::Let, 0, 0,
     [](WshShell&, Args a) {
       std::string dir = Text(a, 0);
       for (char& c : dir)
         if (c == '\\') c = '/';
       if (::chdir(dir.c_str()) != 0) vbs::Throw(vbs::kPathNotFound);
       return Variant();
     }},
};

}  // namespace

vbs::ObjectPtr<vbs::HostObject> MakeWshShell() {
  return vbs::ObjectPtr<vbs::HostObject>(new WshShell);
}

}  // namespace runner
