// "VBScript.RegExp" and its Matches / Match / SubMatches objects, on std::regex with the
// ECMAScript grammar: the language's pattern syntax is the ECMAScript one of its time
// (classes, \d\w\s\b, lazy quantifiers, look-ahead, back-references, no look-behind), the
// library is the one the rest of the program already uses, and it needs nothing outside
// the C++ standard library, which this engine must not depend beyond.
#include <regex>

#include "engine/Library.h"
#include "engine/StandardObjects.h"

namespace vbs {

using namespace lib;

namespace {

constexpr int32_t kRegexSyntax = 5017;  // "Syntax error in regular expression"
// libstdc++'s back-tracking matcher recurses once per character; only patterns with
// back-references need it, and for those a subject longer than this is refused instead of
// overflowing the stack.
constexpr size_t kBacktrackLimit = 8192;

struct MatchData {
  size_t firstIndex;
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
    {"Value", MemberKind::Get, 0, 0,
     [](Match& m, Args) { return Variant::String(m.data_.value); }, true},
    {"FirstIndex", MemberKind::Get, 0, 0,
     [](Match& m, Args) { return Variant::Long(static_cast<int32_t>(m.data_.firstIndex)); }},
    {"Length", MemberKind::Get, 0, 0,
     [](Match& m, Args) { return Variant::Long(static_cast<int32_t>(m.data_.value.size())); }},
    {"SubMatches", MemberKind::Get, 0, 0,
     [](Match& m, Args) {
       return Variant::Object(MakeObject<SubMatches>(m.data_.subMatches));
     }},
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

  // Calls fn(match) for each match the Global flag allows.
  template <class Fn>
  void ForEachMatch(const std::string& s, Fn fn) {
    const std::regex& re = Compiled();
    if (backtracking_ && s.size() > kBacktrackLimit) Throw(kOutOfStack);
    auto flags = std::regex_constants::match_default;
    auto pos = s.cbegin();
    std::smatch m;
    while (std::regex_search(pos, s.cend(), m, re, flags)) {
      fn(m);
      if (!global_) break;
      auto next = m[0].second;
      if (m[0].length() == 0) {
        if (next == s.cend()) break;
        ++next;
      }
      pos = next;
      flags |= std::regex_constants::match_prev_avail;
    }
  }

  const std::regex& Compiled() {
    if (dirty_) {
      auto flags = std::regex::ECMAScript;
      if (ignoreCase_) flags |= std::regex::icase;
      if (multiline_) flags |= std::regex::multiline;
      backtracking_ = false;
      try {
        auto fast = flags;
#ifdef __GLIBCXX__
        // The breadth-first matcher: no recursion per character, so long subjects are safe.
        fast |= std::regex_constants::__polynomial;
#endif
        try {
          re_ = std::regex(pattern_, fast);
        } catch (const std::regex_error&) {
          // Back-references need the back-tracking matcher.
          re_ = std::regex(pattern_, flags);
          backtracking_ = true;
        }
      } catch (const std::regex_error&) {
        Throw(kRegexSyntax, "Syntax error in regular expression");
      }
      dirty_ = false;
    }
    return re_;
  }

  std::string pattern_;
  bool ignoreCase_ = false, global_ = false, multiline_ = false;
  bool dirty_ = true, backtracking_ = false;
  std::regex re_;
};

MatchData ToData(const std::string& s, const std::smatch& m) {
  MatchData d{static_cast<size_t>(m[0].first - s.cbegin()), m[0].str(), {}};
  for (size_t g = 1; g < m.size(); ++g)
    d.subMatches.push_back(m[g].matched ? Variant::String(m[g].str()) : Variant());
  return d;
}

// $1..$99, $& (the match), $` (before it), $' (after it), $$ (a dollar sign).
void AppendReplacement(std::string& out, const std::string& repl, const std::string& s,
                       const std::smatch& m) {
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
      out.append(m[0].first, m[0].second);
      ++i;
    } else if (n == '`') {
      out.append(s.cbegin(), m[0].first);
      ++i;
    } else if (n == '\'') {
      out.append(m[0].second, s.cend());
      ++i;
    } else if (n >= '0' && n <= '9') {
      size_t groups = m.size() - 1;
      size_t one = static_cast<size_t>(n - '0');
      size_t two = i + 2 < repl.size() && repl[i + 2] >= '0' && repl[i + 2] <= '9'
                       ? one * 10 + static_cast<size_t>(repl[i + 2] - '0')
                       : 0;
      if (two >= 1 && two <= groups) {
        out += m[two].str();
        i += 2;
      } else if (one >= 1 && one <= groups) {
        out += m[one].str();
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

Variant BoolProp(bool v) {
  return Variant::Boolean(v);
}

const Member<RegExp> RegExp::kMembers[] = {
    {"Pattern", MemberKind::Get, 0, 0, [](RegExp& r, Args) { return Variant::String(r.pattern_); },
     true},
    {"Pattern", MemberKind::Let, 0, 0,
     [](RegExp& r, Args a) {
       r.pattern_ = Text(a, 0);
       r.dirty_ = true;
       return Variant();
     }},
    {"IgnoreCase", MemberKind::Get, 0, 0, [](RegExp& r, Args) { return BoolProp(r.ignoreCase_); }},
    {"IgnoreCase", MemberKind::Let, 0, 0,
     [](RegExp& r, Args a) {
       r.ignoreCase_ = ToBoolean(Arg(a, 0));
       r.dirty_ = true;
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
       r.dirty_ = true;
       return Variant();
     }},
    {"Test", MemberKind::Method, 1, 1,
     [](RegExp& r, Args a) {
       std::string s = Text(a, 0);
       bool found = false;
       bool global = r.global_;
       r.global_ = false;
       try {
         r.ForEachMatch(s, [&](const std::smatch&) { found = true; });
       } catch (...) {
         r.global_ = global;
         throw;
       }
       r.global_ = global;
       return Variant::Boolean(found);
     }},
    {"Execute", MemberKind::Method, 1, 1,
     [](RegExp& r, Args a) {
       std::string s = Text(a, 0);
       auto coll = MakeObject<Matches>();
       r.ForEachMatch(s, [&](const std::smatch& m) {
         if (coll->items_.size() >= kMaxArrayElements) Throw(kOutOfMemory);
         coll->items_.push_back(Variant::Object(MakeObject<Match>(ToData(s, m))));
       });
       return Variant::Object(coll);
     }},
    {"Replace", MemberKind::Method, 2, 2,
     [](RegExp& r, Args a) {
       std::string s = Text(a, 0), repl = Text(a, 1), out;
       size_t done = 0;
       r.ForEachMatch(s, [&](const std::smatch& m) {
         size_t at = static_cast<size_t>(m[0].first - s.cbegin());
         out.append(s, done, at - done);
         AppendReplacement(out, repl, s, m);
         done = at + static_cast<size_t>(m[0].length());
       });
       out.append(s, done, std::string::npos);
       return Variant::String(std::move(out));
     }},
};

}  // namespace

ObjectPtr<HostObject> MakeRegExp() {
  return ObjectPtr<HostObject>(new RegExp);
}

}  // namespace vbs
