#include "xap/XapMessage.h"

#include <unordered_set>

#include "core/App.h"
#include "core/Log.h"
#include "core/Text.h"

namespace sablewick {
namespace {

// Error numbers of the faults a parse can meet, as a keyed collection would raise them.
constexpr int32_t kKeyExists = 457;
constexpr int32_t kSubscriptOutOfRange = 9;

std::string_view TrimSpaces(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  return s.substr(b, e - b);
}

struct NoCaseHash {
  size_t operator()(std::string_view s) const {
    uint64_t h = 1469598103934665603ull;  // FNV-1a over the lower-cased bytes
    for (char c : s) h = (h ^ static_cast<unsigned char>(LowerAscii(c))) * 1099511628211ull;
    return static_cast<size_t>(h);
  }
};
struct NoCaseEqual {
  bool operator()(std::string_view a, std::string_view b) const { return EqualsNoCase(a, b); }
};

// The names already met in one group during a parse (the section names, or the items of the
// current section), for the repeat check. A small group is scanned; a large one moves into a
// hash set, so that a text of many names costs time in proportion to its length.
class SeenNames {
 public:
  static constexpr uint32_t kScanLimit = 16;

  // Whether name is among the count names of group that nameAt(i) gives (case ignored). When
  // it is not, the caller adds it as name number count.
  template <class NameAt>
  bool Repeated(uint32_t group, std::string_view name, uint32_t count, NameAt nameAt) {
    if (group != group_) {
      group_ = group;
      set_.clear();
      loaded_ = false;
    }
    if (count < kScanLimit) {
      for (uint32_t i = 0; i < count; ++i) {
        if (EqualsNoCase(nameAt(i), name)) return true;
      }
      return false;
    }
    if (!loaded_) {
      for (uint32_t i = 0; i < count; ++i) set_.insert(nameAt(i));
      loaded_ = true;
    }
    return !set_.insert(name).second;
  }

