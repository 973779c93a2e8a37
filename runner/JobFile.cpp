#include "runner/JobFile.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "engine/Library.h"

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

std::string ScriptTextToUtf8(std::string bytes) {
  auto byte = [&](size_t i) { return static_cast<unsigned char>(bytes[i]); };
  if (bytes.size() >= 3 && byte(0) == 0xEF && byte(1) == 0xBB && byte(2) == 0xBF)
    return bytes.substr(3);
  if (bytes.size() < 2) return bytes;
  bool little = byte(0) == 0xFF && byte(1) == 0xFE;
  bool big = byte(0) == 0xFE && byte(1) == 0xFF;
  if (!little && !big) return bytes;
  auto unit = [&](size_t i) -> uint32_t {
    return little ? byte(i) | byte(i + 1) << 8 : byte(i) << 8 | byte(i + 1);
  };
  std::string out;
  out.reserve(bytes.size() / 2);
  // A lone surrogate or an odd last byte becomes U+FFFD rather than bad UTF-8.
  constexpr uint32_t kReplacement = 0xFFFD;
  for (size_t i = 2; i < bytes.size(); i += 2) {
    if (i + 1 >= bytes.size()) {
      vbs::lib::AppendUtf8(out, kReplacement);
      break;
    }
    uint32_t u = unit(i);
    if (u >= 0xD800 && u < 0xDC00 && i + 3 < bytes.size()) {
      uint32_t low = unit(i + 2);
      if (low >= 0xDC00 && low < 0xE000) {
        vbs::lib::AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00));
        i += 2;
        continue;
      }
    }
    vbs::lib::AppendUtf8(out, u >= 0xD800 && u < 0xE000 ? kReplacement : u);
  }
  return out;
}

bool ReadScriptFile(const std::string& path, std::string& text, std::string& error) {
  // A FIFO would hold the runner in open() until someone writes to it.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) {
    error = "the script file is a FIFO";
    return false;
  }
  errno = 0;
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot open the script file";
    if (errno != 0) error += std::string(": ") + std::strerror(errno);
    return false;
  }
  // Read in pieces up to the limit: a path such as /dev/zero must not fill the memory.
  std::string bytes;
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    if (bytes.size() + static_cast<size_t>(in.gcount()) > vbs::kMaxStringBytes) {
      error = "the script file is larger than 256 MB";
      return false;
    }
    bytes.append(chunk, static_cast<size_t>(in.gcount()));
  }
  if (in.bad()) {
    error = "cannot read the script file";
    if (errno != 0) error += std::string(": ") + std::strerror(errno);
    return false;
  }
  text = ScriptTextToUtf8(std::move(bytes));
  return true;
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
      std::string error;
      if (!ReadScriptFile(p.string(), block.code, error))
        throw std::runtime_error(p.string() + ": " + error);
      block.fileName = p.string();
      block.firstLine = 1;
    }
    job.scripts.push_back(std::move(block));
  }
  return job;
}

}  // namespace runner
