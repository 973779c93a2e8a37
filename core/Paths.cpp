#include "core/Paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "core/Errors.h"
#include "core/Text.h"

namespace sablewick {

std::string DirName(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos) return ".";
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

std::string BaseName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ResolveAppPath(std::string_view exeDir) {
  size_t start = 0;
  while (start <= exeDir.size()) {
    size_t end = exeDir.find('/', start);
    if (end == std::string_view::npos) end = exeDir.size();
    if (EqualsNoCase(exeDir.substr(start, end - start), "vb")) return kInstalledAppPath;
    start = end + 1;
  }
  return std::string(exeDir);
}

std::string NetworkPathRule(std::string_view programPath) {
  const size_t unc = programPath.find("\\\\");
  if (unc == std::string_view::npos) return std::string(programPath);
  const size_t serverEnd = programPath.find('\\', unc + 2);
  if (serverEnd == std::string_view::npos) return std::string(programPath);
  const size_t shareEnd = programPath.find('\\', serverEnd + 1);
  if (shareEnd == std::string_view::npos) return std::string(programPath);
  std::string out(programPath.substr(serverEnd + 1, shareEnd - serverEnd - 1));
  out += ':';
  out += programPath.substr(shareEnd);
  return out;
}

std::string JoinRelative(std::string_view folder, std::string_view name) {
  std::string rel(name);
  for (char& c : rel) {
    if (c == '\\') c = '/';
  }
  size_t skip = 0;
  while (skip < rel.size() && rel[skip] == '/') ++skip;
  std::string out(folder);
  while (!out.empty() && out.back() == '/') out.pop_back();
  out += '/';
  out.append(rel, skip);
  return out;
}

bool StaysInside(std::string_view relativeName) {
  int depth = 0;
  size_t start = 0;
  while (start <= relativeName.size()) {
    size_t end = relativeName.find_first_of("/\\", start);
    if (end == std::string_view::npos) end = relativeName.size();
    const std::string_view piece = relativeName.substr(start, end - start);
    start = end + 1;
    if (piece.empty() || piece == ".") continue;
    if (piece != "..") {
      ++depth;
    } else if (--depth < 0) {
      return false;
    }
  }
  return true;
}

std::string JoinInside(std::string_view folder, std::string_view name) {
  if (!StaysInside(name)) {
    std::string_view shown = folder;
    while (!shown.empty() && shown.back() == '/') shown.remove_suffix(1);
    throw Failure(kPathLeavesFolder, "the path \"" + std::string(name) + "\" leaves " +
                                         BaseName(shown) + "/ (\"..\" climbs above it)");
  }
  return JoinRelative(folder, name);
}

std::string ResolveCaseInsensitive(const std::string& path) {
  struct stat st {};
  if (path.empty() || path.front() != '/' || ::stat(path.c_str(), &st) == 0) return path;
  std::string resolved;
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string piece = path.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    std::string candidate = resolved + "/" + piece;
    if (::lstat(candidate.c_str(), &st) != 0) {
      // Look for the one entry of the folder whose name differs only in case.
      DIR* dir = ::opendir(resolved.empty() ? "/" : resolved.c_str());
      if (dir == nullptr) return path;
      bool found = false;
      while (dirent* entry = ::readdir(dir)) {
        if (EqualsNoCase(entry->d_name, piece)) {
          candidate = resolved + "/" + entry->d_name;
          found = true;
          break;
        }
      }
      ::closedir(dir);
      if (!found) return path;
    }
    resolved = candidate;
  }
  return resolved.empty() ? path : resolved;
}

std::string FileKindName(mode_t mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "not a file";
}

int OpenRegularFile(const std::string& path, std::string& why) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    why = std::string("cannot be opened: ") + std::strerror(errno);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    why = std::string("cannot be read: ") + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    why = "is " + FileKindName(st.st_mode) + ", not a regular file";
    ::close(fd);
    return -1;
  }
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return fd;
}

}  // namespace sablewick
