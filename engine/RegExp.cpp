// "VBScript.RegExp" (also `New RegExp`) and its Matches / Match / SubMatches objects, on the
// program's PCRE2 wrapper (regex/Regex.h), whose dialect is the ECMAScript one the language's
// patterns are written in. A search stops with the script's time-out. Patterns and subjects
// are what the language sees: UTF-16 code units, each one a character (`.` takes one unit,
// a surrogate can be named: [\uD800-\uDBFF]), so positions are the language's own.
// ASCII text against an ASCII pattern is searched on its bytes, which is the same and
// saves the conversion.
#include "engine/Interpreter.h"
#include "engine/Library.h"
#include "engine/StandardObjects.h"
#include "regex/Regex.h"

namespace vbs {

using namespace lib;

namespace {

// Engine text of a match or group.
std::string TextOf(std::string_view units) {
  return std::string(units);
}
std::string TextOf(std::u16string_view units) {
  return FromUnits(units);
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

  // Calls fn(matcher, subject) for each match in `text`: all of them when `global`, else
  // the first. The matcher and subject are bytes (ASCII) or UTF-16 code units.
  template <class Fn>
  void ForEachMatch(const std::string& text, bool global, Fn fn) {
    if (!asciiRefused_ && IsAscii(text) && IsAscii(text_)) {
      if (rx::Matcher* m = Compiled8()) {
        Each(*m, std::string_view(text), global, fn);
        return;
      }
    }
    std::u16string units = ToUnits(text);
    Each(Compiled16(), std::u16string_view(units), global, fn);
  }

  template <class Char, class Fn>
  void Each(rx::BasicMatcher<Char>& m, std::basic_string_view<Char> s, bool global, Fn& fn) {
    size_t pos = 0;
    while (Find(m, s, pos)) {
      fn(m, s);
      if (!global) break;
      // After an empty match the search goes on one character (code unit) further.
      pos = m.End(0) == m.Begin(0) ? m.End(0) + 1 : m.End(0);
    }
  }

  template <class Char>
  bool Find(rx::BasicMatcher<Char>& m, std::basic_string_view<Char> s, size_t pos) {
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

  // The pattern on bytes, or nullptr when it needs code units (\u0100 and the like).
  rx::Matcher* Compiled8() {
    if (!matcher8_) {
      try {
        pattern8_ = std::make_unique<rx::Pattern>(text_, rx::Options{ignoreCase_, multiline_});
      } catch (const rx::Error&) {
        asciiRefused_ = true;
        return nullptr;
      }
      matcher8_ = std::make_unique<rx::Matcher>(*pattern8_);
      groups_ = pattern8_->Groups();
    }
    return matcher8_.get();
  }

  rx::Matcher16& Compiled16() {
    if (!matcher16_) {
      try {
        pattern16_ = std::make_unique<rx::Pattern16>(
            ToUnits(text_),
            rx::Options{.ignoreCase = ignoreCase_, .multiline = multiline_, .unicodeCase = true});
      } catch (const rx::Error&) {
        Throw(kRegexSyntax, "Syntax error in regular expression");
      }
      matcher16_ = std::make_unique<rx::Matcher16>(*pattern16_);
      groups_ = pattern16_->Groups();
    }
    return *matcher16_;
  }

  // A new pattern or flag: compiled again at the next search.
  void Changed() {
    asciiRefused_ = false;
    matcher8_.reset();
    pattern8_.reset();
    matcher16_.reset();
    pattern16_.reset();
  }

  Interpreter::SharedDeadline deadline_;
  std::string text_;
  bool ignoreCase_ = false, global_ = false, multiline_ = false;
  std::unique_ptr<rx::Pattern> pattern8_;
  std::unique_ptr<rx::Matcher> matcher8_;  // uses *pattern8_
  std::unique_ptr<rx::Pattern16> pattern16_;
  std::unique_ptr<rx::Matcher16> matcher16_;  // uses *pattern16_
  bool asciiRefused_ = false;
  uint32_t groups_ = 0;
};

template <class Char>
MatchData ToData(std::basic_string_view<Char> s, const rx::BasicMatcher<Char>& m, uint32_t groups) {
  MatchData d{m.Begin(0), m.End(0) - m.Begin(0), TextOf(m.Group(0)), {}};
  for (uint32_t g = 1; g <= groups; ++g)
    d.subMatches.push_back(m.Matched(g) ? Variant::Text(TextOf(m.Group(g))) : Variant());
  return d;
}

// $1..$99, $& (the match), $` (before it), $' (after it), $$ (a dollar sign).
template <class Char>
void AppendReplacement(std::basic_string<Char>& out, std::basic_string_view<Char> repl,
                       std::basic_string_view<Char> s, const rx::BasicMatcher<Char>& m,
                       uint32_t groups) {
  for (size_t i = 0; i < repl.size(); ++i) {
    Char c = repl[i];
    if (c != '$' || i + 1 >= repl.size()) {
      out += c;
      continue;
    }
    Char n = repl[i + 1];
    if (n == '$') {
      out += '$';
      ++i;
    } else if (n == '&') {
      out.append(m.Group(0));
      ++i;
    } else if (n == '`') {
      out.append(s.substr(0, m.Begin(0)));
      ++i;
    } else if (n == '\'') {
      out.append(s.substr(m.End(0)));
      ++i;
    } else if (n >= '0' && n <= '9') {
      size_t one = static_cast<size_t>(n - '0');
      size_t two = i + 2 < repl.size() && repl[i + 2] >= '0' && repl[i + 2] <= '9'
                       ? one * 10 + static_cast<size_t>(repl[i + 2] - '0')
                       : 0;
      if (two >= 1 && two <= groups) {
        out.append(m.Group(static_cast<uint32_t>(two)));
        i += 2;
      } else if (one >= 1 && one <= groups) {
        out.append(m.Group(static_cast<uint32_t>(one)));
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
       r.ForEachMatch(s, false, [&](const auto&, auto) { found = true; });
       return Variant::Boolean(found);
     }},
    {"Execute", MemberKind::Method, 1, 1,
     [](RegExp& r, Args a) {
       std::string s = StringArg(a, 0);
       auto coll = MakeObject<Matches>();
       r.ForEachMatch(s, r.global_, [&](const auto& m, auto subject) {
         if (coll->items_.size() >= kMaxArrayElements) Throw(kOutOfMemory);
         coll->items_.push_back(Variant::Object(MakeObject<Match>(ToData(subject, m, r.groups_))));
       });
       return Variant::Object(coll);
     }},
    {"Replace", MemberKind::Method, 2, 2,
     [](RegExp& r, Args a) {
       std::string s = StringArg(a, 0), repl = StringArg(a, 1), out;
       std::u16string out16, repl16;
       bool wide = false;
       size_t done = 0;
       r.ForEachMatch(s, r.global_, [&](const auto& m, auto subject) {
         if constexpr (std::is_same_v<decltype(subject), std::string_view>) {
           out.append(subject.substr(done, m.Begin(0) - done));
           AppendReplacement(out, std::string_view(repl), subject, m, r.groups_);
         } else {
           if (!wide) repl16 = ToUnits(repl), wide = true;
           out16.append(subject.substr(done, m.Begin(0) - done));
           AppendReplacement(out16, std::u16string_view(repl16), subject, m, r.groups_);
         }
         done = m.End(0);
       });
       if (!wide) {
         out.append(s, done, std::string::npos);
         return Variant::Text(std::move(out));
       }
       out16.append(std::u16string_view(ToUnits(s)).substr(done));
       out = FromUnits(out16);
       CheckStringSize(out.size());
       return Variant::Text(std::move(out));
     }},
};

}  // namespace

ObjectPtr<HostObject> MakeRegExp(Interpreter& vm) {
  return ObjectPtr<HostObject>(new RegExp(vm.Deadline()));
}

}  // namespace vbs
