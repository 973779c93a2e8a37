// The instance folder: where Config/, Data/ and Scripts/ of this user's node live. The node,
// sablewick-ctl and the scripts the node starts find it by the same rule, so this header
// stands on the standard library and POSIX alone (the programs over the engine take it too).
//
//   1. --folder DIR on the node's command line;
//   2. else $SABLEWICK_FOLDER;
//   3. else the program's own folder when it is the user's (the portable install: writable
//      by the user, and either holding Config/ already or not a shared program folder such
//      as /usr/bin or ~/.local/bin);
//   4. else $XDG_DATA_HOME/sablewick, or ~/.local/share/sablewick without it.
#pragma once

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>

namespace sablewick {

inline constexpr char kFolderVariable[] = "SABLEWICK_FOLDER";

// What the rule reads from the environment; FolderEnvironment() fills it from this process.
struct FolderEnv {
  std::string folder;       // $SABLEWICK_FOLDER
  std::string dataHome;     // $XDG_DATA_HOME
  std::string home;         // $HOME, else the password database's home of this user
};

inline FolderEnv FolderEnvironment() {
  FolderEnv env;
  if (const char* v = std::getenv(kFolderVariable)) env.folder = v;
  if (const char* v = std::getenv("XDG_DATA_HOME")) env.dataHome = v;
  if (const char* v = std::getenv("HOME")) env.home = v;
  if (env.home.empty()) {
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr)
      env.home = pw->pw_dir;
  }
  return env;
}

struct FolderChoice {
  std::string path;       // absolute, no trailing separator; empty when none could be named
  bool portable = false;  // the program's own folder
  std::string how;        // what chose it, for messages: "--folder", "SABLEWICK_FOLDER", ...
};

// A relative folder is taken from the current folder; the result has no trailing separator.
inline std::string AbsoluteFolder(std::string_view path) {
  std::error_code ec;
  std::string out = std::filesystem::absolute(std::filesystem::path(path), ec)
                        .lexically_normal()
                        .string();
  if (ec) out = std::string(path);
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return out;
}

// The program's folder holds the node's files when the user may write there and it is not a
// folder of programs shared with others. An install that already made Config/ there is one
// whatever the folder's name.
inline bool IsPortableFolder(const std::string& programFolder) {
  if (programFolder.empty() || ::access(programFolder.c_str(), W_OK) != 0) return false;
  struct stat st {};
  if (::stat((programFolder + "/Config").c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  const std::string_view name =
      std::string_view(programFolder).substr(programFolder.rfind('/') + 1);
  return name != "bin" && name != "sbin";
}

inline FolderChoice ChooseInstanceFolder(const std::string& programFolder,
                                         std::string_view given, const FolderEnv& env) {
  if (!given.empty()) return {AbsoluteFolder(given), false, "--folder"};
  if (!env.folder.empty()) return {AbsoluteFolder(env.folder), false, kFolderVariable};
  if (IsPortableFolder(programFolder)) return {programFolder, true, "the program's folder"};
  // A relative XDG_DATA_HOME is invalid and ignored, as the base directory rules say.
  if (!env.dataHome.empty() && env.dataHome.front() == '/')
    return {AbsoluteFolder(env.dataHome + "/sablewick"), false, "XDG_DATA_HOME"};
  if (!env.home.empty() && env.home.front() == '/')
    return {AbsoluteFolder(env.home + "/.local/share/sablewick"), false, "HOME"};
  return {"", false, "HOME"};
}

// Makes the folder and every missing folder above it (mode 0700 whatever the umask, as the
// base directory rules ask), then checks that the user may write in it. Empty on success,
// else why not.
inline std::string MakeInstanceFolder(const std::string& path) {
  if (path.empty() || path.front() != '/')
    return "no folder for the node's files: set HOME or XDG_DATA_HOME, or give --folder DIR";
  std::string folder;
  size_t start = 1;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    folder += '/';
    folder.append(path, start, end - start);
    start = end + 1;
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return "cannot use folder " + path + ": " + folder + " is a file";
      continue;
    }
    if (::mkdir(folder.c_str(), 0700) == 0) {
      (void)::chmod(folder.c_str(), 0700);  // the umask may have taken bits away
    } else if (errno != EEXIST) {
      return "cannot create folder " + folder + ": " + std::strerror(errno);
    }
  }
  if (::access(path.c_str(), W_OK) != 0)
    return "cannot write in folder " + path + ": " + std::strerror(errno);
  return {};
}

}  // namespace sablewick
