// Path rules of the program: the base folder, the reported program path, and names that
// scripts give relative to a folder.
#pragma once

#include <string>
#include <string_view>

namespace sablewick {

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

// The path itself when it exists; otherwise the path whose components match it without regard
// to case (scripts may name files in any case), or the path unchanged when none does.
std::string ResolveCaseInsensitive(const std::string& path);

// A name is absolute when it starts with "/".
inline bool IsAbsolute(std::string_view name) { return !name.empty() && name.front() == '/'; }

}  // namespace sablewick
