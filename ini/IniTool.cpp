#include "ini/IniTool.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <map>

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

// One line of an INI text, as Load takes it. A line is the text up to a LF; a CR before the
// LF (or before the end of the text) belongs to the line's ending, not to its content.
enum class LineKind { Blank, Comment, Header, Item, NoEquals };

struct IniLine {
  std::string_view content;  // without its ending
  std::string_view ending;   // "\r\n", "\n", and on the last line "\r" or ""
  std::string_view trimmed;  // content without the spaces around it
  LineKind kind = LineKind::Blank;
  std::string_view name;   // Header: the section name; Item: the key name
  std::string_view value;  // Item: everything after the first "="
  size_t valueAt = 0;      // Item: where the value starts in content
};

IniLine ClassifyLine(std::string_view content, std::string_view ending) {
  IniLine line;
  line.content = content;
  line.ending = ending;
  line.trimmed = TrimSpaces(content);
  const std::string_view t = line.trimmed;
  if (t.empty()) return line;
  if (t.front() == ';') {
    line.kind = LineKind::Comment;
  } else if (t.size() >= 2 && t.front() == '[' && t.back() == ']') {
    line.kind = LineKind::Header;
    line.name = t.substr(1, t.size() - 2);
  } else if (const size_t equals = t.find('='); equals != std::string_view::npos) {
    line.kind = LineKind::Item;
    line.name = t.substr(0, equals);
    line.value = t.substr(equals + 1);
    line.valueAt = static_cast<size_t>(t.data() - content.data()) + equals + 1;
  } else {
    line.kind = LineKind::NoEquals;
  }
  return line;
}

// Calls f with every line of text, in order. The lines' contents and endings, put together
// again, are the text byte for byte.
template <class F>
void ForEachLine(std::string_view text, F&& f) {
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t lf = text.find('\n', pos);
    const size_t end = lf == std::string_view::npos ? text.size() : lf;
    size_t contentEnd = end;
    if (contentEnd > pos && text[contentEnd - 1] == '\r') --contentEnd;
    const size_t next = lf == std::string_view::npos ? text.size() : lf + 1;
    f(ClassifyLine(text.substr(pos, contentEnd - pos), text.substr(contentEnd, next - contentEnd)));
    pos = next;
  }
}

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

