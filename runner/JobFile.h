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

// A script file's text as UTF-8, the engine's encoding: UTF-16 in either byte order (with
// its byte order mark) is converted, a UTF-8 byte order mark dropped, anything else kept
// byte for byte (the engine reads bytes that are not UTF-8 as Windows-1252).
// False with `error` set when the file cannot be read or holds more than a script's
// string may (256 MB).
bool ReadScriptFile(const std::string& path, std::string& text, std::string& error);
std::string ScriptTextToUtf8(std::string bytes);

}  // namespace runner
