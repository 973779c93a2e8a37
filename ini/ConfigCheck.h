// The settings check: reads Config/Drumlin.ini and Config/Sablewick.ini of an install folder
// the way the node does and reports what the node would silently replace by a default or
// ignore. `sablewick-ctl check` prints it; the node logs its problems at start. Depends on
// ini/KnownSettings.h only, so that the tool can build it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace sablewick {

struct Finding {
  std::string file;  // "Config/Drumlin.ini"
  int line;          // 0: the file as a whole
  bool problem;      // false: a note that changes nothing the node does
  std::string message;
};

std::vector<Finding> CheckConfig(const std::string& folder);

// Reads at most maxBytes of a file given by name, never blocking in open() (a FIFO or a device
// is refused): false with why in words ("a FIFO, not a file").
bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& text,
                     std::string& why);
// One file's text, as if it were Config/<file> ("Drumlin.ini" or "Sablewick.ini").
std::vector<Finding> CheckConfigText(std::string_view file, std::string_view text);

}  // namespace sablewick
