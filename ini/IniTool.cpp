#include "ini/IniTool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/Errors.h"
#include "core/Paths.h"
#include "core/Log.h"
#include "core/PrivateFiles.h"
#include "ini/Pattern.h"
#include "ini/TextFile.h"

namespace sablewick {
namespace {

// Only ASCII letters change: bytes pass through unchanged, and a byte of a multi-byte
// character must never be mistaken for a Latin-1 letter.
std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

// Item keys: upper-case section, "~", upper-case key name.
std::string ItemKey(std::string_view header, std::string_view key) {
  std::string out = Upper(header);
  out += '~';
  out += Upper(key);
  return out;
}

// Only the space character is trimmed; tabs belong to the text.
std::string_view TrimSpaces(std::string_view text) {
  const size_t first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// A header without pattern characters matches exactly the keys that start with its upper-case
// name and "~"; such headers skip the regular expression altogether.
bool IsLiteralPattern(std::string_view header) {
  return header.find_first_of("^$\\.*+?()[]{}|") == std::string_view::npos;
}

constexpr size_t kMaxSavedHeader = 100;
constexpr size_t kMaxSavedKey = 65;

}  // namespace

IniTool::IniTool(App& app) : app_(app) {}

const IniTool::Entry* IniTool::Find(const std::string& key) const {
  const auto it = index_.find(key);
  return it == index_.end() ? nullptr : &entries_[it->second];
}

bool IniTool::Add(Entry entry) {
  const auto [it, added] = index_.try_emplace(entry.key, static_cast<uint32_t>(entries_.size()));
  if (added) entries_.push_back(std::move(entry));
  return added;
}

bool IniTool::AddSection(std::string_view name) {
  return Add(Entry{Upper(name), std::string(name), 0, true, false});
}

bool IniTool::AddItem(std::string_view header, std::string_view key, std::string_view value) {
  return Add(Entry{ItemKey(header, key), std::string(value), static_cast<uint32_t>(header.size()),
                   false, false});
}

void IniTool::Erase(const std::string& key) {
  const auto it = index_.find(key);
  if (it == index_.end()) return;
  Entry& entry = entries_[it->second];
  entry.removed = true;
  entry.key = std::string();
  entry.value = std::string();
  index_.erase(it);
  ++removedCount_;
  if (removedCount_ > 64 && removedCount_ * 2 > entries_.size()) {
    std::erase_if(entries_, [](const Entry& e) { return e.removed; });
    for (uint32_t i = 0; i < entries_.size(); ++i) index_[entries_[i].key] = i;
    removedCount_ = 0;
  }
}

bool EnsureSettingsFile(App& app, const std::string& fPath) {
  struct stat st {};
  if (::stat(fPath.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    throw Failure(kPathFileAccessError,
                  fPath + " is " + FileKindName(st.st_mode) + ", not a settings file");
  }
  if (::lstat(fPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && ::stat(fPath.c_str(), &st) != 0) {
    throw Failure(kPathFileAccessError,
                  fPath + " is a symbolic link to a file that cannot be reached (" +
                      std::strerror(errno) + ")");
  }
  if (::stat(fPath.c_str(), &st) == 0) return false;
  CreateFolders(app, fPath);
  // O_EXCL: whatever else came to stand at that path meanwhile is left alone and fails.
  const int fd = OpenPrivate(fPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC);
  if (fd < 0) ThrowSystemError("Cannot create " + fPath);
  ::close(fd);
  return true;
}

void IniTool::Load(const std::string& fPath) {
  Clear();
  filePath_ = fPath;
  createdByLoad_ = false;

  if (EnsureSettingsFile(app_, fPath)) {
    createdByLoad_ = true;
    return;
  }

  const std::string text = ReadTextFile(fPath);
  std::string_view section;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    const size_t next = end == std::string::npos ? text.size() : end + 1;
    if (end == std::string::npos) end = text.size();
    std::string_view line(text.data() + pos, end - pos);
    pos = next;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    line = TrimSpaces(line);

    if (line.empty() || line.front() == ';') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      section = line.substr(1, line.size() - 2);
      AddSection(section);
      continue;
    }
    const size_t equals = line.find('=');
    if (equals == std::string_view::npos) {
      ReportEvent(app_, "IniTool", " Equal sign not found on line " + std::string(line));
      continue;
    }
    // First occurrence wins: Add ignores a key it already holds.
    AddItem(section, line.substr(0, equals), line.substr(equals + 1));
  }
}

std::string IniTool::Read(std::string_view header, std::string_view key,
                          std::string_view defaultValue) const {
  const Entry* entry = Find(ItemKey(header, key));
  if (entry == nullptr || entry->value.empty()) return std::string(defaultValue);
  return entry->value;
}

void IniTool::WriteKey(std::string_view header, std::string_view key, std::string_view newValue) {
  AddSection(header);
  const auto it = index_.find(ItemKey(header, key));
  if (it != index_.end()) {
    entries_[it->second].value = std::string(newValue);
  } else {
    AddItem(header, key, newValue);
  }
}

void IniTool::Remove(std::string_view header, std::string_view key) {
  Erase(ItemKey(header, key));
}

std::vector<std::string> IniTool::Headers() const {
  std::vector<std::string> names;
  for (const Entry& entry : entries_) {
    if (!entry.removed && entry.isSection) names.push_back(entry.value);
  }
  return names;
}

std::vector<std::string> IniTool::Keys(std::string_view header) const {
  return Keys(header, false);
}

std::vector<std::string> IniTool::KeysOrThrow(std::string_view header) const {
  return Keys(header, true);
}

std::vector<std::string> IniTool::Keys(std::string_view header, bool orThrow) const {
  std::string joined;
  bool any = false;
  auto collect = [&](const Entry& entry) {
    const std::string_view name = std::string_view(entry.key).substr(entry.sectionLength + 1);
    if (TrimSpaces(name).empty()) return;
    if (any) joined += '~';
    joined += name;
    any = true;
  };

  // The header is matched against an item's section part and its "~", so that the items of a
  // section named "s~t" are not taken for keys of section "s".
  if (IsLiteralPattern(header)) {
    const std::string prefix = Upper(header) + '~';
    for (const Entry& entry : entries_) {
      if (!entry.removed && !entry.isSection && entry.sectionLength + 1 == prefix.size() &&
          entry.key.starts_with(prefix)) {
        collect(entry);
      }
    }
  } else {
    try {
      std::string text = "^";
      text += header;
      text += "\\~";
      NamePattern pattern(text);
      for (const Entry& entry : entries_) {
        if (entry.removed || entry.isSection) continue;
        if (pattern.Find(std::string_view(entry.key).substr(0, entry.sectionLength + 1))) {
          collect(entry);
        }
      }
    } catch (...) {
      // A section name that is no valid pattern (or one that ran past its budget) names no
      // section.
      SetPendingError(app_, 0);
      const PendingError failure = app_.Err;
      ReportEvent(app_, "IniTool",
                  " Keys section name is not a valid pattern " + std::string(header));
      if (orThrow) throw Failure(failure.number, failure.description);
      joined.clear();
    }
  }

  // Names holding "~" come back in pieces, as callers have always seen them.
  std::vector<std::string> names;
  size_t start = 0;
  for (size_t tilde; (tilde = joined.find('~', start)) != std::string::npos; start = tilde + 1) {
    names.push_back(joined.substr(start, tilde - start));
  }
  names.push_back(joined.substr(start));
  return names;
}

void IniTool::Clear() {
  entries_.clear();
  index_.clear();
  removedCount_ = 0;
}

void IniTool::Save() {
  StepRunner step(app_, "Sablewick", "IniTool Save " + filePath_, ReportVia::Event);
  step([this] { SaveFile(); });
}

void IniTool::SaveOrThrow() {
  try {
    SaveFile();
  } catch (...) {
    SetPendingError(app_, 1);
    ReportEvent(app_, "Sablewick", "IniTool Save " + filePath_);
    if (createdByLoad_) {
      for (const std::string& path : {filePath_, filePath_ + "_bck"}) {
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size == 0) {
          ::unlink(path.c_str());
        }
      }
    }
    throw;
  }
}

void IniTool::SaveFile() const {
  struct Row {
    std::string_view header, key, value;
  };
  // Every row is checked before the file is touched, so an oversized name leaves it intact.
  std::vector<Row> rows;
  rows.reserve(entries_.size());
  for (const Entry& entry : entries_) {
    if (entry.removed || entry.isSection) continue;
    const std::string_view key = entry.key;
    Row row{key.substr(0, entry.sectionLength), key.substr(entry.sectionLength + 1), entry.value};
    if (row.header.size() > kMaxSavedHeader) {
      throw Failure(kGenericFailure, "Section name longer than 100 characters");
    }
    if (row.key.size() > kMaxSavedKey) {
      throw Failure(kGenericFailure, "Key name longer than 65 characters");
    }
    rows.push_back(row);
  }
  // Plain byte order: char_traits<char> compares as unsigned char.
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
    const int byHeader = a.header.compare(b.header);
    return byHeader != 0 ? byHeader < 0 : a.key < b.key;
  });

  struct stat st {};
  if (::stat(filePath_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    ReplaceTextFile(filePath_ + "_bck", ReadTextFile(filePath_));
  }

  std::string text;
  std::string_view current;
  for (const Row& row : rows) {
    if (row.header != current) {
      text += '[';
      text += row.header;
      text += "]\r\n";
      current = row.header;
    }
    text += row.key;
    text += '=';
    text += row.value;
    text += "\r\n";
  }
  ReplaceTextFile(filePath_, text);
}

}  // namespace sablewick
