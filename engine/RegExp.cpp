// "VBScript.RegExp" (also `New RegExp`) and its Matches / Match / SubMatches objects, on the
// program's PCRE2 wrapper (regex/Regex.h), whose dialect is the ECMAScript one the language's
// patterns are written in. A search stops with the script's time-out. Patterns and subjects
// are matched as UTF-8 (an unpaired surrogate as U+FFFD, which takes the same three bytes,
// so byte offsets hold); positions are reported in code units, the language's characters.
#include "engine/Interpreter.h"
#include "engine/Library.h"
#include "engine/StandardObjects.h"
#include "regex/Regex.h"

namespace vbs {

using namespace lib;

namespace {

// Engine text as UTF-8 of the same length: each unpaired surrogate (ED A0..BF xx) becomes
// U+FFFD (EF BF BD). Returns `text` itself when it holds none.
const std::string& Matchable(const std::string& text, std::string& copy) {
  size_t p = text.find('\xED');
  while (p != std::string::npos &&
         (p + 1 >= text.size() || static_cast<unsigned char>(text[p + 1]) < 0xA0))
    p = text.find('\xED', p + 1);
  if (p == std::string::npos) return text;
  copy = text;
  for (; p + 2 < copy.size(); ++p) {
    if (static_cast<unsigned char>(copy[p]) == 0xED &&
        static_cast<unsigned char>(copy[p + 1]) >= 0xA0) {
      copy.replace(p, 3, "\xEF\xBF\xBD");
      p += 2;
    }
  }
  return copy;
}

// Code units before a byte offset, for offsets that only grow (the matches of one search).
class UnitCounter {
 public:
  explicit UnitCounter(const std::string& s) : s_(s), ascii_(IsAscii(s)) {}
  size_t At(size_t byte) {
    if (ascii_) return byte;
    if (byte < byte_) byte_ = units_ = 0;
    units_ += CountUnits(std::string_view(s_).substr(byte_, byte - byte_));
    byte_ = byte;
    return units_;
  }
  bool Ascii() const { return ascii_; }

 private:
  const std::string& s_;
  bool ascii_;
  size_t byte_ = 0, units_ = 0;
};

// A group of the last match, in the script's own text s (the matcher may have searched the
// same-length copy that starts at copyBase).
std::string_view GroupOf(const std::string& s, const char* copyBase, const rx::Matcher& m,
                         uint32_t g) {
  std::string_view v = m.Group(g);
  if (!copyBase || v.empty()) return v;
  return {s.data() + (v.data() - copyBase), v.size()};
}

constexpr int32_t kRegexSyntax = 5017;  // "Syntax error in regular expression"

struct MatchData {
  size_t firstIndex;  // code units
  size_t length;      // code units
  std::string value;
  std::vector<Variant> subMatches;  // Empty for a group that took no part
};

class SubMatches : public TableObject<SubMatches> {
 public:
  static constexpr std::string_view kTypeName = "ISubMatches";
  static const Member<SubMatches> kMembers[];
  explicit SubMatches(std::vector<Variant> items) : items_(std::move(items)) {}
  std::unique_ptr<Enumerator> Enumerate() override;
  std::vector<Variant> items_;
};

const Member<SubMatches> SubMatches::kMembers[] = {
    {"Item", MemberKind::Get, 1, 1,
     [](SubMatches& s, Args a) {
       int32_t i = Long(a, 0);
       Require(i >= 0 && static_cast<size_t>(i) < s.items_.size());
       return s.items_[static_cast<size_t>(i)];
     },
     true},
    {"Count", MemberKind::Get, 0, 0,
     [](SubMatches& s, Args) { return Variant::Long(static_cast<int32_t>(s.items_.size())); }},
};

struct VectorEnumerator : Enumerator {
  std::vector<Variant> items;
  size_t i = 0;
  bool Next(Variant& out) override {
    if (i >= items.size()) return false;
    out = items[i++];
    return true;
  }
};

std::unique_ptr<Enumerator> SubMatches::Enumerate() {
  auto en = std::make_unique<VectorEnumerator>();
  en->items = items_;
  return en;
}

class Match : public TableObject<Match> {
 public:
  static constexpr std::string_view kTypeName = "IMatch2";
  static const Member<Match> kMembers[];
  explicit Match(MatchData d) : data_(std::move(d)) {}
  MatchData data_;
};

const Member<Match> Match::kMembers[] = {
    {"Value", MemberKind::Get, 0, 0, [](Match& m, Args) { return Variant::Text(m.data_.value); },
     true},
    {"FirstIndex", MemberKind::Get, 0, 0,
     [](Match& m, Args) { return Variant::Long(static_cast<int32_t>(m.data_.firstIndex)); }},
    {"Length", MemberKind::Get, 0, 0,
     [](Match& m, Args) { return Variant::Long(static_cast<int32_t>(m.data_.length)); }},
    {"SubMatches", MemberKind::Get, 0, 0,
     [](Match& m, Args) { return Variant::Object(MakeObject<SubMatches>(m.data_.subMatches)); }},
};

class Matches : public TableObject<Matches> {
 public:
  static constexpr std::string_view kTypeName = "IMatchCollection2";
  static const Member<Matches> kMembers[];
  std::unique_ptr<Enumerator> Enumerate() override {
    auto en = std::make_unique<VectorEnumerator>();
    en->items = items_;
    return en;
  }
  std::vector<Variant> items_;
};

const Member<Matches> Matches::kMembers[] = {
    {"Item", MemberKind::Get, 1, 1,
     [](Matches& s, Args a) {
       int32_t i = Long(a, 0);
       Require(i >= 0 && static_cast<size_t>(i) < s.items_.size());
       return s.items_[static_cast<size_t>(i)];
     },
     true},
    {"Count", MemberKind::Get, 0, 0,
     [](Matches& s, Args) { return Variant::Long(static_cast<int32_t>(s.items_.size())); }},
};

class RegExp : public TableObject<RegExp> {
 public:
  static constexpr std::string_view kTypeName = "IRegExp2";
  static const Member<RegExp> kMembers[];
  explicit RegExp(Interpreter::SharedDeadline deadline) : deadline_(std::move(deadline)) {}