 private:
  uint32_t group_ = UINT32_MAX;
  bool loaded_ = false;
  std::unordered_set<std::string_view, NoCaseHash, NoCaseEqual> set_;
};

}  // namespace

// ---- composing -------------------------------------------------------------------------------

FastString& XapMessage::Builder() {
  if (!msgBuilder_) msgBuilder_.emplace();
  return *msgBuilder_;
}

int16_t XapMessage::Init(std::string_view) {
  Builder().Reset();
  return 0;
}

int16_t XapMessage::AddHeader() {
  FastString& b = Builder();
  b.Add("xap-header\n{\nv=12\nhop=1\nuid=");
  b.Add(MsgUID);
  b.Add("\nclass=");
  b.Add(MsgClass);
  b.Add("\nsource=");
  b.Add(msgSource);
  b.Add("\n");
  if (!MsgTarget.empty()) {
    b.Add("target=");
    b.Add(MsgTarget);
    b.Add("\n");
  }
  b.Add("}\n");
  sectionOpen_ = false;
  return 0;
}

int16_t XapMessage::AddSection(std::string_view sSection) {
  FastString& b = Builder();
  if (sectionOpen_) b.Add("}\n");
  b.Add(sSection);
  b.Add("\n{\n");
  sectionOpen_ = true;
  return 0;
}

int16_t XapMessage::AddItem(std::string_view, std::string_view sItem, std::string_view sValue) {
  FastString& b = Builder();
  b.Add(sItem);
  b.Add("=");
  b.Add(sValue);
  b.Add("\n");
  return 0;
}

std::string XapMessage::ToXap() {
  std::string text = Builder().Value();
  text += "}\n";
  return text;
}

// ---- parsing -----------------------------------------------------------------------------------

void XapMessage::LogFault(std::string_view message, int32_t number, const char* description) {
  if (app_ == nullptr) return;
  app_->Err.number = number;
  app_->Err.line = 0;
  app_->Err.description = description;
  LogToFile(*app_, "From XAP", message);
}

int16_t XapMessage::FromXap(std::string_view sRawMessage) {
  if (sRawMessage.empty()) return 0;
  const size_t firstEnd = sRawMessage.find('\n');
  if (!ContainsNoCase(sRawMessage.substr(0, firstEnd), "xap-header")) return 0;

  Timestamp = (app_ != nullptr ? *app_->clock : SystemClock()).Now();
  raw_.assign(sRawMessage);
  sections_.clear();
  items_.clear();
  header_.clear();
  faults_ = 0;

  const std::string_view text = raw_;
  // Line 0 is the header marker and line 1 is ignored; reading starts at line 2.
  size_t pos = firstEnd;
  if (pos != std::string_view::npos) pos = text.find('\n', pos + 1);
  if (pos == std::string_view::npos) return 0;
  pos += 1;  // start of line 2 (possibly the empty last line)

  // Repeated names keep the first and are logged once for the whole text.
  SeenNames sectionNames, itemNames;
  uint32_t repeatedSections = 0, repeatedItems = 0;
  bool missingName = false;
  int section = -1;
  bool more = true;  // a line starts at pos (the text's final line feed yields an empty line)
  while (more) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) {
      end = text.size();
      more = false;
    }
    const std::string_view line = text.substr(pos, end - pos);
    const size_t next = end + 1;
    if (line == "}") {
      ++section;
      Section s;
      s.firstItem = static_cast<uint32_t>(items_.size());
      if (more) {
        // The line after every closing brace names the next section, whatever it holds.
        size_t nameEnd = text.find('\n', next);
        if (nameEnd == std::string_view::npos) {
          nameEnd = text.size();
          more = false;
        }
        s.name = {static_cast<uint32_t>(next), static_cast<uint32_t>(nameEnd - next)};
        const std::string_view name = text.substr(next, nameEnd - next);
        const auto sectionName = [&](uint32_t i) { return Text(sections_[i].name); };
        if (sectionNames.Repeated(UINT32_MAX, name, static_cast<uint32_t>(sections_.size()),
                                  sectionName)) {
          ++repeatedSections;
        } else {
          s.indexed = true;
        }
        sections_.push_back(s);
        pos = nameEnd + 1;
        continue;
      }
      sections_.push_back(s);
      missingName = true;
      break;
    }
    const size_t eq = line.find('=');
    if (eq != std::string_view::npos) {
      const std::string_view name = TrimSpaces(line.substr(0, eq));
      if (section < 0) {
        const std::string_view value = TrimSpaces(line.substr(eq + 1));
        Item item;
        item.name = {static_cast<uint32_t>(name.data() - text.data()),
                     static_cast<uint32_t>(name.size())};
        item.line = {static_cast<uint32_t>(value.data() - text.data()),
                     static_cast<uint32_t>(value.size())};
        header_.push_back(item);
        if (EqualsNoCase(name, "uid")) {
          MsgUID.assign(value);
        } else if (EqualsNoCase(name, "class")) {
          MsgClass.assign(value);
        } else if (EqualsNoCase(name, "source")) {
          msgSource.assign(value);
        } else if (EqualsNoCase(name, "target")) {
          MsgTarget.assign(value);
        }
      } else {
        Section& s = sections_.back();
        const auto itemName = [&](uint32_t i) { return Text(items_[s.firstItem + i].name); };
        if (itemNames.Repeated(static_cast<uint32_t>(section), name, s.itemCount, itemName)) {
          ++repeatedItems;
        } else {
          Item item;
          item.name = {static_cast<uint32_t>(name.data() - text.data()),
                       static_cast<uint32_t>(name.size())};
          item.line = {static_cast<uint32_t>(pos), static_cast<uint32_t>(line.size())};
          items_.push_back(item);
          ++s.itemCount;
        }
      }
    }
    pos = next;
  }
  if (repeatedSections + repeatedItems > 0) {
    std::string message;
    if (repeatedSections > 0) message = std::to_string(repeatedSections) + " repeated sections";
    if (repeatedSections > 0 && repeatedItems > 0) message += " and ";
    if (repeatedItems > 0) message += std::to_string(repeatedItems) + " repeated items";
    message += " ignored";
    LogFault(message, kKeyExists,
             "This key is already associated with an element of this collection");
  }
  if (missingName) LogFault("", kSubscriptOutOfRange, "Subscript out of range");
  faults_ = static_cast<int>(repeatedSections + repeatedItems) + (missingName ? 1 : 0);
  return 0;
}

