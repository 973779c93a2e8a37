// The log file, the event report, folder creation, and the step runner that ties them to the
// failure convention.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/App.h"

namespace sablewick {

// AppPath + "/Data/Sablewick.txt".
std::string LogFilePath(const App& app);

// Appends "time | source message line description" and CR LF; never fails towards the caller.
// Reads and clears the pending error.
void LogToFile(App& app, std::string_view source, std::string_view message);

// Appends text to the log file as it is (one write); false when it could not be written.
// While writes fail, lines are dropped and counted; the first line that can be written again
// is preceded by one saying so ("log writes failing: ERROR; N line(s) lost"), and the start
// of the failure is said once on standard error. Empty text only opens (and makes) the file.
bool AppendToLog(App& app, std::string_view text);

// The log file, kept open between lines. Before each write it checks that the path still
// names the open file: a file that rotation renamed or a user deleted is let go, and the line
// goes to a file created anew (mode 0600) at the path.
//
// A line is written whole or not at all: a write cut short (a full disk) is taken back, and
// only bytes really written count towards the bound. History is never deleted for a line
// that cannot be written: no rotation while writes fail or while the file system has no room
// for the line; the file then grows past its bound by the lines that still fit.
class LogFile {
 public:
  LogFile() = default;
  ~LogFile();
  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Writes prefix and text as one piece (prefix: a notice that must go before the line, or
  // empty). False when it could not be written: the line counts as lost unless text is empty.
  bool Append(const std::string& path, std::string_view text, std::string_view prefix = {});

  // The log's bound: a file that would pass maxBytes is renamed to NAME.1.EXT (the older ones
  // move up to NAME.<files>.EXT, the oldest goes) and a new one begins. files 0: no bound.
  void SetLimits(uint64_t maxBytes, unsigned files);
  static constexpr uint64_t kDefaultMaxBytes = 5u << 20;
  static constexpr unsigned kDefaultFiles = 3;

  // Why the last write failed (an errno value), 0 when it worked; lines lost since then.
  int Error() const { return error_; }
  uint64_t Lost() const { return lost_; }

  // The renames of one rotation, in the order they are made: from the oldest down, each one
  // atomic, so a rotation cut anywhere (kill -9, a power cut) loses no file but the oldest,
  // which it drops anyway, and leaves at most one number missing in the middle, which
  // CloseRotationGaps mends at the next start.
  struct Rename {
    std::string from, to;
  };
  static std::vector<Rename> RotationPlan(const std::string& path, unsigned files);
  // Renumbers NAME.1.EXT .. NAME.<files>.EXT so that they follow each other without a gap,
  // keeping their order. Done when a LogFile first opens a path.
  static void CloseRotationGaps(const std::string& path, unsigned files);

 private:
  bool Open(const std::string& path);
  bool RoomFor(size_t bytes) const;
  void Rotate();
  bool Fail(int error, bool lost);

  int fd_ = -1;
  std::string path_;
  uint64_t device_ = 0, inode_ = 0;
  uint64_t size_ = 0;
  uint64_t maxBytes_ = kDefaultMaxBytes;
  unsigned files_ = kDefaultFiles;
  std::string gapsClosedFor_;  // the path whose rotated files were renumbered
  int error_ = 0;
  uint64_t lost_ = 0;
};

// The copy of log lines on standard error. Standard error may be a pipe that nobody drains (a
// stalled supervisor, a pager): a write never waits. A line that cannot be taken whole is
// dropped (the log file keeps it), and the next line that gets through is preceded by one
// line saying how many were dropped. A line taken in part has its rest written first next
// time, so lines on the terminal never run together.
class TerminalCopy {
 public:
  explicit TerminalCopy(int fd = 2);
  ~TerminalCopy();
  TerminalCopy(const TerminalCopy&) = delete;
  TerminalCopy& operator=(const TerminalCopy&) = delete;

  // Writes one line (ending in "\n"); false when it was dropped.
  bool Write(std::string_view line);
  uint64_t Dropped() const { return dropped_; }

 private:
  // Writes as much as the descriptor takes now; the count written, -1 on a hard failure.
  ssize_t WriteSome(std::string_view text);
  bool Flush();

  int fd_ = -1;
  bool ownFd_ = false;   // fd_ is a description of our own, opened non-blocking
  bool socket_ = false;  // a socket (journald's stream): send with MSG_DONTWAIT
  std::string rest_;     // the unwritten end of a line taken in part
  uint64_t dropped_ = 0;
};

// Writes a line to standard error through the app's terminal copy (never waits).
void SayOnTerminal(App& app, std::string_view line);

// NAME.EXT with ".n" before the extension: Sablewick.txt, 2 -> Sablewick.2.txt.
std::string RotatedLogName(const std::string& path, unsigned n);

// A whole-number setting (digits only, at most nine): its value, or fallback (logged, naming
// section and key) when the text is something else. Empty text is the fallback, unlogged.
uint64_t CountSetting(App& app, std::string_view section, std::string_view key,
                      std::string_view text, uint64_t fallback);

// Sends a Homeseer.Event / Event.Log message through the sending helper. Reads and clears the
// pending error.
void ReportEvent(App& app, std::string_view source, std::string_view message);

// Creates every missing folder on the way to a file path (the last piece is a file name).
void CreateFolders(App& app, std::string_view path);

// Records the exception being handled as the pending error. Call from a catch block.
void SetPendingError(App& app, int32_t line);

enum class ReportVia { Log, Event };

// Runs the steps of one operation. A failing step becomes the pending error (its label is the
// step's number), is reported with the operation's name, and the next step still runs:
//
//   StepRunner step(app, "Sablewick", "InitXap", ReportVia::Log);
//   step([&] { ... });
//   step([&] { ... });
class StepRunner {
 public:
  StepRunner(App& app, std::string source, std::string operation, ReportVia via)
      : app_(app), source_(std::move(source)), operation_(std::move(operation)), via_(via) {}

  // Returns false when the step failed.
  template <class Step>
  bool operator()(Step&& step) {
    ++steps_;
    try {
      step();
      return true;
    } catch (...) {
      SetPendingError(app_, steps_);
      Report();
      ++failures_;
      return false;
    }
  }

  int Failures() const { return failures_; }

 private:
  void Report();

  App& app_;
  std::string source_;
  std::string operation_;
  ReportVia via_;
  int32_t steps_ = 0;
  int failures_ = 0;
};

}  // namespace sablewick
