// One xAP message: header fields, named sections of name=value items, receive time and
// handle. The only place where xAP message text is read or written.
//
// A parsed message keeps the received text and refers into it by offsets: parsing costs one
// pass over the text and no allocation per line. Names are matched without regard to case
// at lookup, so nothing is lower-cased up front.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/FastString.h"
#include "core/InlineVector.h"

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

  // Composing.
  int16_t AddHeader();
  int16_t AddItem(std::string_view sSection, std::string_view sItem, std::string_view sValue);
  int16_t AddSection(std::string_view sSection);
  int16_t Init(std::string_view sMessage = {});
  std::string ToXap();

  // Parsing and matching. The receive time is the caller's when given, else read from the
  // clock. The overload taking a string moves the text in when it is accepted (an xAP header)
  // and leaves it as it was otherwise.
  int16_t FromXap(std::string_view sRawMessage);
  int16_t FromXap(std::string_view sRawMessage, double receivedAt);
  int16_t FromXap(std::string&& sRawMessage, double receivedAt);
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

  std::string MsgClass = "Unknown";
  std::string MsgTarget = "Unknown";
  std::string msgSource = "Unknown";
  std::string MsgUID = "Unknown";
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

  std::string_view Text(Span s) const { return std::string_view(raw_).substr(s.pos, s.len); }
  int FindSection(std::string_view name) const;
  static bool MatchAddress(const XapFilter& f, std::string_view value);
  bool Accepts(std::string_view text) const;
  void Parse(double receivedAt);
  void LogFault(std::string_view message, int32_t number, const char* description);
  FastString& Builder();

  App* app_;
  std::optional<FastString> msgBuilder_;
  bool sectionOpen_ = false;
  std::string raw_;
  InlineVector<Section, 4> sections_;
  InlineVector<Item, 16> items_;
  InlineVector<Item, 8> header_;  // header lines: their name, and in `line` their value
  int faults_ = 0;
};

}  // namespace sablewick