bool EnsureSettingsFile(App& app, const std::string& fPath, std::string_view initialText) {
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
  if (!initialText.empty()) {
    if (CreateTextFile(fPath, initialText)) return true;
    // Made meanwhile by someone else: theirs stands, when it is a file.
    if (::stat(fPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return false;
    errno = EEXIST;
    ThrowSystemError("Cannot create " + fPath);
  }
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

  text_ = ReadTextFile(fPath);
  std::string_view section;
  ForEachLine(text_, [&](const IniLine& line) {
    switch (line.kind) {
      case LineKind::Blank:
      case LineKind::Comment:
        break;
      case LineKind::Header:
        section = line.name;
        AddSection(section);
        break;
      case LineKind::Item:
        // First occurrence wins: Add ignores a key it already holds.
        AddItem(section, line.name, line.value);
        break;
      case LineKind::NoEquals:
        ReportEvent(app_, "IniTool", " Equal sign not found on line " + std::string(line.trimmed));
        break;
    }
  });
}

std::string IniTool::Read(std::string_view header, std::string_view key,
                          std::string_view defaultValue) const {
  const Entry* entry = Find(ItemKey(header, key));
  if (entry == nullptr || entry->value.empty()) return std::string(defaultValue);
  return entry->value;
}

void IniTool::WriteKey(std::string_view header, std::string_view key, std::string_view newValue) {
  AddSection(header);
  std::string itemKey = ItemKey(header, key);
  const auto it = index_.find(itemKey);
  if (it != index_.end()) {
    // A section whose name holds "~" can take an item's key; it keeps its name, and the item
    // cannot be held, as when Load meets it.
    if (!entries_[it->second].isSection) entries_[it->second].value = std::string(newValue);
    return;
  }
  AddItem(header, key, newValue);
  removedKeys_.erase(itemKey);
  addedNames_.insert_or_assign(std::move(itemKey), Spelling{std::string(header), std::string(key)});
}

void IniTool::Remove(std::string_view header, std::string_view key) {
  std::string itemKey = ItemKey(header, key);
  const Entry* entry = Find(itemKey);
  if (entry == nullptr || entry->isSection) return;
  Erase(itemKey);
  addedNames_.erase(itemKey);
  removedKeys_.insert(std::move(itemKey));
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
  text_.clear();
  removedKeys_.clear();
  addedNames_.clear();
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
  // The whole text is made, and every name checked, before the file is touched.
  const std::string text = SavedText();
  struct stat st {};
  if (::stat(filePath_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
    ReplaceTextFile(filePath_ + "_bck", ReadTextFile(filePath_));
  }
  ReplaceTextFile(filePath_, text);
}

std::string IniTool::SavedText() const {
  std::vector<IniLine> lines;
  ForEachLine(text_, [&](const IniLine& line) { lines.push_back(line); });

  // The file's sections in the order they appear: the part before the first header (the
  // nameless section, which "[]" continues) and one part per header line.
  struct Part {
    std::string section;  // upper case
    int header;           // its header line; -1 for the part before the first header
    int end;              // one past its last line
  };
  std::vector<Part> parts{{std::string(), -1, 0}};
  std::vector<std::string> lineKeys(lines.size());  // item lines: their item key
  std::unordered_map<std::string_view, int> firstLine;
  {
    std::string_view section;
    for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
      const IniLine& line = lines[i];
      if (line.kind == LineKind::Header) {
        parts.back().end = i;
        section = line.name;
        parts.push_back({Upper(section), i, 0});
      } else if (line.kind == LineKind::Item) {
        lineKeys[i] = ItemKey(section, line.name);
        firstLine.try_emplace(lineKeys[i], i);
      }
    }
    parts.back().end = static_cast<int>(lines.size());
  }

  // A LF anywhere, or a CR at the end (taken for part of the line end), would not read back.
  const auto lineBreakIn = [](std::string_view text) {
    return text.find('\n') != std::string_view::npos || (!text.empty() && text.back() == '\r');
  };
  // A key's line must read back as that key: no line break in it, and nothing that makes it a
  // comment, a header, or another key ("[k=v]", "a=b" as a name, a name starting with ";").
  const auto checkItemLine = [&](std::string_view line, std::string_view key,
                                 std::string_view value) {
    if (lineBreakIn(line)) {
      throw Failure(kGenericFailure, lineBreakIn(value)
                                         ? "Value of " + std::string(key) + " holds a line break"
                                         : "Key name " + std::string(key) + " holds a line break");
    }
    const IniLine back = ClassifyLine(line, {});
    if (back.kind != LineKind::Item || back.name != key) {
      throw Failure(kGenericFailure, "Key name \"" + std::string(key) + "\" with the value \"" +
                                         std::string(value) + "\" would not read back as that key");
    }
  };
  std::vector<std::string> rewritten(lines.size());
  std::vector<char> isRewritten(lines.size(), 0);
  // New lines, by the line they follow (-1: the start of the file).
  std::map<int, std::vector<std::string>> inserted;
  struct NewSection {
    std::string header;
    std::vector<std::string> items;
  };
  std::vector<NewSection> newSections;
  std::unordered_map<std::string, size_t> newSectionIndex;

  for (const Entry& entry : entries_) {
    if (entry.removed || entry.isSection) continue;
    const std::string_view section = std::string_view(entry.key).substr(0, entry.sectionLength);
    if (const auto found = firstLine.find(entry.key); found != firstLine.end()) {
      const IniLine& line = lines[found->second];
      if (line.value == entry.value) continue;
      std::string& text = rewritten[found->second];
      text.assign(line.content.substr(0, line.valueAt));
      text += entry.value;
      checkItemLine(text, line.name, entry.value);
      isRewritten[found->second] = 1;
      continue;
    }

    // A key the file lacks: named as WriteKey was given it.
    const auto spelled = addedNames_.find(entry.key);
    const std::string_view key = spelled != addedNames_.end()
                                     ? std::string_view(spelled->second.key)
                                     : std::string_view(entry.key).substr(entry.sectionLength + 1);
    if (key.size() > kMaxSavedKey) {
      throw Failure(kGenericFailure, "Key name longer than 65 characters");
    }
    std::string itemLine(key);
    itemLine += '=';
    itemLine += entry.value;
    checkItemLine(itemLine, key, entry.value);

    int part = -1;
    for (int p = static_cast<int>(parts.size()) - 1; p >= 0 && part < 0; --p) {
      if (parts[p].section == section) part = p;
    }
    if (part >= 0) {
      // After the part's last line that is neither blank nor a comment standing right above
      // the next header (that one belongs to the next section); right after the header when
      // there is none.
      const Part& at = parts[part];
      const int first = at.header + 1;
      int stop = at.end;
      if (at.end < static_cast<int>(lines.size())) {
        while (stop > first && lines[stop - 1].kind == LineKind::Comment) --stop;
      }
      int after = at.header;
      for (int i = first; i < stop; ++i) {
        if (lines[i].kind != LineKind::Blank) after = i;
      }
      inserted[after].push_back(std::move(itemLine));
      continue;
    }

    const std::string sectionKey(section);
    auto [slot, isNew] = newSectionIndex.try_emplace(sectionKey, newSections.size());
    if (isNew) {
      const Entry* named = Find(sectionKey);
      std::string header = named != nullptr && named->isSection ? named->value
                           : spelled != addedNames_.end()       ? spelled->second.header
                                                                : sectionKey;
      if (header.size() > kMaxSavedHeader) {
        throw Failure(kGenericFailure, "Section name longer than 100 characters");
      }
      if (header.find('\n') != std::string::npos) {
        throw Failure(kGenericFailure, "Section name " + header + " holds a line break");
      }
      newSections.push_back({std::move(header), {}});
    }
    newSections[slot->second].items.push_back(std::move(itemLine));
  }

  // The lines to write, with their endings settled at the end.
  struct OutLine {
    std::string_view content, ending;
    bool blank = false;
    bool wasLast = false;  // the loaded text's last line
  };
  std::vector<OutLine> out;
  out.reserve(lines.size() + 8);
  const auto insertAfter = [&](int line) {
    const auto it = inserted.find(line);
    if (it == inserted.end()) return;
    for (const std::string& added : it->second) out.push_back({added, {}, false, false});
  };
  insertAfter(-1);
  for (int i = 0; i < static_cast<int>(lines.size()); ++i) {
    const IniLine& line = lines[i];
    const bool removed = line.kind == LineKind::Item && removedKeys_.count(lineKeys[i]) != 0;
    if (!removed) {
      out.push_back({isRewritten[i] ? std::string_view(rewritten[i]) : line.content, line.ending,
                     line.kind == LineKind::Blank, i + 1 == static_cast<int>(lines.size())});
    }
    insertAfter(i);
  }

  // New sections stand apart by a blank line in a file whose sections do.
  bool spaced = false;
  for (size_t i = 1; i < lines.size() && !spaced; ++i) {
    spaced = lines[i].kind == LineKind::Header && lines[i - 1].kind == LineKind::Blank;
  }
  std::deque<std::string> headers;
  for (const NewSection& section : newSections) {
    if (spaced && !out.empty() && !out.back().blank) out.push_back({{}, {}, true, false});
    headers.push_back("[" + section.header + "]");
    out.push_back({headers.back(), {}, false, false});
    for (const std::string& item : section.items) out.push_back({item, {}, false, false});
  }

  // The file's line ending is its first line's; the file ends as it ended, with or without a
  // line ending after its last line.
  std::string_view newline = "\n";
  for (const IniLine& line : lines) {
    if (!line.ending.empty() && line.ending.back() == '\n') {
      newline = line.ending;
      break;
    }
  }
  const bool endsWithNewline = text_.empty() || text_.back() == '\n';
  std::string text;
  size_t size = 0;
  for (const OutLine& line : out) size += line.content.size() + 2;
  text.reserve(size);
  for (size_t i = 0; i < out.size(); ++i) {
    const OutLine& line = out[i];
    text += line.content;
    const bool hasNewline = !line.ending.empty() && line.ending.back() == '\n';
    // A line whose content ends in CR must keep the line end that follows it: without it, the
    // CR would be taken for the line end and the line would read differently.
    const bool keepsEnding = line.wasLast || (!line.content.empty() && line.content.back() == '\r');
    if (i + 1 < out.size() || endsWithNewline) {
      if (hasNewline) {
        text += line.ending;
      } else if (line.ending == "\r") {
        text += "\r\n";  // the last line's lone CR: still not part of the content
      } else {
        text += newline;
      }
    } else if (keepsEnding) {
      text += line.ending;
    }
  }
  return text;
}

}  // namespace sablewick
