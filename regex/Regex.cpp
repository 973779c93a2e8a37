#define PCRE2_CODE_UNIT_WIDTH 8
#include "regex/Regex.h"

#include <pcre2.h>

#include <vector>

namespace rx {
namespace {

// ECMAScript's dialect on PCRE2, on bytes.
constexpr uint32_t kCompileOptions = PCRE2_ALT_BSUX | PCRE2_ALLOW_EMPTY_CLASS |
                                     PCRE2_MATCH_UNSET_BACKREF | PCRE2_DOLLAR_ENDONLY |
                                     PCRE2_NEVER_UTF | PCRE2_NEVER_UCP | PCRE2_NEVER_BACKSLASH_C;

// The JIT pays for its compile time once a pattern has searched this many bytes or this
// many times (measured with vbs-lib-bench: below these the interpreter wins).
constexpr size_t kJitAfterBytes = 16384;
constexpr uint32_t kJitAfterSearches = 64;

// Work space of the automaton matcher, in ints: it grows to this at most.
constexpr size_t kMaxWorkspace = 1u << 20;

// What a callout returns to stop the search: the deadline passed.
constexpr int kStopped = PCRE2_ERROR_CALLOUT;

struct CompileContext {
  CompileContext() : ctx(pcre2_compile_context_create(nullptr)) {
    if (!ctx) throw std::bad_alloc();
    pcre2_set_parens_nest_limit(ctx, kMaxNesting);
    pcre2_set_max_pattern_length(ctx, kMaxPatternLength);
    pcre2_set_newline(ctx, PCRE2_NEWLINE_LF);
  }
  ~CompileContext() { pcre2_compile_context_free(ctx); }
  pcre2_compile_context* ctx;
};

pcre2_code* Compile(std::string_view text, uint32_t options, std::string* error) {
  CompileContext cc;
  int code = 0;
  PCRE2_SIZE offset = 0;
  pcre2_code* re = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(text.data()), text.size(),
                                 options, &code, &offset, cc.ctx);
  if (!re && error) {
    PCRE2_UCHAR buf[256];
    if (pcre2_get_error_message(code, buf, sizeof buf) < 0) buf[0] = 0;
    *error = std::string(reinterpret_cast<const char*>(buf)) + " at offset " +
             std::to_string(offset);
  }
  return re;
}

}  // namespace

struct CompiledPattern {
  ~CompiledPattern() {
    pcre2_code_free(plain);
    pcre2_code_free(watched);
  }

  // The pattern with a callout at each start position, for searches with a deadline; the
  // plain one when the wrapped text does not compile (a pattern that ends inside \Q...).
  pcre2_code* Watched() {
    if (!watchTried) {
      watchTried = true;
      std::string wrapped = "(?C)(?:";
      wrapped += text;
      wrapped += ')';
      watched = Compile(wrapped, options, nullptr);
    }
    return watched ? watched : plain;
  }

  void MaybeJit(pcre2_code* code, size_t bytes) {
    bool& tried = code == plain ? plainJit : watchedJit;
    if (tried) return;
    searchedBytes += bytes;
    if (++searches < kJitAfterSearches && searchedBytes < kJitAfterBytes) return;
    tried = true;
    // Without the JIT (unsupported or out of memory) the interpreter does the same work.
    jitted = pcre2_jit_compile(code, PCRE2_JIT_COMPLETE) == 0 || jitted;
  }

  std::string text;
  uint32_t options = 0;
  pcre2_code* plain = nullptr;
  pcre2_code* watched = nullptr;
  bool watchTried = false, plainJit = false, watchedJit = false, jitted = false;
  uint32_t searches = 0;
  size_t searchedBytes = 0;
};

Pattern::Pattern(std::string_view text, Options options) : code_(new CompiledPattern) {
  code_->text = std::string(text);
  code_->options = kCompileOptions | (options.ignoreCase ? PCRE2_CASELESS : 0) |
                   (options.multiline ? PCRE2_MULTILINE : 0);
  if (options.utf) code_->options = (code_->options & ~PCRE2_NEVER_UTF) | PCRE2_UTF;
  std::string error;
  code_->plain = Compile(text, code_->options, &error);
  if (!code_->plain) throw Error(Error::Kind::Syntax, error);
}

Pattern::~Pattern() = default;
Pattern::Pattern(Pattern&&) noexcept = default;
Pattern& Pattern::operator=(Pattern&&) noexcept = default;

uint32_t Pattern::Groups() const {
  uint32_t n = 0;
  pcre2_pattern_info(code_->plain, PCRE2_INFO_CAPTURECOUNT, &n);
  return n;
}

bool Pattern::HasBackReferences() const {
  uint32_t n = 0;
  pcre2_pattern_info(code_->plain, PCRE2_INFO_BACKREFMAX, &n);
  return n > 0;
}

