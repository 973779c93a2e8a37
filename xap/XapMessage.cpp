#include "xap/XapMessage.h"

#include <cstring>
#include <optional>
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
// current section), for the repeat check. A 64-bit mask of name signatures answers "new" for
// most names at once; a small group is scanned only when the signature was seen before; a large
// one moves into a hash set, so that a text of many names costs time in proportion to its
// length. The set is made only for such a group.
class SeenNames {
 public:
  static constexpr uint32_t kScanLimit = 16;

  // Whether name is among the count names of group that nameAt(i) gives (case ignored). When
  // it is not, the caller adds it as name number count.
  template <class NameAt>
  bool Repeated(uint32_t group, std::string_view name, uint32_t count, NameAt nameAt) {
    if (group != group_) {
      group_ = group;
      mask_ = 0;
      if (set_) set_->clear();
      loaded_ = false;
    }
    if (count < kScanLimit) {
      const uint64_t bit = uint64_t{1} << Signature(name);
      const bool maybe = (mask_ & bit) != 0;
      mask_ |= bit;
      if (!maybe) return false;
      for (uint32_t i = 0; i < count; ++i) {
        if (EqualsNoCase(nameAt(i), name)) return true;
      }
      return false;
    }
    if (!loaded_) {
      if (!set_) set_.emplace();
      for (uint32_t i = 0; i < count; ++i) set_->insert(nameAt(i));
      loaded_ = true;
    }
    return !set_->insert(name).second;
  }

 private:
  // Equal names (case ignored) have equal signatures.
  static unsigned Signature(std::string_view name) {
    if (name.empty()) return 0;
    return (static_cast<unsigned>(name.size()) * 7u +
            static_cast<unsigned char>(LowerAscii(name.front())) * 3u +
            static_cast<unsigned char>(LowerAscii(name.back()))) & 63u;
  }

  uint32_t group_ = UINT32_MAX;
  uint64_t mask_ = 0;
  bool loaded_ = false;
  std::optional<std::unordered_set<std::string_view, NoCaseHash, NoCaseEqual>> set_;
};

// The eight bytes of a word with the letters A-Z made lower-case.
inline uint64_t LowerWord(uint64_t x) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  const uint64_t low7 = x & ~kHigh;
  const uint64_t atLeastA = low7 + (0x80 - 'A') * kOnes;      // high bit: byte >= 'A'
  const uint64_t pastZ = low7 + (0x80 - 'Z' - 1) * kOnes;     // high bit: byte > 'Z'
  const uint64_t upper = atLeastA & ~pastZ & ~x & kHigh;      // ASCII A-Z only
  return x | (upper >> 2);
}

inline uint64_t Load8(const char* p) {
  uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}
