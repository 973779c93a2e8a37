// Both code unit widths in one file: PCRE2's functions carry their width in their names
// (pcre2_match_8, pcre2_match_16), which Api<Char> picks.
#define PCRE2_CODE_UNIT_WIDTH 0
#include "regex/Regex.h"

#include <pcre2.h>

#include <vector>

namespace rx {
namespace {

template <class Char>
struct Api;

#define RX_PCRE2_API(W)                                                             \
  using Code = pcre2_code_##W;                                                      \
  using MatchData = pcre2_match_data_##W;                                           \
  using MatchContext = pcre2_match_context_##W;                                     \
  using CompileContext = pcre2_compile_context_##W;                                 \
  using JitStack = pcre2_jit_stack_##W;                                             \
  using CalloutBlock = pcre2_callout_block_##W;                                     \
  using Unit = PCRE2_UCHAR##W;                                                      \
  using Sptr = PCRE2_SPTR##W;                                                       \
  static constexpr auto compile = &pcre2_compile_##W;                               \
  static constexpr auto code_free = &pcre2_code_free_##W;                           \
  static constexpr auto get_error_message = &pcre2_get_error_message_##W;           \
  static constexpr auto jit_compile = &pcre2_jit_compile_##W;                       \
  static constexpr auto pattern_info = &pcre2_pattern_info_##W;                     \
  static constexpr auto match_data_create_from_pattern =                            \
      &pcre2_match_data_create_from_pattern_##W;                                    \
  static constexpr auto match_data_free = &pcre2_match_data_free_##W;               \
  static constexpr auto match_context_create = &pcre2_match_context_create_##W;     \
  static constexpr auto match_context_free = &pcre2_match_context_free_##W;         \
  static constexpr auto set_match_limit = &pcre2_set_match_limit_##W;               \
  static constexpr auto set_depth_limit = &pcre2_set_depth_limit_##W;               \
  static constexpr auto set_heap_limit = &pcre2_set_heap_limit_##W;                 \
  static constexpr auto set_callout = &pcre2_set_callout_##W;                       \
  static constexpr auto jit_stack_create = &pcre2_jit_stack_create_##W;             \
  static constexpr auto jit_stack_assign = &pcre2_jit_stack_assign_##W;             \
  static constexpr auto jit_stack_free = &pcre2_jit_stack_free_##W;                 \
  static constexpr auto match = &pcre2_match_##W;                                   \
  static constexpr auto dfa_match = &pcre2_dfa_match_##W;                           \
  static constexpr auto get_ovector_pointer = &pcre2_get_ovector_pointer_##W;       \
  static constexpr auto get_ovector_count = &pcre2_get_ovector_count_##W;           \
  static constexpr auto compile_context_create = &pcre2_compile_context_create_##W; \
  static constexpr auto compile_context_free = &pcre2_compile_context_free_##W;     \
  static constexpr auto set_parens_nest_limit = &pcre2_set_parens_nest_limit_##W;   \
  static constexpr auto set_max_pattern_length = &pcre2_set_max_pattern_length_##W; \
  static constexpr auto set_newline = &pcre2_set_newline_##W;

template <>
struct Api<char> {
  RX_PCRE2_API(8)
};
template <>
struct Api<char16_t> {
  RX_PCRE2_API(16)
};
#undef RX_PCRE2_API

// ECMAScript's dialect on PCRE2, on code units.
constexpr uint32_t kCompileOptions = PCRE2_ALT_BSUX | PCRE2_ALLOW_EMPTY_CLASS |
                                     PCRE2_MATCH_UNSET_BACKREF | PCRE2_DOLLAR_ENDONLY |
                                     PCRE2_NEVER_UTF | PCRE2_NEVER_UCP | PCRE2_NEVER_BACKSLASH_C;

// The JIT pays for its compile time once a pattern has searched this many code units or
// this many times (measured with vbs-lib-bench: below these the interpreter wins).
constexpr size_t kJitAfterBytes = 16384;
constexpr uint32_t kJitAfterSearches = 64;

// Work space of the automaton matcher, in ints: it grows to this at most.
constexpr size_t kMaxWorkspace = 1u << 20;

// What a callout returns to stop the search: the deadline passed.
constexpr int kStopped = PCRE2_ERROR_CALLOUT;

template <class Char>
std::basic_string<Char> Units(std::string_view ascii) {
  return std::basic_string<Char>(ascii.begin(), ascii.end());
}

template <class Char>
std::string ErrorText(int code) {
  typename Api<Char>::Unit buf[256];
  if (Api<Char>::get_error_message(code, buf, 256) < 0) buf[0] = 0;
  std::string out;
  for (size_t i = 0; i < 256 && buf[i]; ++i) out += static_cast<char>(buf[i] < 0x80 ? buf[i] : '?');
  return out;
}

template <class Char>
typename Api<Char>::Code* Compile(std::basic_string_view<Char> text, uint32_t options,
                                  std::string* error) {
  using P = Api<Char>;
  struct Context {
    Context() : ctx(P::compile_context_create(nullptr)) {
      if (!ctx) throw std::bad_alloc();
      P::set_parens_nest_limit(ctx, kMaxNesting);
      P::set_max_pattern_length(ctx, kMaxPatternLength);
      P::set_newline(ctx, PCRE2_NEWLINE_LF);
    }
    ~Context() { P::compile_context_free(ctx); }
    typename P::CompileContext* ctx;
  } cc;
  int code = 0;
  PCRE2_SIZE offset = 0;
  auto* re = P::compile(reinterpret_cast<typename P::Sptr>(text.data()), text.size(), options,
                        &code, &offset, cc.ctx);
  if (!re && error) *error = ErrorText<Char>(code) + " at offset " + std::to_string(offset);
  return re;
}

// PCRE2 folds case beyond ASCII on code units that are not UTF only in its Unicode mode,
// where \d, \s, \w and \b (and their negations) would take Unicode's meanings too: they are
// spelled out here with their ASCII ones. The pattern is otherwise unchanged; inside a
// class an escape becomes its ranges (a negated one, the ranges of its complement; \u is
// the dialect's escape for a code unit, \x takes two digits).
template <class Char>
std::basic_string<Char> AsciiEscapes(std::basic_string_view<Char> p) {
  constexpr std::string_view kWord = "A-Za-z0-9_";
  auto outside = [&](char e) -> std::string {
    switch (e) {
      case 'd':
        return "[0-9]";
      case 'D':
        return "[^0-9]";
      case 's':
        return "[\\t-\\r ]";
      case 'S':
        return "[^\\t-\\r ]";
      case 'w':
        return "[A-Za-z0-9_]";
      case 'W':
        return "[^A-Za-z0-9_]";
      case 'b':
        return "(?:(?<=[A-Za-z0-9_])(?![A-Za-z0-9_])|(?<![A-Za-z0-9_])(?=[A-Za-z0-9_]))";
      case 'B':
        return "(?:(?<=[A-Za-z0-9_])(?=[A-Za-z0-9_])|(?<![A-Za-z0-9_])(?![A-Za-z0-9_]))";
      default:
        return {};
    }
  };
  auto inside = [&](char e) -> std::string {
    switch (e) {
      case 'd':
        return "0-9";
      case 'D':
        return "\\u0000-/:-\\uFFFF";
      case 's':
        return "\\t-\\r ";
      case 'S':
        return "\\u0000-\\u0008\\u000E-\\u001F!-\\uFFFF";
      case 'w':
        return std::string(kWord);
      case 'W':
        return "\\u0000-/:-@[-^`{-\\uFFFF";
      default:
        return {};
    }
  };
  std::basic_string<Char> out;
  out.reserve(p.size() + 16);
  bool inClass = false, quoted = false;
  for (size_t i = 0; i < p.size(); ++i) {
    Char c = p[i];
    if (quoted) {  // \Q...\E: literal
      if (c == '\\' && i + 1 < p.size() && p[i + 1] == 'E') quoted = false;
      out += c;
      continue;
    }
    if (c == '\\' && i + 1 < p.size()) {
      Char e = p[i + 1];
      std::string with =
          e < 0x80 ? (inClass ? inside(static_cast<char>(e)) : outside(static_cast<char>(e)))
                   : std::string();
      if (!with.empty()) {
        out += Units<Char>(with);
      } else {
        if (e == 'Q') quoted = true;
        out += c;
        out += e;
      }
      ++i;
      continue;
    }
    if (!inClass && c == '[') {
      inClass = true;
    } else if (inClass && c == ']') {  // also right after '[' or "[^": empty classes exist
      inClass = false;
    } else if (inClass && c == '[' && i + 1 < p.size() && p[i + 1] == ':') {
      // A POSIX class [:name:] inside: copied as it stands.
      size_t end = p.find(Units<Char>(":]"), i + 2);
      if (end != std::basic_string_view<Char>::npos) {
        out.append(p.substr(i, end + 2 - i));
        i = end + 1;
        continue;
      }
    }
    out += c;
  }
  return out;
}

}  // namespace

template <class Char>
struct CompiledPattern {
  using P = Api<Char>;
  ~CompiledPattern() {
    P::code_free(plain);
    P::code_free(watched);
  }

