// Installing INI values into the text of a script file.
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>

#include "core/Clock.h"
#include "core/Errors.h"
#include "ini/IniTool.h"
#include "ini/Pattern.h"
#include "ini/TextFile.h"

namespace sablewick {
namespace {

constexpr std::string_view kLogHeading =
    "Run Date   /   Ini File   /   Date of Ini File    /   File Modified    /  Header Modified";

double LocalDate(time_t when) {
  tm local{};
  localtime_r(&when, &local);
  return DateFromParts(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                       local.tm_min, local.tm_sec);
}

std::string_view TrimSpaces(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

size_t MatchEnd(const rx::Matcher& m) {
  return m.End(0);
}
size_t NameEnd(const rx::Matcher& m) {
  return m.Matched(1) ? m.End(1) : m.End(0);
}

// On every line where `pattern` matches, keeps the text up to keepEnd(match), puts `insert`
// there and drops the rest of the line up to its CR LF. Positions come from the original text,
// so each rewrite lands on its own line however much earlier rewrites grew or shrank the text.
// A second match on a line already rewritten is skipped: its text has just been dropped.
template <class KeepEnd>
std::string RewriteLines(const std::string& text, const std::string& pattern,
                         std::string_view insert, const std::string& filename, KeepEnd keepEnd) {
  NamePattern re(pattern);
  std::string out;
  size_t copied = 0;  // text before this offset is already in `out`
  bool rewritten = false;
  for (size_t from = 0; re.Find(text, from);) {
    const rx::Matcher& m = re.Match();
    from = m.End(0) > m.Begin(0) ? m.End(0) : m.Begin(0) + 1;
    if (m.Begin(0) < copied) continue;
    const size_t keep = std::max(keepEnd(m), m.Begin(0));
    const size_t lineEnd = text.find("\r\n", keep);
    if (lineEnd == std::string::npos) {
      throw Failure(kGenericFailure, "Matching line has no line end in " + filename);
    }
    out.append(text, copied, keep - copied);
    out += insert;
    copied = lineEnd;
    rewritten = true;
  }
  if (!rewritten) return text;
  out.append(text, copied);
  return out;
}

// A Const declaration anywhere on a line, then an assignment at the start of a line.
std::string InstallValue(const std::string& text, const std::string& name, const std::string& value,
                         const std::string& marker, const std::string& filename) {
  const std::string insert = " " + value + marker;
  std::string out = RewriteLines(text, "(Const) *(" + name + ") *(=)", insert, filename, MatchEnd);
  return RewriteLines(out, "\\n\\s*(" + name + ") *(=)", insert, filename, MatchEnd);
}

}  // namespace

void IniTool::InstallKeys(const std::string& filename, const std::string& headerName) {
  std::string text = ReadTextFile(filename);
  const std::vector<std::string> keys = Keys(headerName);
  const std::string marker = LogInstall(filename, headerName);
  for (const std::string& key : keys) {
    if (key.empty()) continue;
    text = InstallValue(text, key, Read(headerName, key, ""), marker, filename);
  }
  ReplaceTextFile(filename, text);
}

void IniTool::InstallConstant(const std::string& filename, const std::string& keyName,
                              const std::string& keyValue) {
  std::string text = ReadTextFile(filename);
  const std::string marker = LogInstall(filename, keyName);
  if (!keyName.empty()) text = InstallValue(text, keyName, keyValue, marker, filename);
  ReplaceTextFile(filename, text);
}

void IniTool::InstallStrings(const std::string& filename, const std::string& headerName) {
  std::string text = ReadTextFile(filename);
  const std::vector<std::string> keys = Keys(headerName);
  LogInstall(filename, headerName);
  for (const std::string& key : keys) {
    if (key.empty()) continue;
    // The value carries everything after the name, so no blank and no marker go in.
    text = RewriteLines(text, "\\n\\s*(" + key + ")", Read(headerName, key, ""), filename, NameEnd);
  }
  ReplaceTextFile(filename, text);
}

void IniTool::InstallArray(const std::string& filename, const std::string& headerName,
                           const std::string& array1Name, const std::string& array2Name) {
  std::string text = ReadTextFile(filename);
  const std::vector<std::string> keys = Keys(headerName);
  const std::string marker = LogInstall(filename, headerName);

  std::string names = "(";
  std::string values = "(";
  for (size_t i = 0; i < keys.size(); ++i) {
    const std::string value = Read(headerName, keys[i], "");
    std::string_view v = TrimSpaces(value);
    // A value may carry a trailing VBScript comment, as in 5 'seconds.
    if (const size_t quote = v.find('\''); quote != std::string_view::npos) {
      v = TrimSpaces(v.substr(0, quote));
    }
    if (i > 0) {
      names += ',';
      values += ',';
    }
    names += '"' + keys[i] + '"';
    values += v;
  }
  names += ')';
  values += ')';

  text =
      RewriteLines(text, "(" + array1Name + ") *(=) *(Array)", names + marker, filename, MatchEnd);
  text = RewriteLines(text, "(" + array2Name + ") *= *Array", values + marker, filename, MatchEnd);
  ReplaceTextFile(filename, text);
}

std::string IniTool::LogInstall(const std::string& filename, const std::string& name) {
  struct stat st {};
  if (::stat(filePath_.c_str(), &st) != 0)
    ThrowSystemError("Cannot find the INI file " + filePath_);
  const std::string modified = FormatGeneralDate(LocalDate(st.st_mtim.tv_sec));

  // Normalised so that a "./" in a relative path is not taken for the extension's dot.
  const std::string fullPath =
      std::filesystem::absolute(std::filesystem::path(filePath_)).lexically_normal().string();
  if (const size_t dot = fullPath.find('.'); dot != std::string::npos) {
    const std::string logPath = fullPath.substr(0, dot) + "_IniLog.txt";
    struct stat logStat {};
    std::string log = ::stat(logPath.c_str(), &logStat) == 0 ? ReadTextFile(logPath)
                                                             : std::string(kLogHeading) + "\r\n";
    log += FormatGeneralDate(app_.clock->Now());
    log += '\t';
    log += filePath_;
    log += '\t';
    log += modified;
    log += '\t';
    log += filename;
    log += '\t';
    log += name;
    log += "\r\n";
    ReplaceTextFile(logPath, log);
  }
  return "\t'Installed From .ini dated " + modified;
}

}  // namespace sablewick