int XapMessage::FindSection(std::string_view name) const {
  for (size_t i = 0; i < sections_.size(); ++i) {
    if (sections_[i].indexed && EqualsNoCase(Text(sections_[i].name), name)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

// ---- matching ----------------------------------------------------------------------------------

bool XapMessage::CompareAddress(std::string_view a, std::string_view b) {
  if (a.empty() || b.empty()) return false;
  // Walk both texts piece by piece; only "." separates pieces (":" does not).
  const size_t na = a.size(), nb = b.size();
  size_t pa = 0, pb = 0;
  for (;;) {
    size_t ea = pa, eb = pb;
    while (ea < na && a[ea] != '.') ++ea;
    while (eb < nb && b[eb] != '.') ++eb;
    const size_t la = ea - pa, lb = eb - pb;
    const bool anyA = la == 1 && a[pa] == '*', anyB = lb == 1 && b[pb] == '*';
    if ((la == 1 && a[pa] == '>') || (lb == 1 && b[pb] == '>')) return true;
    if (!anyA && !anyB && !EqualsNoCase(a.substr(pa, la), b.substr(pb, lb))) return false;
    const bool lastA = ea == na, lastB = eb == nb;
    if (lastA || lastB) return lastA && lastB;  // equal only with the same number of pieces
    pa = ea + 1;
    pb = eb + 1;
  }
}

bool XapMessage::CompareClass(std::string_view sClass) const {
  return EqualsNoCase(sClass, MsgClass);
}

std::string XapMessage::GetItem(std::string_view sSection, std::string_view sItem) const {
  const int s = FindSection(sSection);
  if (s < 0) return "Unknown";
  const Section& sec = sections_[static_cast<size_t>(s)];
  for (uint32_t i = sec.firstItem; i < sec.firstItem + sec.itemCount; ++i) {
    if (EqualsNoCase(Text(items_[i].name), sItem)) {
      const std::string_view line = Text(items_[i].line);
      return std::string(line.substr(line.find('=') + 1));
    }
  }
  return "Unknown";
}

std::vector<std::string> XapMessage::MsgSection() const {
  std::vector<std::string> names;
  for (size_t i = 0; i < sections_.size(); ++i) {
    if (sections_[i].indexed) names.push_back(ToLower(Text(sections_[i].name)));
  }
  // The last name is the one after the final closing brace (empty for a text ending in a line
  // feed), not a real section.
  if (names.size() <= 1) return {std::string()};
  names.pop_back();
  return names;
}

std::string_view XapMessage::SectionName(int index) const {
  if (index < 0 || index >= static_cast<int>(sections_.size())) return {};
  return Text(sections_[static_cast<size_t>(index)].name);
}

std::pair<std::string_view, std::string_view> XapMessage::HeaderItem(int position) const {
  if (position < 0 || position >= static_cast<int>(header_.size())) return {};
  const Item& item = header_[static_cast<size_t>(position)];
  return {Text(item.name), Text(item.line)};
}

std::optional<ItemCollection> XapMessage::msgCollection(int index) const {
  if (index < 0 || index >= static_cast<int>(sections_.size())) return std::nullopt;
  return ItemCollection(*this, index);
}

int ItemCollection::Count() const {
  return static_cast<int>(msg_->sections_[static_cast<size_t>(section_)].itemCount);
}

std::optional<std::string_view> ItemCollection::Item(int position) const {
  const auto& s = msg_->sections_[static_cast<size_t>(section_)];
  if (position < 1 || position > static_cast<int>(s.itemCount)) return std::nullopt;
  return msg_->Text(msg_->items_[s.firstItem + static_cast<uint32_t>(position) - 1].line);
}

std::optional<std::string_view> ItemCollection::Item(std::string_view name) const {
  const auto& s = msg_->sections_[static_cast<size_t>(section_)];
  for (uint32_t i = s.firstItem; i < s.firstItem + s.itemCount; ++i) {
    if (EqualsNoCase(msg_->Text(msg_->items_[i].name), name)) {
      return msg_->Text(msg_->items_[i].line);
    }
  }
  return std::nullopt;
}

std::vector<std::string> ItemCollection::Lines() const {
  std::vector<std::string> lines;
  for (int i = 1; i <= Count(); ++i) lines.emplace_back(*Item(i));
  return lines;
}

}  // namespace sablewick
