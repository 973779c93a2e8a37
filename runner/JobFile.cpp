#include "runner/JobFile.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace runner {
namespace {

std::string Lower(std::string s) {
  for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

int LineAt(const std::string& text, size_t pos) {
  return 1 + static_cast<int>(std::count(text.begin(), text.begin() + static_cast<long>(pos), '\n'));
}

// Attribute value of a tag's text (`<script language="VBScript" src='a.vbs'>`).
std::string Attribute(const std::string& tag, const std::string& name) {
  std::string lower = Lower(tag);
  size_t p = 0;
  while ((p = lower.find(name, p)) != std::string::npos) {
    bool boundary = p > 0 && std::isspace(static_cast<unsigned char>(lower[p - 1]));
    size_t q = p + name.size();
    while (q < lower.size() && std::isspace(static_cast<unsigned char>(lower[q]))) ++q;
    if (boundary && q < lower.size() && lower[q] == '=') {
      ++q;
      while (q < lower.size() && std::isspace(static_cast<unsigned char>(lower[q]))) ++q;
      if (q < tag.size() && (tag[q] == '"' || tag[q] == '\'')) {
        char quote = tag[q];
        size_t end = tag.find(quote, q + 1);
        if (end == std::string::npos) return {};
        return tag.substr(q + 1, end - q - 1);
      }
      size_t end = q;
      while (end < tag.size() && !std::isspace(static_cast<unsigned char>(tag[end])) &&
             tag[end] != '>' && tag[end] != '/')
        ++end;
      return tag.substr(q, end - q);
    }
    p = q;
  }
  return {};
}

}  // namespace

std::string ReadWholeFile(const std::string& path, bool& ok) {
  std::ifstream in(path, std::ios::binary);
  ok = static_cast<bool>(in);
  if (!ok) return {};
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

Job ReadJobFile(const std::string& path, const std::string& text) {
  Job job;
  std::string lower = Lower(text);
  size_t start = lower.find("<job");
  size_t stop = std::string::npos;
  if (start != std::string::npos) stop = lower.find("</job>", start);
  else start = 0;
  std::filesystem::path dir = std::filesystem::path(path).parent_path();
  size_t pos = start;
  while (true) {
    size_t scriptTag = lower.find("<script", pos);
    size_t objectTag = lower.find("<object", pos);
    size_t next = std::min(scriptTag, objectTag);
    if (next == std::string::npos || (stop != std::string::npos && next > stop)) break;
    size_t tagEnd = text.find('>', next);
    if (tagEnd == std::string::npos) throw std::runtime_error("unterminated tag");
    std::string tag = text.substr(next, tagEnd - next + 1);
    bool selfClosing = tagEnd > 0 && text[tagEnd - 1] == '/';
    if (next == objectTag) {
      job.objects.push_back({Attribute(tag, "id"), Attribute(tag, "progid")});
      pos = tagEnd + 1;
      continue;
    }
    ScriptBlock block;
    block.language = Attribute(tag, "language");
    if (block.language.empty()) block.language = "VBScript";
    std::string src = Attribute(tag, "src");
    size_t after = tagEnd + 1;
    if (!selfClosing) {
      size_t close = lower.find("</script", after);
      if (close == std::string::npos) throw std::runtime_error("<script> without </script>");
      std::string body = text.substr(after, close - after);
      int firstLine = LineAt(text, after);
      // CDATA only hides markup from XML readers; its brackets are no script.
      size_t cdata = body.find("<![CDATA[");
      if (cdata != std::string::npos) {
        body.replace(cdata, 9, std::string(9, ' '));
        size_t endCdata = body.rfind("]]>");
        if (endCdata != std::string::npos) body.replace(endCdata, 3, "   ");
      }
      if (src.empty()) {
        block.code = std::move(body);
        block.fileName = path;
        block.firstLine = firstLine;
      }
      pos = lower.find('>', close);
      pos = pos == std::string::npos ? lower.size() : pos + 1;
    } else {
      pos = after;
    }
    if (!src.empty()) {
      // Job files written for the original platform name their scripts with backslashes.
      std::replace(src.begin(), src.end(), '\\', '/');
      std::filesystem::path p = src;
      if (p.is_relative()) p = dir / p;
      bool ok;
      block.code = ReadWholeFile(p.string(), ok);
      if (!ok) throw std::runtime_error("cannot read script file " + p.string());
      block.fileName = p.string();
      block.firstLine = 1;
    }
    job.scripts.push_back(std::move(block));
  }
  return job;
}

}  // namespace runner
