// Path rules of the program: the base folder, the reported program path, and names that
// scripts give relative to a folder.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace sablewick {

// What stands at a path in words: "a folder", "a FIFO", "a socket", ... (for messages).
std::string FileKindName(mode_t mode);

// Opens a file that a setting or a user names, for reading, without ever blocking: O_NONBLOCK,
// so a FIFO or a device cannot hold the caller in open(), then a check that it is a regular
// file (the descriptor goes back to blocking reads). The descriptor, or -1 with `why` in words
// ("cannot be opened: No such file or directory", "is a FIFO, not a regular file").
int OpenRegularFile(const std::string& path, std::string& why);

std::string DirName(std::string_view path);
std::string BaseName(std::string_view path);

// The base folder for a program living in exeDir: a development tree (a component "vb" in any
// case) moves it to the installed folder.
std::string ResolveAppPath(std::string_view exeDir);
inline constexpr const char* kInstalledAppPath = "/opt/Sablewick";

// A program started from \\host\share\rest reports share:\rest; other paths stay unchanged.
std::string NetworkPathRule(std::string_view programPath);

// folder + "/" + name, where backslashes in name become "/" and leading separators are
// dropped, so exactly one separator stands between them.
std::string JoinRelative(std::string_view folder, std::string_view name);

// Whether a name taken relative to a folder (backslashes read as "/") stays inside it: no ".."
// component climbs above the folder ("sub/../a.vbs" stays, "sub/../../a.vbs" leaves). Only the
// text is judged; a link inside the folder that points out is the user's own and is followed.
bool StaysInside(std::string_view relativeName);

// The error number of a relative name that climbs out of its folder (Path/File access error).
inline constexpr int32_t kPathLeavesFolder = 75;

// JoinRelative(folder, name) for a name that must stay inside folder; throws a Failure
// (kPathLeavesFolder) naming the path and the folder's last component otherwise.
std::string JoinInside(std::string_view folder, std::string_view name);

// The path itself when it exists; otherwise the path whose components match it without regard
// to case (scripts may name files in any case), or the path unchanged when none does.
std::string ResolveCaseInsensitive(const std::string& path);

// A name is absolute when it starts with "/".
inline bool IsAbsolute(std::string_view name) { return !name.empty() && name.front() == '/'; }

}  // namespace sablewick