  // The pattern with a callout at each start position, for searches with a deadline; the
  // plain one when the wrapped text does not compile (a pattern that ends inside \Q...).
  typename P::Code* Watched() {
    if (!watchTried) {
      watchTried = true;
      std::basic_string<Char> wrapped = Units<Char>("(?C)(?:");
      wrapped += text;
      wrapped += ')';
      watched = Compile<Char>(wrapped, options, nullptr);
    }
    return watched ? watched : plain;
  }

  void MaybeJit(typename P::Code* code, size_t units) {
    bool& tried = code == plain ? plainJit : watchedJit;
    if (tried) return;
    searchedUnits += units;
    if (++searches < kJitAfterSearches && searchedUnits < kJitAfterBytes) return;
    tried = true;
    // Without the JIT (unsupported or out of memory) the interpreter does the same work.
    jitted = P::jit_compile(code, PCRE2_JIT_COMPLETE) == 0 || jitted;
  }

  std::basic_string<Char> text;
  uint32_t options = 0;
  typename P::Code* plain = nullptr;
  typename P::Code* watched = nullptr;
  bool watchTried = false, plainJit = false, watchedJit = false, jitted = false;
  uint32_t searches = 0;
  size_t searchedUnits = 0;
};

template <class Char>
BasicPattern<Char>::BasicPattern(View text, Options options) : code_(new CompiledPattern<Char>) {
  code_->options = kCompileOptions | (options.ignoreCase ? PCRE2_CASELESS : 0) |
                   (options.multiline ? PCRE2_MULTILINE : 0);
  if (options.utf && sizeof(Char) == 1)
    code_->options = (code_->options & ~PCRE2_NEVER_UTF) | PCRE2_UTF;
  if (options.ignoreCase && options.unicodeCase && sizeof(Char) > 1) {
    code_->options = (code_->options & ~PCRE2_NEVER_UCP) | PCRE2_UCP;
    code_->text = AsciiEscapes<Char>(text);
  } else {
    code_->text = std::basic_string<Char>(text);
  }
  std::string error;
  code_->plain = Compile<Char>(code_->text, code_->options, &error);
  if (!code_->plain) throw Error(Error::Kind::Syntax, error);
}

template <class Char>
BasicPattern<Char>::~BasicPattern() = default;
template <class Char>
BasicPattern<Char>::BasicPattern(BasicPattern&&) noexcept = default;
template <class Char>
BasicPattern<Char>& BasicPattern<Char>::operator=(BasicPattern&&) noexcept = default;

template <class Char>
uint32_t BasicPattern<Char>::Groups() const {
  uint32_t n = 0;
  Api<Char>::pattern_info(code_->plain, PCRE2_INFO_CAPTURECOUNT, &n);
  return n;
}

template <class Char>
bool BasicPattern<Char>::HasBackReferences() const {
  uint32_t n = 0;
  Api<Char>::pattern_info(code_->plain, PCRE2_INFO_BACKREFMAX, &n);
  return n > 0;
}

template <class Char>
struct BasicMatcher<Char>::State {
  using P = Api<Char>;
  explicit State(const typename P::Code* code)
      : data(P::match_data_create_from_pattern(code, nullptr)),
        context(P::match_context_create(nullptr)) {
    if (!data || !context) {
      Free();
      throw std::bad_alloc();
    }
    P::set_match_limit(context, kMatchSteps);
    P::set_depth_limit(context, kMatchSteps);
    P::set_heap_limit(context, kHeapKiB);
  }
  ~State() { Free(); }
  void Free() {
    P::match_data_free(data);
    P::match_context_free(context);
    P::jit_stack_free(jitStack);
  }

