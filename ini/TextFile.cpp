#include "ini/TextFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "core/Errors.h"
#include "core/Paths.h"
#include "core/PrivateFiles.h"

namespace sablewick {
namespace {

// Closes the descriptor and removes the temporary file unless the rename went through.
class TempFile {
 public:
  ~TempFile() {
    if (fd_ >= 0) ::close(fd_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  void Open(int fd, std::string path) {
    fd_ = fd;
    path_ = std::move(path);
  }
  int Fd() const { return fd_; }
  const std::string& Path() const { return path_; }
  void CloseOrThrow() {
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) ThrowSystemError("Cannot write " + path_);
  }
  void Release() { path_.clear(); }

 private:
  int fd_ = -1;
  std::string path_;
};

void WriteAll(int fd, std::string_view text, const std::string& what) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      ThrowSystemError("Cannot write " + what);
    }
    if (n == 0) {
      errno = EIO;
      ThrowSystemError("Cannot write " + what);
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}

// Writing through a link must replace the file it points to, not the link itself.
std::string ResolveTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) != nullptr) return resolved;
  }
  return path;
}

// The name's file and process when it has the form ".NAME.tmpPID-N".
bool ParseTempName(std::string_view name, std::string_view& base, pid_t& pid) {
  const size_t tmp = name.rfind(".tmp");
  if (name.size() < 2 || name.front() != '.' || tmp == std::string_view::npos || tmp < 2) {
    return false;
  }
  const std::string_view tail = name.substr(tmp + 4);
  const size_t dash = tail.find('-');
  const auto digits = [](std::string_view d) {
    return !d.empty() && d.size() <= 10 &&
           d.find_first_not_of("0123456789") == std::string_view::npos;
  };
  if (dash == std::string_view::npos || !digits(tail.substr(0, dash)) ||
      !digits(tail.substr(dash + 1))) {
    return false;
  }
  base = name.substr(1, tmp - 1);
  pid = static_cast<pid_t>(std::stol(std::string(tail.substr(0, dash))));
  return true;
}

}  // namespace

void RemoveStaleTempFiles(const std::string& folder, std::string_view base) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  // This process writes one replacement at a time, so its own leftovers are stale too.
  const pid_t self = ::getpid();
  while (const dirent* entry = ::readdir(dir)) {
    std::string_view fileBase;
    pid_t pid = 0;
    if (!ParseTempName(entry->d_name, fileBase, pid)) continue;
    if (!base.empty() && fileBase != base) continue;
    if (pid != self && !(::kill(pid, 0) != 0 && errno == ESRCH)) continue;
    (void)::unlinkat(::dirfd(dir), entry->d_name, 0);
  }
  ::closedir(dir);
}

std::string ReadTextFile(const std::string& path) {
  std::string why;
  const int fd = OpenRegularFile(path, why);
  if (fd < 0) throw Failure(kPathFileAccessError, path + " " + why);
  std::string text;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      const int code = errno;
      ::close(fd);
      errno = code;
      ThrowSystemError("Cannot read " + path);
    }
    if (n == 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

namespace {

// The folder and file name of the file that a write to `path` must replace: a symbolic link is
// followed to its target.
void SplitTarget(const std::string& path, std::string& target, std::string& folder,
                 std::string& base) {
  if (path.empty()) {
    errno = ENOENT;
    ThrowSystemError("Cannot write an unnamed file");
  }
  target = ResolveTarget(path);
  const size_t slash = target.rfind('/');
  folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : target.substr(0, slash));
  base = slash == std::string::npos ? target : target.substr(slash + 1);
}

// `text` in a new temporary file ".BASE.tmpPID-N" in folder, flushed to disk and closed: only
// its rename (or removal, when `temp` goes) is left to do.
void WriteTempFile(TempFile& temp, const std::string& folder, const std::string& base,
                   const std::string& path, std::string_view text, const struct stat* keepMode) {
  RemoveStaleTempFiles(folder, base);
  // Names are unique per process and attempt; another writer's leftover only costs a retry.
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100 && temp.Fd() < 0; ++attempt) {
    const std::string name = folder + "/." + base + ".tmp" + std::to_string(::getpid()) + "-" +
                             std::to_string(++counter);
    const int fd = OpenPrivate(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC);
    if (fd >= 0) {
      temp.Open(fd, name);
    } else if (errno != EEXIST) {
      ThrowSystemError("Cannot create a file beside " + path);
    }
  }
  if (temp.Fd() < 0) ThrowSystemError("Cannot create a file beside " + path);

  // The file keeps its mode; a new one is the user's alone (OpenPrivate made it 0600).
  if (keepMode != nullptr) (void)::fchmod(temp.Fd(), keepMode->st_mode & 07777);
  WriteAll(temp.Fd(), text, path);
  if (::fsync(temp.Fd()) != 0) ThrowSystemError("Cannot write " + path);
  temp.CloseOrThrow();
}

// The rename itself must survive a crash too.
void SyncFolder(const std::string& folder) {
  const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    (void)::fsync(dirFd);
    ::close(dirFd);
  }
}

}  // namespace

void ReplaceTextFile(const std::string& path, std::string_view text) {
  std::string target, folder, base;
  SplitTarget(path, target, folder, base);
  struct stat old {};
  const bool existed = ::stat(target.c_str(), &old) == 0;

  TempFile temp;
  WriteTempFile(temp, folder, base, path, text, existed ? &old : nullptr);
  if (::rename(temp.Path().c_str(), target.c_str()) != 0)
    ThrowSystemError("Cannot replace " + path);
  temp.Release();
  SyncFolder(folder);
}

bool CreateTextFile(const std::string& path, std::string_view text) {
  std::string target, folder, base;
  SplitTarget(path, target, folder, base);
  TempFile temp;
  WriteTempFile(temp, folder, base, path, text, nullptr);
  if (::renameat2(AT_FDCWD, temp.Path().c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    temp.Release();
    SyncFolder(folder);
    return true;
  }
  if (errno == EEXIST) return false;
  if (errno != EINVAL && errno != ENOSYS) ThrowSystemError("Cannot create " + path);

  // A file system that cannot rename without replacing: the file is made first, so nothing
  // that stands there is ever replaced, and then filled.
  const int fd = OpenPrivate(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC);
  if (fd < 0) {
    if (errno == EEXIST) return false;
    ThrowSystemError("Cannot create " + path);
  }
  TempFile made;
  made.Open(fd, target);
  WriteAll(fd, text, path);
  if (::fsync(fd) != 0) ThrowSystemError("Cannot write " + path);
  made.CloseOrThrow();
  made.Release();
  SyncFolder(folder);
  return true;
}

}  // namespace sablewick
