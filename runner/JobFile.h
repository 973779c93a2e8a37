// Reads a .wsf job file: the script blocks of its first <job>, in order.
#pragma once

#include <string>
#include <vector>

namespace runner {

struct ScriptBlock {
  std::string language;  // as written in the language attribute
  std::string code;
  std::string fileName;  // the file the code comes from (src, or the job file)
  int firstLine = 1;     // line of the code's first line in that file
};

struct ObjectTag {
  std::string id;
  std::string progId;
};

struct Job {
  std::vector<ScriptBlock> scripts;
  std::vector<ObjectTag> objects;
};

// Throws std::runtime_error with a message naming the problem (unreadable src file,
// unterminated <script>, ...).
Job ReadJobFile(const std::string& path, const std::string& text);

std::string ReadWholeFile(const std::string& path, bool& ok);

}  // namespace runner