  static int OnStart(typename P::CalloutBlock*, void* self) {
    return Clock::now() > static_cast<State*>(self)->deadline ? kStopped : 0;
  }

  typename P::MatchData* data;
  typename P::MatchContext* context;
  typename P::JitStack* jitStack = nullptr;
  std::vector<int> workspace = std::vector<int>(4096);
  Clock::time_point deadline;
  View subject;
  bool groups = false;  // the ovector holds groups (not the automaton's other matches)
};

template <class Char>
BasicMatcher<Char>::BasicMatcher(const BasicPattern<Char>& pattern)
    : pattern_(pattern), state_(new State(pattern.code_->plain)) {}

template <class Char>
BasicMatcher<Char>::~BasicMatcher() = default;

template <class Char>
bool BasicMatcher<Char>::Find(View subject, size_t start, Clock::time_point deadline) {
  return Search(subject, start, deadline, false);
}

template <class Char>
bool BasicMatcher<Char>::FindBounded(View subject, size_t start, Clock::time_point deadline) {
  try {
    return Search(subject, start, deadline, false);
  } catch (const Error& e) {
    if (e.kind != Error::Kind::Limit) throw;
  }
  return Search(subject, start, deadline, true);
}

template <class Char>
bool BasicMatcher<Char>::Search(View subject, size_t start, Clock::time_point deadline,
                                bool automaton) {
  using P = Api<Char>;
  State& s = *state_;
  s.subject = {};
  s.groups = false;
  if (start > subject.size()) return false;
  CompiledPattern<Char>& c = *pattern_.code_;
  const bool watch = deadline != Clock::time_point::max();
  if (watch && Clock::now() > deadline) throw Error(Error::Kind::Deadline, "deadline passed");
  typename P::Code* code = watch ? c.Watched() : c.plain;
  s.deadline = deadline;
  P::set_callout(s.context, watch ? &State::OnStart : nullptr, &s);

  static constexpr Char kEmpty[] = {0};
  const Char* units = subject.data() ? subject.data() : kEmpty;
  const auto text = reinterpret_cast<typename P::Sptr>(units);
  const uint32_t matchOptions = (c.options & PCRE2_UTF) ? PCRE2_NO_UTF_CHECK : 0;
  int rc;
  if (automaton) {
    P::set_depth_limit(s.context, kAutomatonDepth);
    for (;;) {
      rc = P::dfa_match(code, text, subject.size(), start, matchOptions, s.data, s.context,
                        s.workspace.data(), s.workspace.size());
      if (rc != PCRE2_ERROR_DFA_WSSIZE || s.workspace.size() >= kMaxWorkspace) break;
      s.workspace.resize(s.workspace.size() * 4);
    }
    P::set_depth_limit(s.context, kMatchSteps);
  } else {
    c.MaybeJit(code, subject.size() - start);
    if (c.jitted && !s.jitStack) {
      s.jitStack = P::jit_stack_create(32u << 10, kJitStackBytes, nullptr);
      if (!s.jitStack) throw std::bad_alloc();
      P::jit_stack_assign(s.context, nullptr, s.jitStack);
    }
    rc = P::match(code, text, subject.size(), start, matchOptions, s.data, s.context);
  }
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  if (rc == kStopped) throw Error(Error::Kind::Deadline, "deadline passed");
  if (rc < 0) throw Error(Error::Kind::Limit, ErrorText<Char>(rc));
  PCRE2_SIZE* ov = P::get_ovector_pointer(s.data);
  if (ov[1] < ov[0]) ov[1] = ov[0];  // \K in a look-ahead: never report a negative length
  s.subject = View(units, subject.size());
  // The automaton's other pairs are shorter matches, not groups.
  s.groups = !automaton;
  return true;
}

template <class Char>
bool BasicMatcher<Char>::Matched(uint32_t group) const {
  if (state_->subject.data() == nullptr || (group > 0 && !state_->groups)) return false;
  if (group >= Api<Char>::get_ovector_count(state_->data)) return false;
  return Api<Char>::get_ovector_pointer(state_->data)[2 * group] != PCRE2_UNSET;
}

template <class Char>
size_t BasicMatcher<Char>::Begin(uint32_t group) const {
  return Matched(group) ? Api<Char>::get_ovector_pointer(state_->data)[2 * group] : 0;
}

template <class Char>
size_t BasicMatcher<Char>::End(uint32_t group) const {
  if (!Matched(group)) return 0;
  const PCRE2_SIZE* ov = Api<Char>::get_ovector_pointer(state_->data);
  return ov[2 * group + 1] < ov[2 * group] ? ov[2 * group] : ov[2 * group + 1];
}

template <class Char>
typename BasicMatcher<Char>::View BasicMatcher<Char>::Group(uint32_t group) const {
  if (!Matched(group)) return {};
  return state_->subject.substr(Begin(group), End(group) - Begin(group));
}

template class BasicPattern<char>;
template class BasicPattern<char16_t>;
template class BasicMatcher<char>;
template class BasicMatcher<char16_t>;

}  // namespace rx