  // Calls fn(matcher) for each match: all of them when `global`, else the first.
  template <class Fn>
  void ForEachMatch(const std::string& text, bool global, Fn fn) {
    std::string copy;
    const std::string& s = Matchable(text, copy);
    copyBase_ = &s == &text ? nullptr : s.data();
    // ASCII text against an ASCII pattern matches the same without UTF mode, and faster.
    rx::Matcher& m = Compiled(!IsAscii(s));
    size_t pos = 0;
    while (Find(m, s, pos)) {
      fn(m);
      if (!global) break;
      // After an empty match the search goes on one character further.
      pos = m.End(0);
      if (m.End(0) == m.Begin(0)) {
        ++pos;
        while (pos < s.size() && (static_cast<unsigned char>(s[pos]) & 0xC0) == 0x80) ++pos;
      }
    }
  }

  bool Find(rx::Matcher& m, const std::string& s, size_t pos) {
    try {
      return m.Find(s, pos, *deadline_);
    } catch (const rx::Error& e) {
      if (e.kind != rx::Error::Kind::Deadline) Throw(kOutOfStack);
      // The script's time-out, as the interpreter raises it between steps.
      ScriptError timedOut(kUserInterrupt, "Script timed out");
      timedOut.uncatchable = true;
      throw timedOut;
    }
  }

  rx::Matcher& Compiled(bool utfSubject) {
    bool utf = utfSubject || asciiRefused_ || !IsAscii(text_);
    Form& f = forms_[utf ? 1 : 0];
    if (!f.matcher) {
      try {
        std::string copy;
        f.pattern = std::make_unique<rx::Pattern>(
            Matchable(text_, copy), rx::Options{ignoreCase_, multiline_, &f == &forms_[1]});
      } catch (const rx::Error&) {
        if (!utf) {  // \u0100 and the like need UTF mode even on ASCII text
          asciiRefused_ = true;
          return Compiled(true);
        }
        Throw(kRegexSyntax, "Syntax error in regular expression");
      }
      f.matcher = std::make_unique<rx::Matcher>(*f.pattern);
      groups_ = f.pattern->Groups();
    }
    return *f.matcher;
  }

  // A new pattern or flag: compiled again at the next search.
  void Changed() {
    asciiRefused_ = false;
    for (Form& f : forms_) {
      f.matcher.reset();
      f.pattern.reset();
    }
  }

