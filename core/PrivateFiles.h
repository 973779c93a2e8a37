// The files and folders the node makes belong to its user alone: files 0600, folders 0700,
// whatever the umask. The log holds what handlers print, the settings hold passwords' file
// names and addresses, and a portable install is often made under umask 022, which would
// show them to every user of the machine. What exists already keeps its mode: a user who
// opened a file up on purpose is not overruled.
//
// On the standard library and POSIX alone. (Folder.h, which must stand alone, makes its
// folders the same way.)
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sablewick {

inline constexpr mode_t kPrivateFileMode = 0600;
inline constexpr mode_t kPrivateFolderMode = 0700;

// open(2) whose O_CREAT makes a missing file with mode 0600 exactly (the umask could take
// bits away, never add them: a chmod after creating puts back what it took). An existing
// file is opened as it is, with its mode. -1 with errno on failure.
inline int OpenPrivate(const char* path, int flags) {
  if ((flags & O_CREAT) == 0) return ::open(path, flags);
  if ((flags & O_EXCL) == 0) {
    // Only the call that made the file may set its mode: first the file that is there, then
    // a new one that nothing else made meanwhile.
    for (int attempt = 0; attempt < 4; ++attempt) {
      const int fd = ::open(path, flags & ~O_CREAT);
      if (fd >= 0 || errno != ENOENT) return fd;
      const int made = ::open(path, flags | O_EXCL, kPrivateFileMode);
      if (made >= 0) {
        (void)::fchmod(made, kPrivateFileMode);
        return made;
      }
      if (errno != EEXIST) return -1;
    }
    // A symbolic link to a missing file: created where it points, as open(2) would.
    return ::open(path, flags, kPrivateFileMode);
  }
  const int fd = ::open(path, flags, kPrivateFileMode);
  if (fd >= 0) (void)::fchmod(fd, kPrivateFileMode);
  return fd;
}

// mkdir(2) with mode 0700 exactly. false with errno when the folder was not made (EEXIST
// when something stands there already).
inline bool MakePrivateFolder(const char* path) {
  if (::mkdir(path, kPrivateFolderMode) != 0) return false;
  (void)::chmod(path, kPrivateFolderMode);
  return true;
}

}  // namespace sablewick
