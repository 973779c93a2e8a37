// One xAP message: header fields, named sections of name=value items, receive time and
// handle. The only place where xAP message text is read or written.
//
// A parsed message keeps the received text and refers into it by offsets: parsing costs one
// pass over the text and no allocation per line. Names are matched without regard to case
// at lookup, so nothing is lower-cased up front.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/FastString.h"
#include "core/InlineVector.h"
#include "core/ResourceAllocator.h"

namespace sablewick {

struct App;
class XapMessage;

// The items of one section in arrival order: count, index from 1 or by name, enumerate lines.
class ItemCollection {
 public:
  ItemCollection(const XapMessage& msg, int section) : msg_(&msg), section_(section) {}
  int Count() const;
  // The whole item line at a position counted from 1; nullopt when out of range.
  std::optional<std::string_view> Item(int position) const;
  // The whole item line stored under a name (case ignored); nullopt when there is none.
  std::optional<std::string_view> Item(std::string_view name) const;
  std::vector<std::string> Lines() const;

 private:
  const XapMessage* msg_;
  int section_;
};

// A header field's text (class, source, target, UID): kept inside the message up to kInline
// bytes, which every address and class seen in practice fits, on the heap beyond. Parsing a
// message so allocates nothing for its header. Reads as a std::string_view.
class HeaderText {
 public:
  static constexpr size_t kInline = 46;

  HeaderText() = default;
  HeaderText(std::string_view s) { assign(s); }  // NOLINT: a text converts implicitly
  HeaderText(const char* s) { assign(s); }       // NOLINT
  // A literal that fits, copied in place (the defaults of every new message).
  template <size_t N>
    requires(N - 1 <= kInline)
  static HeaderText Literal(const char (&s)[N]) {
    HeaderText t;
    std::memcpy(t.inline_, s, N - 1);
    t.size_ = N - 1;
    return t;
  }
  HeaderText(const std::string& s) { assign(s); }  // NOLINT
  HeaderText(const HeaderText& o) { assign(o.view()); }
  HeaderText& operator=(const HeaderText& o) {
    if (this != &o) assign(o.view());
    return *this;
  }
  HeaderText& operator=(std::string_view s) {
    assign(s);
    return *this;
  }
  HeaderText& operator=(const char* s) { return *this = std::string_view(s); }
  HeaderText& operator=(const std::string& s) { return *this = std::string_view(s); }
  ~HeaderText() { delete[] heap_; }

  void assign(std::string_view s) {
    if (s.size() <= kInline) {
      if (!s.empty()) std::memmove(inline_, s.data(), s.size());
      delete[] heap_;
      heap_ = nullptr;
    } else {
      char* block = new char[s.size()];
      std::memcpy(block, s.data(), s.size());
      delete[] heap_;
      heap_ = block;
    }
    size_ = static_cast<uint32_t>(s.size());
  }
  void clear() { assign({}); }
  bool empty() const { return size_ == 0; }
  size_t size() const { return size_; }
  const char* data() const { return heap_ != nullptr ? heap_ : inline_; }
  std::string_view view() const { return {data(), size_}; }
  operator std::string_view() const { return view(); }  // NOLINT
  operator std::string() const { return std::string(view()); }  // NOLINT
  std::string str() const { return std::string(view()); }

  friend bool operator==(const HeaderText& a, std::string_view b) { return a.view() == b; }
  friend bool operator==(const HeaderText& a, const char* b) { return a.view() == b; }
  friend bool operator==(const HeaderText& a, const std::string& b) { return a.view() == b; }
  friend bool operator==(const HeaderText& a, const HeaderText& b) { return a.view() == b.view(); }
  friend std::string operator+(std::string a, const HeaderText& b) { return a.append(b.view()); }
  friend std::string operator+(const char* a, const HeaderText& b) {
    return std::string(a).append(b.view());
  }
  friend std::string operator+(const HeaderText& a, std::string_view b) {
    return std::string(a.view()).append(b);
  }
  friend std::string operator+(const HeaderText& a, const char* b) {
    return std::string(a.view()).append(b);
  }
  friend std::ostream& operator<<(std::ostream& out, const HeaderText& t) {
    return out << t.view();
  }

 private:
  char* heap_ = nullptr;
  uint32_t size_ = 0;
  char inline_[kInline];
};

// One filter of a subscription (an address, a class or a section name), prepared once when the
// subscription is made: lower-cased, and whether it holds a wildcard piece ("*" or ">"). An
// empty filter lets everything pass.
class XapFilter {
 public:
  XapFilter() = default;
  explicit XapFilter(std::string_view text);
  bool Empty() const { return text_.empty(); }
  std::string_view Text() const { return text_; }
  bool Wildcard() const { return wildcard_; }