  struct Form {
    std::unique_ptr<rx::Pattern> pattern;
    std::unique_ptr<rx::Matcher> matcher;  // uses *pattern
  };
  Interpreter::SharedDeadline deadline_;
  std::string text_;
  bool ignoreCase_ = false, global_ = false, multiline_ = false;
  Form forms_[2];                   // without and with UTF mode
  const char* copyBase_ = nullptr;  // of the search running
  bool asciiRefused_ = false;
  uint32_t groups_ = 0;
};

MatchData ToData(const std::string& s, const char* copyBase, UnitCounter& units,
                 const rx::Matcher& m, uint32_t groups) {
  std::string_view whole = GroupOf(s, copyBase, m, 0);
  size_t begin = m.Begin(0);
  size_t length = units.Ascii() ? whole.size() : CountUnits(whole);
  MatchData d{units.At(begin), length, std::string(whole), {}};
  for (uint32_t g = 1; g <= groups; ++g)
    d.subMatches.push_back(m.Matched(g) ? Variant::Text(std::string(GroupOf(s, copyBase, m, g)))
                                        : Variant());
  return d;
}

// $1..$99, $& (the match), $` (before it), $' (after it), $$ (a dollar sign).
void AppendReplacement(std::string& out, const std::string& repl, const std::string& s,
                       const char* copyBase, const rx::Matcher& m, uint32_t groups) {
  for (size_t i = 0; i < repl.size(); ++i) {
    char c = repl[i];
    if (c != '$' || i + 1 >= repl.size()) {
      out += c;
      continue;
    }
    char n = repl[i + 1];
    if (n == '$') {
      out += '$';
      ++i;
    } else if (n == '&') {
      AppendJoined(out, GroupOf(s, copyBase, m, 0));
      ++i;
    } else if (n == '`') {
      out.append(s, 0, m.Begin(0));
      ++i;
    } else if (n == '\'') {
      out.append(s, m.End(0), std::string::npos);
      ++i;
    } else if (n >= '0' && n <= '9') {
      size_t one = static_cast<size_t>(n - '0');
      size_t two = i + 2 < repl.size() && repl[i + 2] >= '0' && repl[i + 2] <= '9'
                       ? one * 10 + static_cast<size_t>(repl[i + 2] - '0')
                       : 0;
      if (two >= 1 && two <= groups) {
        AppendJoined(out, GroupOf(s, copyBase, m, static_cast<uint32_t>(two)));
        i += 2;
      } else if (one >= 1 && one <= groups) {
        AppendJoined(out, GroupOf(s, copyBase, m, static_cast<uint32_t>(one)));
        i += 1;
      } else {
        out += c;
      }
    } else {
      out += c;
    }
    CheckStringSize(out.size());
  }
}

// The object's string arguments are converted the way its COM interface converts them,
// which differs from the language's own conversion for Booleans: True is "-1".
std::string StringArg(Args a, size_t i) {
  const Variant& v = Arg(a, i);
  if (v.Type() == VarType::Boolean) return v.AsBoolean() ? "-1" : "0";
  return ToString(v);
}

Variant BoolProp(bool v) {
  return Variant::Boolean(v);
}

const Member<RegExp> RegExp::kMembers[] = {
    {"Pattern", MemberKind::Get, 0, 0, [](RegExp& r, Args) { return Variant::Text(r.text_); },
     true},
    {"Pattern", MemberKind::Let, 0, 0,
     [](RegExp& r, Args a) {
       r.text_ = StringArg(a, 0);
       r.Changed();
       return Variant();
     }},
    {"IgnoreCase", MemberKind::Get, 0, 0, [](RegExp& r, Args) { return BoolProp(r.ignoreCase_); }},
    {"IgnoreCase", MemberKind::Let, 0, 0,
     [](RegExp& r, Args a) {
       r.ignoreCase_ = ToBoolean(Arg(a, 0));
       r.Changed();
       return Variant();
     }},
    {"Global", MemberKind::Get, 0, 0, [](RegExp& r, Args) { return BoolProp(r.global_); }},
    {"Global", MemberKind::Let, 0, 0,
     [](RegExp& r, Args a) {
       r.global_ = ToBoolean(Arg(a, 0));
       return Variant();
     }},
    {"Multiline", MemberKind::Get, 0, 0, [](RegExp& r, Args) { return BoolProp(r.multiline_); }},
    {"Multiline", MemberKind::Let, 0, 0,
     [](RegExp& r, Args a) {
       r.multiline_ = ToBoolean(Arg(a, 0));
       r.Changed();
       return Variant();
     }},
    {"Test", MemberKind::Method, 1, 1,
     [](RegExp& r, Args a) {
       std::string s = StringArg(a, 0);
       bool found = false;
       r.ForEachMatch(s, false, [&](const rx::Matcher&) { found = true; });
       return Variant::Boolean(found);
     }},
    {"Execute", MemberKind::Method, 1, 1,
     [](RegExp& r, Args a) {
       std::string s = StringArg(a, 0);
       auto coll = MakeObject<Matches>();
       UnitCounter units(s);
       r.ForEachMatch(s, r.global_, [&](const rx::Matcher& m) {
         if (coll->items_.size() >= kMaxArrayElements) Throw(kOutOfMemory);
         coll->items_.push_back(
             Variant::Object(MakeObject<Match>(ToData(s, r.copyBase_, units, m, r.groups_))));
       });
       return Variant::Object(coll);
     }},
    {"Replace", MemberKind::Method, 2, 2,
     [](RegExp& r, Args a) {
       std::string s = StringArg(a, 0), repl = StringArg(a, 1), out;
       size_t done = 0;
       r.ForEachMatch(s, r.global_, [&](const rx::Matcher& m) {
         out.append(s, done, m.Begin(0) - done);
         AppendReplacement(out, repl, s, r.copyBase_, m, r.groups_);
         done = m.End(0);
       });
       out.append(s, done, std::string::npos);
       return Variant::Text(std::move(out));
     }},
};

}  // namespace

ObjectPtr<HostObject> MakeRegExp(Interpreter& vm) {
  return ObjectPtr<HostObject>(new RegExp(vm.Deadline()));
}

}  // namespace vbs
