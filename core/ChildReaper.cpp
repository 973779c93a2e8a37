#include "core/ChildReaper.h"

#include <glib-unix.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <utility>

#include "core/Errors.h"

namespace sablewick {
namespace {

sigset_t ChildSignal() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGCHLD);
  return set;
}

}  // namespace

void ChildReaper::BlockChildSignal() {
  const sigset_t set = ChildSignal();
  ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void ChildReaper::UnblockInChild() {
  const sigset_t set = ChildSignal();
  ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

ChildReaper::ChildReaper() {
  const sigset_t set = ChildSignal();
  sigset_t before;
  ::pthread_sigmask(SIG_BLOCK, &set, &before);
  blockedHere_ = sigismember(&before, SIGCHLD) == 0;
  fd_ = ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) {
    const int error = errno;
    if (blockedHere_) ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    throw Failure(kGenericFailure, std::string("no signal descriptor for ended child processes: ") +
                                       std::strerror(error));
  }
  watch_ = g_unix_fd_add(fd_, G_IO_IN, &ChildReaper::OnSignal, this);
  // Children that ended before the reaper existed sent their signal already.
  ReapOnLoop();
}

ChildReaper::~ChildReaper() {
  if (more_ != 0) g_source_remove(more_);
  if (watch_ != 0) g_source_remove(watch_);
  if (fd_ >= 0) ::close(fd_);
  if (blockedHere_) {
    const sigset_t set = ChildSignal();
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  }
}

void ChildReaper::Watch(pid_t pid, ExitHandler onExit) {
  watchers_[pid] = std::move(onExit);
}

void ChildReaper::Forget(pid_t pid) {
  watchers_.erase(pid);
}

size_t ChildReaper::ReapNow() {
  size_t count = 0;
  while (count < kBatch) {
    int status = 0;
    const pid_t pid = ::waitpid(-1, &status, WNOHANG);
    if (pid < 0 && errno == EINTR) continue;
    if (pid <= 0) break;  // 0: the rest still run; ECHILD: there are none
    ++count;
    ++reaped_;
    const auto it = watchers_.find(pid);
    if (it == watchers_.end()) {
      ++unwatched_;
      continue;
    }
    // Out of the table before it runs: the watcher may start (and register) a new child, whose
    // pid may be this one again.
    ExitHandler onExit = std::move(it->second);
    watchers_.erase(it);
    if (!onExit) continue;
    // Called from a C callback of the loop: nothing may be thrown through it, and one
    // watcher's failure must not keep the others' children unreaped.
    try {
      onExit(pid, status);
    } catch (...) {
    }
  }
  return count;
}

void ChildReaper::Drain() {
  signalfd_siginfo info[16];
  for (int i = 0; i < 64; ++i) {
    const ssize_t n = ::read(fd_, info, sizeof info);
    if (n < 0 && errno == EINTR) continue;
    if (n < static_cast<ssize_t>(sizeof info)) return;
  }
}

void ChildReaper::ReapOnLoop() {
  if (more_ == 0) more_ = g_idle_add(&ChildReaper::OnMore, this);
}

gboolean ChildReaper::OnSignal(gint, GIOCondition, gpointer data) {
  auto* self = static_cast<ChildReaper*>(data);
  // Read first, reap after: a child that ends in between signals again and is not missed.
  self->Drain();
  if (self->ReapNow() == kBatch) self->ReapOnLoop();
  return G_SOURCE_CONTINUE;
}

gboolean ChildReaper::OnMore(gpointer data) {
  auto* self = static_cast<ChildReaper*>(data);
  if (self->ReapNow() == kBatch) return G_SOURCE_CONTINUE;
  self->more_ = 0;
  return G_SOURCE_REMOVE;
}

}  // namespace sablewick
