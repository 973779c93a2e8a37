#include "core/Log.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>

#include "core/PrivateFiles.h"
#include "core/Text.h"

namespace sablewick {

std::string LogFilePath(const App& app) { return app.AppPath + "/Data/Sablewick.txt"; }

void SetPendingError(App& app, int32_t line) {
  PendingError& err = app.Err;
  err.line = line;
  try {
    throw;
  } catch (const Failure& f) {
    err.number = f.Number() != 0 ? f.Number() : kGenericFailure;
    err.description = f.what();
  } catch (const std::exception& e) {
    err.number = kGenericFailure;
    err.description = e.what();
  } catch (...) {
    err.number = kGenericFailure;
    err.description = "Unknown failure";
  }
}

namespace {

// The terminal's (and journald's) copy of a log line: the time, source and message, and the
// pending error only when there is one.
void MirrorToStderr(App& app, std::string_view head, const PendingError& err) {
  std::string text(head);
  if (err.IsSet() || !err.description.empty()) {
    text += " (step ";
    text += std::to_string(err.line);
    text += ": ";
    text += EscapeForLog(err.description);
    text += ')';
  }
  text += '\n';
  SayOnTerminal(app, text);
}

}  // namespace

TerminalCopy::TerminalCopy(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return;  // closed: nothing to copy to
  fd_ = fd;
  if (S_ISSOCK(st.st_mode)) {
    socket_ = true;
  } else if (!S_ISREG(st.st_mode)) {
    // A pipe or a terminal: a description of our own, opened non-blocking, so the flag does
    // not change the descriptor the parent and the children share.
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (own >= 0) {
      fd_ = own;
      ownFd_ = true;
    }
  }
}

TerminalCopy::~TerminalCopy() {
  if (ownFd_) ::close(fd_);
}

ssize_t TerminalCopy::WriteSome(std::string_view text) {
  for (;;) {
    ssize_t n;
    if (socket_) {
      n = ::send(fd_, text.data(), text.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    } else if (ownFd_) {
      n = ::write(fd_, text.data(), text.size());
    } else {
      // The shared descriptor (a file, or a pipe we could not open anew): write only what
      // the descriptor says it takes now; a pipe that is writable takes PIPE_BUF at once.
      pollfd p{fd_, POLLOUT, 0};
      if (::poll(&p, 1, 0) != 1 || (p.revents & POLLOUT) == 0) return 0;
      n = ::write(fd_, text.data(), std::min<size_t>(text.size(), PIPE_BUF));
    }
    if (n >= 0) return n;
    if (errno == EINTR) continue;
    return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

bool TerminalCopy::Flush() {
  while (!rest_.empty()) {
    const ssize_t n = WriteSome(rest_);
    if (n <= 0) return false;
    rest_.erase(0, static_cast<size_t>(n));
  }
  return true;
}

bool TerminalCopy::Write(std::string_view line) {
  if (fd_ < 0) return false;
  if (!Flush()) {
    ++dropped_;
    return false;
  }
  if (dropped_ > 0) {
    const std::string notice = "sablewick: " + std::to_string(dropped_) +
                               " log line(s) not shown here: standard error was not being "
                               "read (the log file has them)\n";
    const ssize_t n = WriteSome(notice);
    if (n <= 0) {
      ++dropped_;
      return false;
    }
    dropped_ = 0;
    if (static_cast<size_t>(n) < notice.size()) {
      rest_ = notice.substr(static_cast<size_t>(n));
      ++dropped_;  // the line itself waits behind the notice's end
      return false;
    }
  }
  const ssize_t n = WriteSome(line);
  if (n <= 0) {
    ++dropped_;
    return false;
  }
  if (static_cast<size_t>(n) < line.size())
    rest_ = std::string(line.substr(static_cast<size_t>(n)));
  return true;
}

void SayOnTerminal(App& app, std::string_view line) {
  if (!app.terminal) app.terminal = std::make_unique<TerminalCopy>();
  app.terminal->Write(line);
}

void LogToFile(App& app, std::string_view source, std::string_view message) {
  std::string line = FormatGeneralDate(app.clock->Now());
  line += " | ";
  // What callers pass may hold anything (an item list's separators, a peer's CR LF): escaped,
  // so that each call stays one line of the file and of standard error.
  line += EscapeForLog(source);
  line += ' ';
  line += EscapeForLog(message);
  const size_t head = line.size();
  line += ' ';
  line += std::to_string(app.Err.line);
  line += ' ';
  line += EscapeForLog(app.Err.description);
  line += "\r\n";
  MirrorToStderr(app, std::string_view(line).substr(0, head), app.Err);
  app.Err.Clear();
  // The record of last resort: a line that cannot be written is lost silently.
  AppendToLog(app, line);
}

bool AppendToLog(App& app, std::string_view text) {
  if (!app.logFile) app.logFile = std::make_unique<LogFile>();
  LogFile& log = *app.logFile;
  const std::string path = LogFilePath(app);
  const bool failing = log.Error() != 0;
  std::string notice;
  if (log.Lost() > 0) {
    notice = FormatGeneralDate(app.clock->Now()) +
             " | Sablewick log writes failing: " + std::strerror(log.Error()) + "; " +
             std::to_string(log.Lost()) + " line(s) lost";
    notice += " 0 \r\n";
  }
  if (log.Append(path, text, notice)) {
    if (!notice.empty()) SayOnTerminal(app, notice.substr(0, notice.size() - 5) + "\n");
    return true;
  }
  if (!failing) {
    SayOnTerminal(app, "sablewick: cannot write the log file " + path + " (" +
                           std::strerror(log.Error()) + "): log lines go to standard error only\n");
  }
  return false;
}

LogFile::~LogFile() {
  if (fd_ >= 0) ::close(fd_);
}

void LogFile::SetLimits(uint64_t maxBytes, unsigned files) {
  maxBytes_ = maxBytes;
  files_ = files;
  // More files than before may hold a gap the first look did not reach.
  gapsClosedFor_.clear();
  if (files_ > 0 && !path_.empty()) {
    CloseRotationGaps(path_, files_);
    gapsClosedFor_ = path_;
  }
}

bool LogFile::Fail(int error, bool lost) {
  error_ = error != 0 ? error : EIO;
  if (lost) ++lost_;
  return false;
}

bool LogFile::Open(const std::string& path) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (files_ > 0 && gapsClosedFor_ != path) {
    CloseRotationGaps(path, files_);
    gapsClosedFor_ = path;
  }
  const int fd = OpenPrivate(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return false;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    // Something else standing at the path (a FIFO) is not written to.
    const int error = S_ISREG(st.st_mode) ? errno : EINVAL;
    ::close(fd);
    errno = error;
    return false;
  }
  fd_ = fd;
  path_ = path;
  device_ = st.st_dev;
  inode_ = st.st_ino;
  size_ = static_cast<uint64_t>(st.st_size);
  return true;
}

bool LogFile::RoomFor(size_t bytes) const {
  struct statvfs fs {};
  if (::fstatvfs(fd_, &fs) != 0) return true;  // unknown: the write will tell
  // What anyone may use: root's reserve is not counted on (a root of a user namespace may
  // not touch it), so on a disk down to its reserve the file grows past its bound instead.
  return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize > bytes;
}

bool LogFile::Append(const std::string& path, std::string_view text, std::string_view prefix) {
  struct stat st {};
  const bool current = fd_ >= 0 && path == path_ && ::stat(path.c_str(), &st) == 0 &&
                       st.st_dev == device_ && st.st_ino == inode_;
  if (!current && !Open(path)) return Fail(errno, !text.empty());
  const size_t length = prefix.size() + text.size();
  if (length == 0) return true;
  // Rotation deletes the oldest file: only for a line that the file system can take, and not
  // while writes fail (a full disk would otherwise eat the history a file at a time).
  if (error_ == 0 && files_ > 0 && size_ > 0 && size_ + length > maxBytes_ && RoomFor(length)) {
    Rotate();
    if (fd_ < 0) return Fail(errno, !text.empty());
  }
  std::string joined;
  std::string_view out = text;
  if (!prefix.empty()) {
    joined.reserve(length);
    joined.append(prefix).append(text);
    out = joined;
  }
  size_t written = 0;
  while (written < out.size()) {
    const ssize_t n = ::write(fd_, out.data() + written, out.size() - written);
    if (n > 0) {
      written += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    const int error = n < 0 ? errno : EIO;
    // A line cut short is taken back: the file holds whole lines only.
    if (written > 0 && ::fstat(fd_, &st) == 0 && static_cast<uint64_t>(st.st_size) >= written)
      (void)::ftruncate(fd_, st.st_size - static_cast<off_t>(written));
    return Fail(error, !text.empty());
  }
  size_ += written;
  error_ = 0;
  lost_ = 0;
  return true;
}

std::string RotatedLogName(const std::string& path, unsigned n) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const size_t at = dot == std::string::npos || (slash != std::string::npos && dot < slash)
                        ? path.size()
                        : dot;
  return path.substr(0, at) + "." + std::to_string(n) + path.substr(at);
}

std::vector<LogFile::Rename> LogFile::RotationPlan(const std::string& path, unsigned files) {
  // Renaming onto the oldest replaces it in the same step: no moment without it before the
  // next one has taken its place.
  std::vector<Rename> plan;
  if (files == 0) return plan;
  for (unsigned n = files; n > 1; --n)
    plan.push_back({RotatedLogName(path, n - 1), RotatedLogName(path, n)});
  plan.push_back({path, RotatedLogName(path, 1)});
  return plan;
}

void LogFile::CloseRotationGaps(const std::string& path, unsigned files) {
  unsigned next = 1;
  for (unsigned n = 1; n <= files; ++n) {
    const std::string name = RotatedLogName(path, n);
    struct stat st {};
    if (::lstat(name.c_str(), &st) != 0) continue;
    // A file that cannot move stays where it is, and the numbering goes on after it.
    if (n != next && ::rename(name.c_str(), RotatedLogName(path, next).c_str()) != 0) next = n;
    ++next;
  }
}

void LogFile::Rotate() {
  for (const Rename& step : RotationPlan(path_, files_))
    (void)::rename(step.from.c_str(), step.to.c_str());
  const std::string path = path_;
  Open(path);
}

uint64_t CountSetting(App& app, std::string_view section, std::string_view key,
                      std::string_view text, uint64_t fallback) {
  if (text.empty()) return fallback;
  if (text.size() > 9 || text.find_first_not_of("0123456789") != std::string_view::npos) {
    LogToFile(app, "Sablewick",
              "[" + std::string(section) + "] " + std::string(key) + "=" + std::string(text) +
                  " is not a whole number; taking " + std::to_string(fallback));
    return fallback;
  }
  return std::stoull(std::string(text));
}

void ReportEvent(App& app, std::string_view source, std::string_view message) {
  std::string data(message);
  if (app.Err.IsSet()) {
    data += " Line ";
    data += std::to_string(app.Err.line);
    data += ' ';
    data += app.Err.description;
    app.Err.Clear();
  }
  const std::string time = FormatGeneralDate(app.clock->Now());
  if (app.SendEvent != nullptr) app.SendEvent(app, time, source, data);
}

void CreateFolders(App& app, std::string_view path) {
  // Only an absolute path names its folders; the root is "/" and the last piece a file name.
  if (path.empty() || path.front() != '/') return;
  std::string folder;
  size_t start = 1;
  for (;;) {
    const size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) break;  // what remains is the file name
    folder += '/';
    folder += path.substr(start, slash - start);
    start = slash + 1;
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) continue;
    if (!MakePrivateFolder(folder.c_str()) &&
        !(errno == EEXIST && ::stat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode))) {
      try {
        ThrowSystemError("mkdir");
      } catch (...) {
        SetPendingError(app, 0);
      }
      ReportEvent(app, "Sablewick", " CreateFolders " + folder);
    }
  }
}

void StepRunner::Report() {
  if (via_ == ReportVia::Log) {
    LogToFile(app_, source_, operation_);
  } else {
    ReportEvent(app_, source_, operation_);
  }
}

}  // namespace sablewick