inline uint64_t Load4(const char* p) {
  uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

// Whether the lower-cased text and value are equal, letter case ignored in value; eight bytes
// at a time, the last word overlapping the one before.
[[gnu::always_inline]] inline bool EqualsLowered(std::string_view lowered, std::string_view value) {
  const size_t n = value.size();
  if (lowered.size() != n) return false;
  const char* a = lowered.data();
  const char* b = value.data();
  if (n >= 8) {
    for (size_t i = 0; i + 8 < n; i += 8) {
      if (Load8(a + i) != LowerWord(Load8(b + i))) return false;
    }
    return Load8(a + n - 8) == LowerWord(Load8(b + n - 8));
  }
  if (n >= 4) {
    return Load4(a) == LowerWord(Load4(b)) && Load4(a + n - 4) == LowerWord(Load4(b + n - 4));
  }
  for (size_t i = 0; i < n; ++i) {
    if (LowerAscii(b[i]) != a[i]) return false;
  }
  return true;
}

// Whether an address holds a piece that is "*" or ">".
bool HasWildcardPiece(std::string_view s) {
  const char* p = s.data();
  const size_t n = s.size();
  if (std::memchr(p, '*', n) == nullptr && std::memchr(p, '>', n) == nullptr) return false;
  for (size_t i = 0; i < n; ++i) {
    if ((p[i] == '*' || p[i] == '>') && (i == 0 || p[i - 1] == '.') &&
        (i + 1 == n || p[i + 1] == '.')) {
      return true;
    }
  }
  return false;
}

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

void XapMessage::Recycle() {
  // Every member as a new message has it.
  MsgClass = HeaderText::Literal("Unknown");
  MsgTarget = HeaderText::Literal("Unknown");
  msgSource = HeaderText::Literal("Unknown");
  MsgUID = HeaderText::Literal("Unknown");
  Timestamp = 0;
  Handle.clear();
  msgBuilder_.reset();
  sectionOpen_ = false;
  raw_.clear();
  sections_.clear();
  items_.clear();
  header_.clear();
  faults_ = 0;
}

XapMessage::XapMessage(const XapMessage& other, std::pmr::memory_resource* memory)
    : raw_(other.raw_, memory), sections_(memory), items_(memory), header_(memory) {
  // The text now has a block of its own size in memory; assignment copies everything else,
  // the records into that memory too (containers keep their memory when assigned to), and
  // leaves the text where it is (it fits its block).
  *this = other;
}

// ---- parsing -----------------------------------------------------------------------------------

void XapMessage::LogFault(std::string_view message, int32_t number, const char* description) {
  if (app_ == nullptr) return;
  app_->Err.number = number;
  app_->Err.line = 0;
  app_->Err.description = description;
  LogToFile(*app_, "From XAP", message);
}

bool XapMessage::Accepts(std::string_view text) const {
  // Nearly every text starts with the marker; anywhere on the first line will do.
  constexpr std::string_view kMarker = "xap-header";
  if (text.size() >= kMarker.size() && EqualsLowered(kMarker, text.substr(0, kMarker.size()))) {
    return true;
  }
  return !text.empty() && ContainsNoCase(text.substr(0, text.find('\n')), kMarker);
}

int16_t XapMessage::FromXap(std::string_view sRawMessage) {
  if (!Accepts(sRawMessage)) return 0;
  raw_.assign(sRawMessage);
  Parse((app_ != nullptr ? *app_->clock : SystemClock()).Now());
  return 0;
}

int16_t XapMessage::FromXap(std::string_view sRawMessage, double receivedAt) {
  if (!Accepts(sRawMessage)) return 0;
  raw_.assign(sRawMessage);
  Parse(receivedAt);
  return 0;
}

void XapMessage::Parse(double receivedAt) {
  Timestamp = receivedAt;
  sections_.clear();
  items_.clear();
  header_.clear();
  faults_ = 0;

  const std::string_view text = raw_;
  // Line 0 is the header marker and line 1 is ignored; reading starts at line 2.
  size_t pos = text.find('\n');
  if (pos != std::string_view::npos) pos = text.find('\n', pos + 1);
  if (pos == std::string_view::npos) return;
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
        switch (name.size()) {
          case 3:
            if (EqualsNoCase(name, "uid")) MsgUID.assign(value);
            break;
          case 5:
            if (EqualsNoCase(name, "class")) MsgClass.assign(value);
            break;
          case 6:
            if (EqualsNoCase(name, "source")) {
              msgSource.assign(value);
            } else if (EqualsNoCase(name, "target")) {
              MsgTarget.assign(value);
            }
            break;
          default:
            break;
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

XapFilter::XapFilter(std::string_view text) : text_(ToLower(text)) {
  // Consecutive literal pieces form one run, compared at once.
  size_t start = 0;
  for (;;) {
    const size_t dot = text_.find('.', start);
    const size_t end = dot == std::string::npos ? text_.size() : dot;
    Piece p{static_cast<uint32_t>(start), static_cast<uint32_t>(end - start), Piece::Literal};
    if (p.len == 1 && text_[start] == '*') p.kind = Piece::Any;
    if (p.len == 1 && text_[start] == '>') p.kind = Piece::Rest;
    wildcard_ = wildcard_ || p.kind != Piece::Literal;
    if (p.kind == Piece::Literal && !pieces_.empty() && pieces_.back().kind == Piece::Literal) {
      pieces_.back().len = p.pos + p.len - pieces_.back().pos;
    } else {
      pieces_.push_back(p);
    }
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
}

// CompareAddress(filter, value), with the filter's pieces known in advance: a run of literal
// pieces compared by length and bytes, "*" skipping one piece of the value, ">" ending the
// walk. The value's own wildcard pieces take the general comparison.
bool XapMessage::MatchAddress(const XapFilter& f, std::string_view value) {
  if (value.empty() || f.Empty()) return false;
  const std::string_view ft = f.Text();
  const size_t nv = value.size(), count = f.pieces_.size();
  size_t pv = 0;
  for (size_t k = 0; k < count; ++k) {
    const XapFilter::Piece& p = f.pieces_[k];
    if (p.kind == XapFilter::Piece::Rest) return true;
    size_t ev;
    if (p.kind == XapFilter::Piece::Any) {
      if (pv < nv && value[pv] == '>' && (pv + 1 == nv || value[pv + 1] == '.')) return true;
      const void* dot = pv < nv ? std::memchr(value.data() + pv, '.', nv - pv) : nullptr;
      ev = dot != nullptr ? static_cast<size_t>(static_cast<const char*>(dot) - value.data()) : nv;
    } else {
      ev = pv + p.len;
      if (ev > nv || (ev < nv && value[ev] != '.') ||
          !EqualsLowered(ft.substr(p.pos, p.len), value.substr(pv, p.len))) {
        return HasWildcardPiece(value) && CompareAddress(ft, value);
      }
    }
    const bool lastF = k + 1 == count, lastV = ev == nv;
    if (lastF || lastV) return lastF && lastV;
    pv = ev + 1;
  }
  return false;
}

bool XapMessage::MatchClass(const XapFilter& f) const { return EqualsLowered(f.Text(), MsgClass); }

bool XapMessage::MatchSection(const XapFilter& f) const {
  const std::string_view want = f.Text();
  for (size_t i = 0; i < sections_.size(); ++i) {
    const Section& s = sections_[i];
    if (s.name.len == want.size() && s.indexed && EqualsLowered(want, Text(s.name))) return true;
  }
  return false;
}

bool XapMessage::CompareClass(std::string_view sClass) const {
  return EqualsNoCase(sClass, MsgClass);
}

std::string XapMessage::GetItem(std::string_view sSection, std::string_view sItem) const {
  return std::string(ItemValue(sSection, sItem));
}

std::string_view XapMessage::ItemValue(std::string_view sSection, std::string_view sItem) const {
  const int s = FindSection(sSection);
  if (s < 0) return "Unknown";
  const Section& sec = sections_[static_cast<size_t>(s)];
  for (uint32_t i = sec.firstItem; i < sec.firstItem + sec.itemCount; ++i) {
    if (EqualsNoCase(Text(items_[i].name), sItem)) {
      const std::string_view line = Text(items_[i].line);
      return line.substr(line.find('=') + 1);
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
