// Helpers shared by the INI tests.
#pragma once

#include <sys/stat.h>
#include <sys/time.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/TestSupport.h"

namespace sablewick::testing {

// Test texts are written with "\n"; script and INI files on disk use CR LF.
inline std::string Crlf(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

inline std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Sets a file's modification time to a local date and time.
inline void SetModified(const std::string& path, int year, int month, int day, int hour, int minute,
                        int second) {
  tm local{};
  local.tm_year = year - 1900;
  local.tm_mon = month - 1;
  local.tm_mday = day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_sec = second;
  local.tm_isdst = -1;
  const timeval times[2] = {{std::mktime(&local), 0}, {std::mktime(&local), 0}};
  ::utimes(path.c_str(), times);
}

}  // namespace sablewick::testing
