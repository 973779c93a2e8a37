// File systems that misbehave on purpose, for tests: a tiny tmpfs (a full disk) and a
// read-only bind mount, in a mount namespace of the test process alone. Root, or the mapped
// root of tests/netns-run.sh, may make one; any other user gets a user namespace as well (the
// process must then still be single-threaded). The test skips when the system allows neither.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace sablewick::testing {

// Puts this process (and what it starts from now on) in a mount namespace of its own, once.
inline bool OwnMountNamespace() {
  static const bool done = [] {
    if (::unshare(CLONE_NEWNS) != 0) {
      const uid_t uid = ::getuid();
      const gid_t gid = ::getgid();
      if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return false;
      std::ofstream("/proc/self/setgroups") << "deny";
      std::ofstream("/proc/self/uid_map") << "0 " << uid << " 1";
      std::ofstream("/proc/self/gid_map") << "0 " << gid << " 1";
    }
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
  }();
  return done;
}

// A mount over folder for the object's lifetime.
class TestMount {
 public:
  // A tmpfs of `bytes` (rounded up to pages by the kernel).
  static TestMount Tmpfs(const std::string& folder, size_t bytes) {
    TestMount m;
    if (OwnMountNamespace() && ::mount("tmpfs", folder.c_str(), "tmpfs", 0,
                                       ("size=" + std::to_string(bytes)).c_str()) == 0)
      m.folder_ = folder;
    return m;
  }
  // The folder itself again, read-only: every write below it fails with EROFS.
  static TestMount ReadOnly(const std::string& folder) {
    TestMount m;
    if (OwnMountNamespace() &&
        ::mount(folder.c_str(), folder.c_str(), nullptr, MS_BIND, nullptr) == 0) {
      if (::mount(nullptr, folder.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0)
        m.folder_ = folder;
      else
        ::umount2(folder.c_str(), MNT_DETACH);
    }
    return m;
  }
  TestMount(TestMount&& other) noexcept : folder_(std::move(other.folder_)) {
    other.folder_.clear();
  }
  TestMount& operator=(TestMount&&) = delete;
  ~TestMount() {
    if (!folder_.empty()) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return !folder_.empty(); }

 private:
  TestMount() = default;
  std::string folder_;
};

}  // namespace sablewick::testing