 private:
  friend class XapMessage;
  // One piece of the text between dots.
  struct Piece {
    uint32_t pos, len;
    enum Kind : uint8_t { Literal, Any /* "*" */, Rest /* ">" */ } kind;
  };
  std::string text_;
  std::vector<Piece> pieces_;
  bool wildcard_ = false;
};

class XapMessage {
 public:
  // app receives the log lines of a faulty parse; it may be null (nothing is logged).
  explicit XapMessage(App* app = nullptr) : app_(app) {}
  // A copy whose text and records are allocated in memory, sized to them (a message kept for a
  // while; a header field too long to keep inline stays on the heap).
  XapMessage(const XapMessage& other, std::pmr::memory_resource* memory);

  // Composing.
  int16_t AddHeader();
  int16_t AddItem(std::string_view sSection, std::string_view sItem, std::string_view sValue);
  int16_t AddSection(std::string_view sSection);
  int16_t Init(std::string_view sMessage = {});
  std::string ToXap();

  // Parsing and matching. The receive time is the caller's when given, else read from the
  // clock.
  int16_t FromXap(std::string_view sRawMessage);
  int16_t FromXap(std::string_view sRawMessage, double receivedAt);
  static bool CompareAddress(std::string_view sItem1, std::string_view sItem2);
  bool CompareClass(std::string_view sClass) const;
  bool CompareSource(std::string_view sSource) const { return CompareAddress(sSource, msgSource); }
  bool CompareTarget(std::string_view sTarget) const { return CompareAddress(sTarget, MsgTarget); }
  bool CompareSection(std::string_view sSection) const { return FindSection(sSection) >= 0; }
  // The same comparisons against prepared filters; an empty filter is not tried (the caller
  // lets it pass).
  bool MatchSource(const XapFilter& f) const { return MatchAddress(f, msgSource); }
  bool MatchTarget(const XapFilter& f) const { return MatchAddress(f, MsgTarget); }
  bool MatchClass(const XapFilter& f) const;
  bool MatchSection(const XapFilter& f) const;
  std::string GetItem(std::string_view sSection, std::string_view sItem) const;
  // GetItem without a copy: the value inside the message's text, or "Unknown".
  std::string_view ItemValue(std::string_view sSection, std::string_view sItem) const;
  std::vector<std::string> MsgSection() const;
  // The item collection numbered index (from 0); nullopt when out of range.
  std::optional<ItemCollection> msgCollection(int index) const;
  int SectionCount() const { return static_cast<int>(sections_.size()); }
  // The name line of the section numbered index (from 0), as received; empty when out of range.
  std::string_view SectionName(int index) const;
  // The header's name=value lines in arrival order, the name trimmed of spaces and the value
  // as the parser stores it (trimmed); position from 0.
  int HeaderCount() const { return static_cast<int>(header_.size()); }
  std::pair<std::string_view, std::string_view> HeaderItem(int position) const;
  // True once FromXap has read a text whose first line is an xAP header.
  bool Parsed() const { return !raw_.empty(); }
  // The length of the text last parsed.
  size_t TextSize() const { return raw_.size(); }
  // The text the last accepted parse read, as received.
  std::string_view RawText() const { return raw_; }
  // Faults the last parse met (repeated names, a missing section name).
  int Faults() const { return faults_; }
  void Reset() {}
  // Back to the state of a new message, keeping the text buffer's capacity for the next
  // parse (a receiver that parses message after message allocates nothing).
  void Recycle();

  HeaderText MsgClass = HeaderText::Literal("Unknown");
  HeaderText MsgTarget = HeaderText::Literal("Unknown");
  HeaderText msgSource = HeaderText::Literal("Unknown");
  HeaderText MsgUID = HeaderText::Literal("Unknown");
  double Timestamp = 0;
  std::string Handle;

 private:
  friend class ItemCollection;
  struct Span {
    uint32_t pos = 0;
    uint32_t len = 0;
  };
  struct Item {
    Span name;  // trimmed of spaces
    Span line;  // the whole line as received
  };
  struct Section {
    Span name;
    bool indexed = false;  // reachable by name (first of its name, name line present)
    uint32_t firstItem = 0;
    uint32_t itemCount = 0;
  };

  // Spans are made by the parser within raw_.
  std::string_view Text(Span s) const { return std::string_view(raw_.data() + s.pos, s.len); }
  int FindSection(std::string_view name) const;
  static bool MatchAddress(const XapFilter& f, std::string_view value);
  bool Accepts(std::string_view text) const;
  void Parse(double receivedAt);
  void LogFault(std::string_view message, int32_t number, const char* description);
  FastString& Builder();

  App* app_;
  std::optional<FastString> msgBuilder_;
  bool sectionOpen_ = false;
  // On the heap, or in the memory a kept copy was made in.
  std::basic_string<char, std::char_traits<char>, ResourceAllocator<char>> raw_;
  // Like the text, beyond their first elements.
  template <class T, size_t N>
  using Records = InlineVector<T, N, ResourceAllocator<T>>;
  Records<Section, 4> sections_;
  Records<Item, 16> items_;
  Records<Item, 8> header_;  // header lines: their name, and in `line` their value
  int faults_ = 0;
};

}  // namespace sablewick