struct Matcher::State {
  explicit State(const pcre2_code* code)
      : data(pcre2_match_data_create_from_pattern(code, nullptr)),
        context(pcre2_match_context_create(nullptr)) {
    if (!data || !context) {
      Free();
      throw std::bad_alloc();
    }
    pcre2_set_match_limit(context, kMatchSteps);
    pcre2_set_depth_limit(context, kMatchSteps);
    pcre2_set_heap_limit(context, kHeapKiB);
  }
  ~State() { Free(); }
  void Free() {
    pcre2_match_data_free(data);
    pcre2_match_context_free(context);
    pcre2_jit_stack_free(jitStack);
  }

  static int OnStart(pcre2_callout_block*, void* self) {
    return Clock::now() > static_cast<State*>(self)->deadline ? kStopped : 0;
  }

  pcre2_match_data* data;
  pcre2_match_context* context;
  pcre2_jit_stack* jitStack = nullptr;
  std::vector<int> workspace = std::vector<int>(4096);
  Clock::time_point deadline;
  std::string_view subject;
  bool groups = false;  // the ovector holds groups (not the automaton's other matches)
};

Matcher::Matcher(const Pattern& pattern)
    : pattern_(pattern), state_(new State(pattern.code_->plain)) {}

Matcher::~Matcher() = default;

bool Matcher::Find(std::string_view subject, size_t start, Clock::time_point deadline) {
  return Search(subject, start, deadline, false);
}

bool Matcher::FindBounded(std::string_view subject, size_t start, Clock::time_point deadline) {
  try {
    return Search(subject, start, deadline, false);
  } catch (const Error& e) {
    if (e.kind != Error::Kind::Limit) throw;
  }
  return Search(subject, start, deadline, true);
}

bool Matcher::Search(std::string_view subject, size_t start, Clock::time_point deadline,
                     bool automaton) {
  State& s = *state_;
  s.subject = {};
  s.groups = false;
  if (start > subject.size()) return false;
  CompiledPattern& c = *pattern_.code_;
  const bool watch = deadline != Clock::time_point::max();
  if (watch && Clock::now() > deadline) throw Error(Error::Kind::Deadline, "deadline passed");
  pcre2_code* code = watch ? c.Watched() : c.plain;
  s.deadline = deadline;
  pcre2_set_callout(s.context, watch ? &State::OnStart : nullptr, &s);

  static constexpr char kEmpty[] = "";
  const char* bytes = subject.data() ? subject.data() : kEmpty;
  const auto text = reinterpret_cast<PCRE2_SPTR>(bytes);
  const uint32_t matchOptions = (c.options & PCRE2_UTF) ? PCRE2_NO_UTF_CHECK : 0;
  int rc;
  if (automaton) {
    pcre2_set_depth_limit(s.context, kAutomatonDepth);
    for (;;) {
      rc = pcre2_dfa_match(code, text, subject.size(), start, matchOptions, s.data, s.context,
                           s.workspace.data(), s.workspace.size());
      if (rc != PCRE2_ERROR_DFA_WSSIZE || s.workspace.size() >= kMaxWorkspace) break;
      s.workspace.resize(s.workspace.size() * 4);
    }
    pcre2_set_depth_limit(s.context, kMatchSteps);
  } else {
    c.MaybeJit(code, subject.size() - start);
    if (c.jitted && !s.jitStack) {
      s.jitStack = pcre2_jit_stack_create(32u << 10, kJitStackBytes, nullptr);
      if (!s.jitStack) throw std::bad_alloc();
      pcre2_jit_stack_assign(s.context, nullptr, s.jitStack);
    }
    rc = pcre2_match(code, text, subject.size(), start, matchOptions, s.data, s.context);
  }
  if (rc == PCRE2_ERROR_NOMATCH) return false;
  if (rc == kStopped) throw Error(Error::Kind::Deadline, "deadline passed");
  if (rc < 0) {
    PCRE2_UCHAR buf[256];
    if (pcre2_get_error_message(rc, buf, sizeof buf) < 0) buf[0] = 0;
    throw Error(Error::Kind::Limit, reinterpret_cast<const char*>(buf));
  }
  PCRE2_SIZE* ov = pcre2_get_ovector_pointer(s.data);
  if (ov[1] < ov[0]) ov[1] = ov[0];  // \K in a look-ahead: never report a negative length
  s.subject = std::string_view(bytes, subject.size());
  // The automaton's other pairs are shorter matches, not groups.
  s.groups = !automaton;
  return true;
}

bool Matcher::Matched(uint32_t group) const {
  if (state_->subject.data() == nullptr || (group > 0 && !state_->groups)) return false;
  if (group >= pcre2_get_ovector_count(state_->data)) return false;
  return pcre2_get_ovector_pointer(state_->data)[2 * group] != PCRE2_UNSET;
}

size_t Matcher::Begin(uint32_t group) const {
  return Matched(group) ? pcre2_get_ovector_pointer(state_->data)[2 * group] : 0;
}

size_t Matcher::End(uint32_t group) const {
  if (!Matched(group)) return 0;
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(state_->data);
  return ov[2 * group + 1] < ov[2 * group] ? ov[2 * group] : ov[2 * group + 1];
}

std::string_view Matcher::Group(uint32_t group) const {
  if (!Matched(group)) return {};
  return state_->subject.substr(Begin(group), End(group) - Begin(group));
}

}  // namespace rx
