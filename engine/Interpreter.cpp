#include "engine/Interpreter.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <new>
#include <typeinfo>

#include <pthread.h>

#include "engine/Builtins.h"
#include "engine/Engine.h"
#include "engine/Library.h"
#include "engine/Parser.h"
#include "engine/StandardObjects.h"

namespace vbs {
namespace {

// The value stack grows in blocks, so an engine starts small (a resident node keeps one engine
// for its whole life, and most scripts never go deeper than a few frames); a frame lies in one
// block. Blocks grow 256, 4,096, then 65,536 slots each.
constexpr size_t kFirstBlockSlots = 1 << 8;
constexpr size_t kBlockSlots = 1 << 16;
constexpr size_t kMaxBlocks = 17;
constexpr size_t kMaxNativeStack = 6u << 20;  // bytes of the thread's stack we allow
// Kept free below the deepest check for what runs between two checks (the parser, host
// members, the regular expression compiler).
constexpr size_t kNativeStackReserve = 512u << 10;
constexpr uint32_t kTickInterval = 4096;

// The lowest usable address of this thread's stack (0 when unknown), looked up once.
uintptr_t ThreadStackLow() {
  static thread_local uintptr_t low = [] {
    uintptr_t result = 0;
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
      void* addr = nullptr;
      size_t size = 0;
      size_t guard = 0;
      if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr) {
        pthread_attr_getguardsize(&attr, &guard);
        result = reinterpret_cast<uintptr_t>(addr) + guard;
      }
      pthread_attr_destroy(&attr);
    }
    return result;
  }();
  return low;
}

// Appends to a string that has no other owner, in place, and keeps its charge up to date.
inline void AppendInPlace(Variant& s, const Variant& v) {
  StringRep* rep = s.StringBlock();
  size_t before = rep->text.size();
  const Variant& d = v.Deref();
  if (d.IsString() && rep->kind == TextKind::kAscii && d.StringBlock()->kind == TextKind::kAscii) {
    // ASCII onto ASCII, the loop that builds a text: nothing the block remembers changes.
    const std::string& more = d.StringBlock()->text;
    CheckStringSize(before + more.size());
    rep->text += more;
    if (rep->charged != rep->Footprint()) [[unlikely]]
      RechargeString(rep, before);
    return;
  }
  TextKind kind = rep->Kind();
  // The end of the old text: a trail surrogate appended to a lead one rewrites it.
  char tail[3];
  if (before >= 3) std::memcpy(tail, rep->text.data() + before - 3, 3);
  TextKind added = AppendText(rep->text, v);
  if (rep->charged != rep->Footprint()) [[unlikely]] {
    try {
      RechargeString(rep, before);
    } catch (...) {
      // The text is back to its old length: its last character too.
      if (before >= 3) std::memcpy(rep->text.data() + before - 3, tail, 3);
      throw;
    }
  }
  if (kind != TextKind::kAscii || added != TextKind::kAscii)
    rep->Appended(before, kind, JoinKinds(kind, added));
}

// Errors about a name carry it: the host's report says which ("Variable is undefined:
// 'x'", "Object doesn't support this property or method: 'hs.Nmae'"); Err.Description
// keeps the plain text.
[[noreturn]] void ThrowNamed(int32_t number, std::string_view name) {
  ScriptError e(number);
  e.subject = std::string(name);
  throw e;
}

// The text of a name or a chain of members ("a.b.c"); empty for anything else.
std::string NameText(const Expr* e) {
  if (!e) return {};
  if (e->kind == ExprKind::Name) return static_cast<const NameExpr*>(e)->name;
  if (e->kind == ExprKind::Me) return "Me";
  if (e->kind != ExprKind::Member) return {};
  auto* m = static_cast<const MemberExpr*>(e);
  std::string object = NameText(m->object.get());
  return object.empty() ? m->name : object + "." + m->name;
}

[[noreturn]] void ThrowNoMember(const MemberExpr* site, const std::string& name) {
  std::string text = site ? NameText(site) : name;
  if (text.empty()) Throw(kNoSuchMember);
  ThrowNamed(kNoSuchMember, text);
}

bool Truth(const Variant& v) {
  const Variant& d = v.Deref();
  if (d.Type() == VarType::Boolean) return d.AsBoolean();
  if (d.IsNull()) return false;  // If Null: neither branch condition holds
  return ToBoolean(d);
}

// Pointers to the arguments of a host or built-in call: variables by reference,
// everything else through a temporary that lives as long as the call. A few arguments
// fit inside; only long lists go to the heap.
class ArgPack {
 public:
  ArgPack() = default;
  ArgPack(const ArgPack&) = delete;
  ArgPack& operator=(const ArgPack&) = delete;
  size_t Size() const { return n_; }
  Args Get() const { return Args(ptrs_, n_); }
  void Reserve(size_t n) {
    if (n > kInline) {
      heapTemps_.resize(n);
      heapPtrs_.resize(n);
      temps_ = heapTemps_.data();
      ptrs_ = heapPtrs_.data();
    }
  }
  void SetRef(size_t i, Variant* p) {
    ptrs_[i] = p;
    n_ = std::max(n_, i + 1);
  }
  void SetValue(size_t i, Variant v) {
    if (temps_ == inline_.v && !(made_ >> i & 1)) {
      new (&temps_[i]) Variant(std::move(v));
      made_ |= 1u << i;
    } else {
      temps_[i] = std::move(v);
    }
    ptrs_[i] = &temps_[i];
    n_ = std::max(n_, i + 1);
  }
  std::vector<ArrayRep*> locks;
  ~ArgPack() {
    for (ArrayRep* a : locks) {
      --a->locks;
      if (--a->refs == 0) delete a;
    }
    for (uint32_t m = made_; m != 0; m &= m - 1) inline_.v[std::countr_zero(m)].~Variant();
  }

 private:
  static constexpr size_t kInline = 6;
  // The inline values are made as they are set (made_ has a bit for each), so a call with
  // two arguments does not make and destroy six.
  union InlineTemps {
    InlineTemps() {}
    ~InlineTemps() {}
    Variant v[kInline];
  } inline_;
  uint32_t made_ = 0;
  Variant* inlinePtrs_[kInline];
  std::vector<Variant> heapTemps_;
  std::vector<Variant*> heapPtrs_;
  Variant* temps_ = inline_.v;
  Variant** ptrs_ = inlinePtrs_;
  size_t n_ = 0;
};

}  // namespace

// Compiling code may give names new meanings (a procedure where a variable was, a variable
// defined): places and call plans found before are found again. Bumped also when the
// compiler fails half-way, since it may have declared names by then.
struct NamesMayChange {
  uint64_t& epoch;
  ~NamesMayChange() { ++epoch; }
};

inline __attribute__((always_inline)) void Interpreter::ExecBody(const Block& body, Frame& f) {
  try {
    ExecBlock(body, f);
  } catch (ScriptError& e) {
    if (e.line == 0 && f.current) {
      e.line = f.current->line;
      e.column = f.current->column;
      if (f.proc->scriptName) e.script = *f.proc->scriptName;
    }
    throw;
  }
}

// Slots of one call on the value stack; cleared (objects released) when the call ends,
// normally or by an error.
class FrameGuard {
 public:
  FrameGuard(Interpreter& vm, int count)
      : vm_(vm),
        count_(count),
        savedBlock_(vm.stackBlock_),
        savedTop_(vm.stackTop_),
        savedEnd_(vm.stackEnd_) {
    if (vm.stackTop_ + count > vm.stackEnd_) [[unlikely]]
      vm.NextStackBlock(static_cast<size_t>(count));
    slots = vm.stackTop_;
    vm.stackTop_ += count;
  }
  ~FrameGuard() {
    for (int i = 0; i < count_; ++i) slots[i].Clear();
    vm_.stackBlock_ = savedBlock_;
    vm_.stackTop_ = savedTop_;
    vm_.stackEnd_ = savedEnd_;
    if (locks_) [[unlikely]]
      ReleaseLocks();
  }
  // Arrays whose elements are passed ByRef, locked until the call returns (made on demand:
  // most calls have none).
  std::vector<ArrayRep*>& Locks() {
    if (!locks_) locks_ = std::make_unique<std::vector<ArrayRep*>>();
    return *locks_;
  }
  Variant* slots;

 private:
  [[gnu::noinline]] void ReleaseLocks() {
    for (ArrayRep* a : *locks_) {
      --a->locks;
      if (--a->refs == 0) delete a;
    }
  }
  Interpreter& vm_;
  int count_;
  size_t savedBlock_;
  Variant* savedTop_;
  Variant* savedEnd_;
  std::unique_ptr<std::vector<ArrayRep*>> locks_;
};

void Interpreter::NextStackBlock(size_t count) {
  const size_t next = stackBlock_ + 1;
  if (count > kBlockSlots) Throw(kOutOfStack);
  const auto size = [&](size_t i) {
    return static_cast<size_t>(stackBlocks_[i].second - stackBlocks_[i].first);
  };
  // The blocks above the current one hold no frame: one too small for this frame is replaced.
  if (next >= stackBlocks_.size() || size(next) < count) {
    if (next >= kMaxBlocks) Throw(kOutOfStack);
    const size_t slots = std::min(kBlockSlots, std::max(count, size(next - 1) * 16));
    auto block = std::make_unique<Variant[]>(slots);
    Variant* base = block.get();
    if (next < stackBlocks_.size()) {
      stackStorage_[next] = std::move(block);
      stackBlocks_[next] = {base, base + slots};
    } else {
      stackStorage_.push_back(std::move(block));
      stackBlocks_.push_back({base, base + slots});
    }
  }
  stackBlock_ = next;
  stackTop_ = stackBlocks_[next].first;
  stackEnd_ = stackBlocks_[next].second;
}

// ---------------------------------------------------------------------------------------
// Set-up

Interpreter::Interpreter() {
  stackStorage_.push_back(std::make_unique<Variant[]>(kFirstBlockSlots));
  Variant* base = stackStorage_.back().get();
  stackBlocks_.push_back({base, base + kFirstBlockSlots});
  stackTop_ = base;
  stackEnd_ = base + kFirstBlockSlots;
  auto global = std::make_unique<Module>();
  global->name = "Global";
  modules_.push_back(std::move(global));
  for (const auto& o : StandardObjects())
    RegisterProgId(o.progId, [this, make = o.make] { return make(*this); });
}

Interpreter::~Interpreter() {
  budget_->Drop();  // the blocks still charged to it keep it until they go
  DetachInstances();
}

void Interpreter::DetachInstances() {
  for (ClassInstance* c : instances_) c->Detach();
  std::vector<ClassInstance*> live(instances_.begin(), instances_.end());
  instances_.clear();
  // Break reference cycles between instances so that they can be freed. All are held
  // while fields are cleared: clearing one may drop the last reference to another.
  for (ClassInstance* c : live) c->AddRef();
  for (ClassInstance* c : live) {
    auto fields = std::move(c->fields);
    c->fields.clear();
    fields.clear();
  }
  for (ClassInstance* c : live) c->Release();
}

void Interpreter::TerminateAll() {
  std::vector<ObjectPtr<ClassInstance>> live;
  for (ClassInstance* c : instances_) {
    if (c->Class() && c->Class()->terminate && !c->terminated) live.emplace_back(c);
  }
  if (live.empty()) return;
  std::sort(live.begin(), live.end(),
            [](const auto& a, const auto& b) { return a->serial < b->serial; });
  RunScope scope(*this);  // the time-out holds for all of them together
  for (auto& c : live) {
    if (c->terminated || !c->Class()) continue;
    c->terminated = true;
    Terminate(c.Get());
  }
}

void Interpreter::Reset() {
  TerminateAll();
  DetachInstances();
  named_.clear();
  evalProcs_.clear();
  modules_.clear();
  auto global = std::make_unique<Module>();
  global->name = "Global";
  modules_.push_back(std::move(global));
  err_.Clear();
}

Module* Interpreter::FindModule(std::string_view name) {
  for (auto& m : modules_)
    if (NameEquals(m->name, name)) return m.get();
  return nullptr;
}

Module* Interpreter::AddModule(std::string_view name) {
  if (FindModule(name)) return nullptr;
  auto m = std::make_unique<Module>();
  m->name = std::string(name);
  modules_.push_back(std::move(m));
  return modules_.back().get();
}

bool Interpreter::AddNamedObject(std::string_view name, Variant object, bool addMembers) {
  for (auto& n : named_)
    if (NameEquals(n->name, name)) return false;
  auto n = std::make_unique<NamedObject>();
  n->name = std::string(name);
  n->object = std::move(object);
  n->addMembers = addMembers;
  named_.push_back(std::move(n));
  return true;
}

CompileEnv Interpreter::EnvFor(Module* m) {
  CompileEnv env;
  env.module = m;
  env.globalModule = GlobalModule();
  env.namedObjects = &named_;
  return env;
}

void Interpreter::RegisterProgId(std::string_view progId, ObjectFactory factory) {
  progIds_[LowerName(progId)] = std::move(factory);
}

Variant Interpreter::CreateObject(std::string_view progId) {
  auto it = progIds_.find(LowerName(progId));
  if (it == progIds_.end() || !it->second) Throw(kCannotCreateObject);
  ObjectPtr<HostObject> o = it->second();
  if (!o) Throw(kCannotCreateObject);
  return Variant::Object(o);
}

Variant Interpreter::Message(const MessageRequest& request) {
  // Without user interface the calls fail, as in the script control.
  if (!allowUI) Throw(kAccessDenied);
  if (messageHook_) return messageHook_(request);
  if (request.kind == MessageRequest::Kind::InputBox) return Variant::String(request.defaultText);
  return Variant::Integer(1);  // vbOK
}

// ---------------------------------------------------------------------------------------
// Limits

void Interpreter::CheckLimits() {
  ticks_ = kTickInterval;
  steps_ += kTickInterval;
  if (stepLimit_ && steps_ > stepLimit_) {
    ScriptError e(kUserInterrupt, "Step limit exceeded");
    e.uncatchable = true;
    throw e;
  }
  if (timeoutMs_ > 0 && running_ && std::chrono::steady_clock::now() > deadline_) {
    ScriptError e(kUserInterrupt, "Script timed out");
    e.uncatchable = true;
    throw e;
  }
}

// ---------------------------------------------------------------------------------------
// Entry points from the host

void Interpreter::RunCode(Module* module, std::string_view code, std::string_view scriptName,
                          int firstLine) {
  auto prog = std::make_unique<Program>(ParseProgram(code, firstLine));
  prog->name = std::string(scriptName);
  Procedure* top;
  {
    NamesMayChange bump{epoch_};
    top = CompileProgram(std::move(prog), EnvFor(module));
  }
  RunTopLevel(top, nullptr);
}

Interpreter::RunScope::RunScope(Interpreter& vm)
    : vm_(vm), outer_(!vm.running_), savedBudget_(detail::activeBudget) {
  if (!outer_) return;
  // What the run makes is charged to this engine (another engine's run may be the caller).
  detail::activeBudget = vm.budget_;
  vm.running_ = true;
  vm.ticks_ = 1;
  vm.steps_ = 0;
  vm.runStart_ = std::chrono::steady_clock::now();
  vm.deadline_ = vm.runStart_ + std::chrono::milliseconds(vm.timeoutMs_);
  // This object lives in the entering caller's frame: native stack use is measured from
  // here, and never comes closer than the reserve to the end of the thread's stack.
  auto base = reinterpret_cast<uintptr_t>(this);
  uintptr_t limit = base > kMaxNativeStack ? base - kMaxNativeStack : 0;
  uintptr_t low = ThreadStackLow();
  if (low && low + kNativeStackReserve > limit) limit = low + kNativeStackReserve;
  vm.nativeStackLimit_ = reinterpret_cast<const char*>(limit);
  vm.PublishDeadline();
}

Interpreter::RunScope::~RunScope() {
  if (!outer_) return;
  vm_.running_ = false;
  detail::activeBudget = savedBudget_;
  *vm_.sharedDeadline_ = std::chrono::steady_clock::time_point::max();
}

Variant Interpreter::EvalCode(Module* module, std::string_view expression) {
  ExprPtr e = ParseExpression(expression);
  auto proc = CompileEval(e, EnvFor(module), nullptr);
  RunScope scope(*this);
  Level level(*this);
  FrameGuard g(*this, proc->slotCount);
  Frame f;
  f.slots = g.slots;
  f.proc = proc.get();
  Frame* saved = current_;
  current_ = &f;
  struct Restore {
    Interpreter& vm;
    Frame* saved;
    ~Restore() { vm.current_ = saved; }
  } restore{*this, saved};
  Variant r = Eval(e.get(), f);
  evalProcs_.push_back(std::move(proc));
  return r;
}

void Interpreter::RunTopLevel(Procedure* top, Frame* enclosing) {
  RunScope scope(*this);
  Level level(*this);
  FrameGuard g(*this, top->slotCount);
  Frame f;
  f.slots = g.slots;
  f.proc = top;
  f.me = enclosing ? enclosing->me : nullptr;
  if (enclosing) ShareScope(*top, f, *enclosing);
  Frame* saved = current_;
  current_ = &f;
  struct Restore {
    Interpreter& vm;
    Frame* saved;
    ~Restore() { vm.current_ = saved; }
  } restore{*this, saved};
  ExecBody(*top->body, f);
}

DynamicScope Interpreter::ScopeOf(Frame& enclosing) {
  DynamicScope scope;
  scope.proc = enclosing.proc;
  Frame* owner = enclosing.scopeFrame ? enclosing.scopeFrame : &enclosing;
  if (owner->dynamic)
    for (const DynamicVar& d : *owner->dynamic) scope.dynamicNames.push_back(d.name);
  return scope;
}

// Execute or Eval code inside a procedure: its first slots refer to the enclosing frame's,
// the rest to the variables Execute code creates in the procedure's call.
void Interpreter::ShareScope(const Procedure& top, Frame& f, Frame& enclosing) {
  const Procedure& outer = *enclosing.proc;
  for (int i = 0; i < outer.slotCount; ++i) {
    switch (outer.slotKinds[i]) {
      case SlotKind::Plain:
        f.slots[i] = Variant::MakeRef(&enclosing.slots[i].Deref());
        break;
      case SlotKind::Handle:
        f.slots[i] = Variant::MakeRef(&enclosing.slots[i]);
        break;
      case SlotKind::HandleRef:
        f.slots[i] = enclosing.slots[i];
        break;
      case SlotKind::Storage:
        break;
    }
  }
  Frame* owner = enclosing.scopeFrame ? enclosing.scopeFrame : &enclosing;
  f.scopeFrame = owner;
  for (const auto& [slot, name] : top.dynamicSlots) {
    if (!owner->dynamic) owner->dynamic = std::make_unique<std::deque<DynamicVar>>();
    DynamicVar* var = nullptr;
    for (DynamicVar& d : *owner->dynamic)
      if (d.name == name) var = &d;
    if (!var) {
      var = &owner->dynamic->emplace_back();
      var->name = name;
    }
    f.slots[slot] = Variant::MakeRef(&var->cell[0]);
  }
  for (int slot : top.declaredSlots) {
    Variant* handle = f.slots[slot].RefTarget();
    if (!handle->IsRef()) handle->SetRef(handle + 1);  // Dim: local from the start
  }
}

Variant Interpreter::CallProcedure(Procedure* p, ClassInstance* me, Args args) {
  if (args.size() != p->ParamCount()) Throw(kWrongArgCount);
  RunScope scope(*this);
  FrameGuard g(*this, p->slotCount);
  for (size_t i = 0; i < args.size(); ++i) {
    if (p->byRef[i])
      g.slots[i + 1] = Variant::MakeRef(&args[i]->Deref());
    else
      g.slots[i + 1] = args[i]->Deref();
  }
  return RunFrame(p, me, g.slots);
}

Variant Interpreter::RunFrame(Procedure* p, ClassInstance* me, Variant* slots) {
  Level level(*this);
  Tick();
  Frame f;
  f.slots = slots;
  f.me = me;
  f.proc = p;
  Frame* saved = current_;
  current_ = &f;
  struct Restore {
    Interpreter& vm;
    Frame* saved;
    ~Restore() { vm.current_ = saved; }
  } restore{*this, saved};
  // Keep the instance alive while its method runs, even if the script drops it.
  ObjectPtr<ClassInstance> keep(me);
  ExecBody(*p->body, f);
  return std::move(slots[0]);
}

void Interpreter::BindArg(Variant& param, bool byRef, const Expr* a, Frame& caller,
                          FrameGuard& frame) {
  if (!a) return;  // omitted: the parameter stays Empty
  if (byRef) {
    // An array element is locked while the call runs.
    if (Variant* r = RefOf(a, caller, a->kind == ExprKind::Index ? &frame.Locks() : nullptr)) {
      param.SetRef(r);
      return;
    }
  }
  param = Eval(a, caller);
}

Variant Interpreter::CallWithExprs(Procedure* p, ClassInstance* me,
                                   const std::vector<ExprPtr>& args, Frame& caller) {
  if (args.size() != p->ParamCount()) Throw(kWrongArgCount);
  FrameGuard g(*this, p->slotCount);
  for (size_t i = 0; i < args.size(); ++i)
    BindArg(g.slots[i + 1], p->byRef[i], args[i].get(), caller, g);
  return RunFrame(p, me, g.slots);
}

void Interpreter::PlanCall(CallSite& site, Procedure* p, const std::vector<ExprPtr>& args) const {
  site.proc = nullptr;
  if (args.size() != p->ParamCount()) Throw(kWrongArgCount);
  site.args.resize(args.size());
  for (size_t i = 0; i < args.size(); ++i) {
    ArgPlan& plan = site.args[i];
    plan = ArgPlan();
    const Expr* a = args[i].get();
    if (!a) {
      plan.kind = ArgPlan::Kind::Omitted;
      continue;
    }
    if (p->byRef[i] && a->kind == ExprKind::Name) {
      // A variable by reference; anything else named (a constant, a procedure, a name
      // not yet defined, an undeclared name that each call decides) the general way.
      plan.place = Locate(a, true);
      if (Direct(plan.place)) plan.kind = ArgPlan::Kind::Ref;
      continue;
    }
    if (!p->byRef[i] || a->kind == ExprKind::Literal) {
      plan.place = Locate(a, false);
      if (Direct(plan.place)) plan.kind = ArgPlan::Kind::Copy;
    }
  }
  site.proc = p;
  site.epoch = epoch_;
}

Variant Interpreter::CallPlanned(Procedure* p, const IndexExpr& e, Frame& caller) {
  CallSite& site = e.site;
  if (site.proc != p || site.epoch != epoch_) [[unlikely]]
    PlanCall(site, p, e.args);
  FrameGuard g(*this, p->slotCount);
  Variant* params = g.slots + 1;
  for (size_t i = 0, n = site.args.size(); i < n; ++i) {
    const ArgPlan& a = site.args[i];
    switch (a.kind) {
      case ArgPlan::Kind::Omitted:
        break;
      case ArgPlan::Kind::Ref:
        params[i].SetRef(AtDirect(a.place, caller));
        break;
      case ArgPlan::Kind::Copy:
        params[i] = *AtDirect(a.place, caller);
        break;
      case ArgPlan::Kind::General:
        BindArg(params[i], p->byRef[i], e.args[i].get(), caller, g);
        break;
    }
  }
  // A procedure of the script: a lean frame, without Me.
  Level level(*this);
  Tick();
  Frame f;
  f.slots = g.slots;
  f.proc = p;
  Frame* saved = current_;
  current_ = &f;
  struct Restore {
    Interpreter& vm;
    Frame* saved;
    ~Restore() { vm.current_ = saved; }
  } restore{*this, saved};
  ExecBody(*p->body, f);
  return std::move(g.slots[0]);
}

// ---------------------------------------------------------------------------------------
// Statements

bool Interpreter::ResumeInto(ScriptError& e, const Stmt& header, Frame& f) {
  if (!f.resumeNext || e.uncatchable) return false;
  if (e.line == 0) {
    e.line = header.line;
    e.column = header.column;
  }
  SetErrFrom(e);
  return true;
}

void Interpreter::SetErrFrom(const ScriptError& e) {
  err_.number = e.number;
  err_.description = e.description;
  err_.source = e.source.empty() ? "Microsoft VBScript runtime error" : e.source;
  err_.helpFile = e.helpFile;
  err_.helpContext = e.helpContext;
}

Place Interpreter::Locate(const Expr* e, bool forWrite) const {
  Place p;
  if (e->kind == ExprKind::Literal) {
    if (!forWrite) {
      p.kind = Place::Kind::Fixed;
      p.fixed = const_cast<Variant*>(&static_cast<const LiteralExpr*>(e)->value);
    }
    return p;
  }
  if (e->kind != ExprKind::Name) return p;
  auto& n = static_cast<const NameExpr&>(*e);
  switch (n.bind) {
    case Bind::Local:
    case Bind::ReturnValue:
      p.kind = n.mayBeRef ? Place::Kind::SlotRef : Place::Kind::Slot;
      p.slot = n.slot;
      return p;
    case Bind::Implicit:
      p.kind = n.viaRef ? Place::Kind::HandleRef : Place::Kind::Handle;
      p.slot = n.slot;
      return p;
    case Bind::Global: {
      // A variable of the script stays where it is until code makes the name something
      // else (a procedure); a name not yet defined takes the general path until it is.
      GlobalVar* g = n.global;
      if (g->defined && !g->proc && !(forWrite && g->isConst)) {
        p.kind = Place::Kind::Fixed;
        p.fixed = &g->value;
      }
      return p;
    }
    default:
      return p;
  }
}

void Interpreter::LocateArith(const AssignStmt& a) const {
  auto& b = static_cast<const BinaryExpr&>(*a.value);
  a.left = Locate(b.left.get(), false);
  a.right = Locate(b.right.get(), false);
  a.dst = Locate(a.target.get(), true);
  a.epoch = epoch_;
  if (!Found(a.left) || !Found(a.right) || !Found(a.dst))
    a.located = AssignStmt::Located::No;
  else if (Direct(a.left) && Direct(a.right) && Direct(a.dst))
    a.located = AssignStmt::Located::Direct;
  else
    a.located = AssignStmt::Located::Handles;
}

// x = a op b on plain variables and literals, the bread and butter of loops: computed in
// place. False when the operands need the general rules.
inline __attribute__((always_inline)) bool Interpreter::ExecArith(const AssignStmt& a, Frame& f) {
  if (a.epoch != epoch_) [[unlikely]]
    LocateArith(a);
  const Variant* l;
  const Variant* r;
  Variant* d;
  if (a.located == AssignStmt::Located::Direct) [[likely]] {
    l = AtDirect(a.left, f);
    r = AtDirect(a.right, f);
    d = AtDirect(a.dst, f);
  } else {
    if (a.located == AssignStmt::Located::No) return false;
    l = At(a.left, f);
    r = At(a.right, f);
    d = At(a.dst, f);
    if (!l || !r || !d) return false;  // an undeclared name not decided yet in this call
  }
  switch (a.arithOp) {
    case NumOp::Add:
      return QuickArithOf<NumOp::Add>(*l, *r, *d);
    case NumOp::Sub:
      return QuickArithOf<NumOp::Sub>(*l, *r, *d);
    case NumOp::Mul:
      return QuickArithOf<NumOp::Mul>(*l, *r, *d);
  }
  return false;
}

// One statement; assignments, most of what runs, go straight to their code.
inline __attribute__((always_inline)) Interpreter::Flow Interpreter::Exec(const Stmt& st,
                                                                          Frame& f) {
  if (st.kind == StmtKind::Assign) {
    auto& a = static_cast<const AssignStmt&>(st);
    if (!(a.form == AssignStmt::Form::Arith && ExecArith(a, f))) ExecAssign(a, f);
    return Flow::Normal;
  }
  return ExecStmt(st, f);
}

Interpreter::Flow Interpreter::ExecBlock(const Block& body, Frame& f) {
  if (!f.proc->usesResumeNext) {
    // Without Resume Next no statement needs a handler of its own: ExecBody places the
    // error, and the hot path has no exception scaffolding.
    for (const auto& st : body) {
      f.current = st.get();
      Flow flow = Exec(*st, f);
      if (flow != Flow::Normal) return flow;
    }
    return Flow::Normal;
  }
  for (const auto& st : body) {
    Flow flow;
    f.current = st.get();
    try {
      flow = ExecStmt(*st, f);
    } catch (ScriptError& e) {
      if (e.line == 0) {
        e.line = st->line;
        e.column = st->column;
        if (f.proc->scriptName) e.script = *f.proc->scriptName;
      }
      if (!f.resumeNext || e.uncatchable) throw;
      SetErrFrom(e);
      continue;
    }
    if (flow != Flow::Normal) return flow;
  }
  return Flow::Normal;
}

Interpreter::Flow Interpreter::ExecStmt(const Stmt& st, Frame& f) {
  switch (st.kind) {
    case StmtKind::Assign: {
      auto& a = static_cast<const AssignStmt&>(st);
      if (a.form == AssignStmt::Form::Arith && ExecArith(a, f)) return Flow::Normal;
      ExecAssign(a, f);
      return Flow::Normal;
    }
    case StmtKind::Call:
      ExecCall(*static_cast<const CallStmt&>(st).call, f);
      return Flow::Normal;
    case StmtKind::If: {
      auto& s = static_cast<const IfStmt&>(st);
      for (const auto& arm : s.arms) {
        bool take;
        try {
          take = Truth(Eval(arm.cond.get(), f));
        } catch (ScriptError& e) {
          if (!ResumeInto(e, st, f)) throw;
          take = true;  // a failing condition enters its branch
        }
        if (take) return ExecBlock(arm.body, f);
      }
      return ExecBlock(s.elseBody, f);
    }
    case StmtKind::Select: {
      auto& s = static_cast<const SelectStmt&>(st);
      Variant subject = Eval(s.subject.get(), f);
      for (const auto& c : s.cases) {
        for (size_t i = 0; i < c.values.size(); ++i) {
          bool match;
          try {
            Variant v = Eval(c.values[i].get(), f);
            match = CaseMatches(subject, v, s.subjectLiteral, c.literal[i]);
          } catch (ScriptError& e) {
            if (!ResumeInto(e, st, f)) throw;
            match = true;  // a failing Case value enters its case
          }
          if (match) return ExecBlock(c.body, f);
        }
      }
      return ExecBlock(s.elseBody, f);
    }
    case StmtKind::For:
      return ExecFor(static_cast<const ForStmt&>(st), f);
    case StmtKind::ForEach:
      return ExecForEach(static_cast<const ForEachStmt&>(st), f);
    case StmtKind::Do: {
      auto& s = static_cast<const DoStmt&>(st);
      while (true) {
        Tick();
        if (s.testAtTop && s.cond != DoStmt::Cond::None) {
          bool stop;
          try {
            bool t = Truth(Eval(s.test.get(), f));
            stop = s.cond == DoStmt::Cond::While ? !t : t;
          } catch (ScriptError& e) {
            if (!ResumeInto(e, st, f)) throw;
            stop = false;  // a failing test at the top enters the body
          }
          if (stop) break;
        }
        Flow flow = ExecBlock(s.body, f);
        if (flow == Flow::ExitDo) break;
        if (flow == Flow::ExitProc || flow == Flow::ExitFor) return flow;
        if (!s.testAtTop && s.cond != DoStmt::Cond::None) {
          bool t = Truth(Eval(s.test.get(), f));
          if (s.cond == DoStmt::Cond::While ? !t : t) break;
        }
      }
      return Flow::Normal;
    }
    case StmtKind::With: {
      auto& s = static_cast<const WithStmt&>(st);
      Variant obj;
      try {
        obj = Eval(s.object.get(), f);
        if (!obj.IsObject()) Throw(kObjectRequired);
      } catch (ScriptError& e) {
        // The body runs without an object: its .member uses fail with 424.
        if (!ResumeInto(e, st, f)) throw;
        obj = Variant();
      }
      f.slots[s.slot] = std::move(obj);
      Flow flow = ExecBlock(s.body, f);
      f.slots[s.slot] = Variant();
      return flow;
    }
    case StmtKind::Exit: {
      switch (static_cast<const ExitStmt&>(st).what) {
        case ExitKind::Do:
          return Flow::ExitDo;
        case ExitKind::For:
          return Flow::ExitFor;
        default:
          return Flow::ExitProc;
      }
    }
    case StmtKind::OnError:
      f.resumeNext = static_cast<const OnErrorStmt&>(st).resumeNext;
      err_.Clear();
      return Flow::Normal;
    case StmtKind::Dim:
      ExecDim(static_cast<const DimStmt&>(st), f);
      return Flow::Normal;
    case StmtKind::ReDim:
      ExecReDim(static_cast<const ReDimStmt&>(st), f);
      return Flow::Normal;
    case StmtKind::Erase:
      for (const auto& t : static_cast<const EraseStmt&>(st).targets) ExecErase(*t, f);
      return Flow::Normal;
    case StmtKind::Const:
    case StmtKind::OptionExplicit:
      return Flow::Normal;
  }
  return Flow::Normal;
}

void Interpreter::Store(Variant& dst, Variant v, bool isSet) {
  if (isSet) {
    if (!v.IsObject()) Throw(kObjectRequired);
  } else if (v.IsObject()) {
    v = ValueOf(v);
  } else if (v.IsArray() && v.AsArray()->fixed) {
    // A copy of a fixed array is an ordinary dynamic one.
    v = Variant::Array(CopyArray(*v.AsArray()));
  }
  dst = std::move(v);
}

void Interpreter::ExecAssign(const AssignStmt& st, Frame& f) {
  switch (st.form) {
    case AssignStmt::Form::Append: {
      auto& cat = static_cast<const BinaryExpr&>(*st.value);
      Variant right = Eval(cat.right.get(), f);
      Variant& dst = VariableOf(static_cast<const NameExpr&>(*st.target), f, true);
      if (dst.IsString() && dst.StringBlock()->refs == 1 && !right.IsObject()) {
        AppendInPlace(dst, right);  // the one owner: grow in place
        return;
      }
      Variant r = Concat(dst, right);
      Variant& again = VariableOf(static_cast<const NameExpr&>(*st.target), f, true);
      again = std::move(r);
      return;
    }
    case AssignStmt::Form::Call: {
      // x = F(args) with F a script procedure: straight to the call.
      auto& ix = static_cast<const IndexExpr&>(*st.value);
      Procedure* p = static_cast<const NameExpr&>(*ix.target).global->proc;
      if (!p) break;
      Variant r = CallPlanned(p, ix, f);
      // The call may have changed what the target is: located after it.
      if (st.epoch != epoch_) [[unlikely]] {
        st.dst = Locate(st.target.get(), true);
        st.epoch = epoch_;
      }
      Variant* d = Found(st.dst) ? At(st.dst, f) : nullptr;
      if (d && !r.IsObject() && !r.IsArray()) {
        d->TakePlain(std::move(r));
        return;
      }
      StoreTo(*st.target, std::move(r), false, f);
      return;
    }
    case AssignStmt::Form::Arith:
    case AssignStmt::Form::General:
      break;
  }
  StoreTo(*st.target, Eval(st.value.get(), f), st.isSet, f);
}

void Interpreter::StoreTo(const Expr& target, Variant&& v, bool isSet, Frame& f) {
  if (target.kind == ExprKind::Name && !isSet && !v.OwnsBlock()) {
    // The common case: a plain value into a variable.
    auto& n = static_cast<const NameExpr&>(target);
    if (n.bind == Bind::Local || n.bind == Bind::ReturnValue) {
      f.slots[n.slot].Deref().TakePlain(std::move(v));
      return;
    }
    if (n.bind == Bind::Global && n.global->defined && !n.global->proc && !n.global->isConst) {
      n.global->value.TakePlain(std::move(v));
      return;
    }
  }
  switch (target.kind) {
    case ExprKind::Name: {
      auto& n = static_cast<const NameExpr&>(target);
      switch (n.bind) {
        case Bind::ClassMember: {
          Variant* p = &v;
          InvokeMember(f.me, n.slot, isSet ? InvokeKind::Set : InvokeKind::Let, Args(&p, 1), true);
          return;
        }
        case Bind::HostMember: {
          Variant* p = &v;
          n.object->object.AsObject()->Invoke(n.memberId, isSet ? InvokeKind::Set : InvokeKind::Let,
                                              Args(&p, 1));
          return;
        }
        default:
          Store(VariableOf(n, f, true), std::move(v), isSet);
          return;
      }
    }
    case ExprKind::Member: {
      auto& m = static_cast<const MemberExpr&>(target);
      Variant obj = ObjectOf(m.object.get(), m.withSlot, f);
      InvokeObject(obj, m.name, isSet ? InvokeKind::Set : InvokeKind::Let, nullptr, f, &v,
                   m.object && m.object->kind == ExprKind::Me, &m);
      return;
    }
    case ExprKind::Index: {
      auto& ix = static_cast<const IndexExpr&>(target);
      const Expr& t = *ix.target;
      if (t.kind == ExprKind::Member) {
        auto& m = static_cast<const MemberExpr&>(t);
        Variant obj = ObjectOf(m.object.get(), m.withSlot, f);
        InvokeObject(obj, m.name, isSet ? InvokeKind::Set : InvokeKind::Let, &ix.args, f, &v,
                     m.object && m.object->kind == ExprKind::Me, &m);
        return;
      }
      if (t.kind == ExprKind::Name) {
        auto& n = static_cast<const NameExpr&>(t);
        if (n.bind == Bind::ClassMember || n.bind == Bind::HostMember) {
          ArgPack pack;
          pack.Reserve(ix.args.size() + 1);
          for (size_t i = 0; i < ix.args.size(); ++i)
            pack.SetValue(i, ix.args[i] ? Eval(ix.args[i].get(), f) : MissingArgument());
          pack.SetRef(ix.args.size(), &v);
          InvokeKind k = isSet ? InvokeKind::Set : InvokeKind::Let;
          if (n.bind == Bind::ClassMember)
            InvokeMember(f.me, n.slot, k, pack.Get(), true);
          else
            n.object->object.AsObject()->Invoke(n.memberId, k, pack.Get());
          return;
        }
        if (n.bind == Bind::Global && n.global->proc) Throw(kIllegalAssignment);
        // Indexes first: they may change the variable.
        int32_t idx[64];
        size_t count = ix.args.size();
        if (count > 64) Throw(kSubscriptOutOfRange);
        Variant& var0 = VariableOf(n, f, true);
        if (var0.IsObject()) {
          Variant obj = var0;
          InvokeObject(obj, std::string(), isSet ? InvokeKind::Set : InvokeKind::Let, &ix.args, f,
                       &v, false);
          return;
        }
        for (size_t i = 0; i < count; ++i) {
          if (!ix.args[i]) Throw(kSubscriptOutOfRange);
          idx[i] = ToLong(Eval(ix.args[i].get(), f));
        }
        // The default member of an object value runs code: before the element is found.
        if (!isSet && v.IsObject()) v = ValueOf(v);
        Variant& var = VariableOf(n, f, true);
        if (!var.IsArray()) Throw(kTypeMismatch);
        ArrayRep* a = var.MutableArray();
        Store(ArrayElement(*a, idx, count), std::move(v), isSet);
        return;
      }
      // a(i)(j) = v on an array of arrays: into the inner array, in place.
      if (t.kind == ExprKind::Index && StoreNested(ix, v, isSet, f)) return;
      // F(a)(b) = v, o("x")("y") = v: the call before the last index yields an object whose
      // default member takes the assignment. Anything else has nowhere to store into.
      Variant obj = Eval(&t, f);
      if (!obj.Deref().IsObject()) Throw(kTypeMismatch);
      InvokeObject(obj, std::string(), isSet ? InvokeKind::Set : InvokeKind::Let, &ix.args, f, &v,
                   false);
      return;
    }
    default:
      Throw(kIllegalAssignment);
  }
}

bool Interpreter::StoreNested(const IndexExpr& ix, Variant& v, bool isSet, Frame& f) {
  // The levels from the variable outwards: a(i) first, then (j), ...
  std::vector<const IndexExpr*> levels;
  const Expr* e = &ix;
  while (e->kind == ExprKind::Index) {
    levels.push_back(static_cast<const IndexExpr*>(e));
    e = levels.back()->target.get();
  }
  std::reverse(levels.begin(), levels.end());
  if (e->kind != ExprKind::Name) return false;
  auto& n = static_cast<const NameExpr&>(*e);
  // Only a variable that holds an array; a procedure's result, an object's default member
  // and the rest go the general way.
  const Variant* base = nullptr;
  switch (n.bind) {
    case Bind::Local:
    case Bind::ReturnValue:
    case Bind::Field:
      base = &VariableOf(n, f, false);
      break;
    case Bind::Global:
      if (n.global->defined && !n.global->proc) base = &n.global->value;
      break;
    case Bind::Implicit:
      base = ImplicitVar(n, f, false);
      break;
    default:
      break;
  }
  if (!base || !base->IsArray()) return false;
  // The indexes of each level are evaluated in order; that may run code that changes the
  // arrays, so the path is walked again from the variable after each level (copying an
  // array shared with another variable before it is changed).
  std::vector<std::vector<int32_t>> path;
  auto walk = [&]() -> Variant* {
    Variant* cur = &VariableOf(n, f, true);
    for (const auto& idx : path) {
      if (!cur->IsArray()) Throw(kTypeMismatch);
      cur = &ArrayElement(*cur->MutableArray(), idx.data(), idx.size());
    }
    return cur;
  };
  InvokeKind kind = isSet ? InvokeKind::Set : InvokeKind::Let;
  for (size_t k = 0; k < levels.size(); ++k) {
    const std::vector<ExprPtr>& args = levels[k]->args;
    if (k > 0) {
      Variant* cur = walk();
      if (cur->IsObject()) {
        // An object inside the array: its default member takes the rest, as it would
        // through the object's own chain.
        Variant obj = *cur;
        for (; k + 1 < levels.size(); ++k) obj = IndexValue(obj, levels[k]->args, f);
        if (!obj.IsObject()) Throw(kTypeMismatch);
        InvokeObject(obj, std::string(), kind, &levels[k]->args, f, &v, false);
        return true;
      }
      if (!cur->IsArray()) Throw(kTypeMismatch);
    }
    if (args.size() > 64) Throw(kSubscriptOutOfRange);
    std::vector<int32_t> idx;
    for (const auto& a : args) {
      if (!a) Throw(kSubscriptOutOfRange);
      idx.push_back(ToLong(Eval(a.get(), f)));
    }
    path.push_back(std::move(idx));
  }
  // The default member of an object value runs code: before the element is found.
  if (!isSet && v.IsObject()) v = ValueOf(v);
  Store(*walk(), std::move(v), isSet);
  return true;
}

void Interpreter::ExecCall(const Expr& call, Frame& f) {
  switch (call.kind) {
    case ExprKind::Name: {
      auto& n = static_cast<const NameExpr&>(call);
      static const std::vector<ExprPtr> kNoArgs;
      switch (n.bind) {
        case Bind::Global:
          if (n.global->proc) {
            CallWithExprs(n.global->proc, nullptr, kNoArgs, f);
            return;
          }
          break;
        case Bind::Implicit:
          if (n.global->proc && !Handle(n, f)->IsRef()) {
            CallWithExprs(n.global->proc, nullptr, kNoArgs, f);
            return;
          }
          break;
        case Bind::ClassMember:
          InvokeMember(f.me, n.slot, InvokeKind::Call, {}, true);
          return;
        case Bind::Builtin:
          CallBuiltin(n.index, &kNoArgs, f, true);
          return;
        case Bind::HostMember:
          n.object->object.AsObject()->Invoke(n.memberId, InvokeKind::Call, {});
          return;
        default:
          break;
      }
      Variant v = EvalName(n, f);
      if (v.IsObject() && v.AsObject()) {
        v.AsObject()->Invoke(kDefaultMember, InvokeKind::Call, {});
        return;
      }
      Throw(kTypeMismatch);
    }
    case ExprKind::Index:
      EvalIndex(static_cast<const IndexExpr&>(call), f, InvokeKind::Call);
      return;
    case ExprKind::Member:
      EvalMember(static_cast<const MemberExpr&>(call), f, InvokeKind::Call);
      return;
    default:
      Throw(kTypeMismatch);
  }
}

// A loop whose header failed under On Error Resume Next: the language goes on into its
// body, once, and its Next then finds no loop to continue (the error given).
Interpreter::Flow Interpreter::ExecUnstartedLoop(const Block& body, Frame& f, int32_t error) {
  Flow flow = ExecBlock(body, f);
  if (flow == Flow::ExitFor) return Flow::Normal;
  if (flow != Flow::Normal) return flow;
  Throw(error);
}

// A For loop over whole numbers whose body is one assignment x = a op b: its operands are
// located once (again when names change meaning), the counter is stepped in place.
// False when the counter stops being an Integer or Long, for the general loop to go on.
template <NumOp op>
bool Interpreter::ArithLoop(const AssignStmt& a, Variant& counter, int64_t end, int64_t inc,
                            const Variant& step, Frame& f) {
  uint64_t seen = 0;
  const Variant* l = nullptr;
  const Variant* r = nullptr;
  Variant* d = nullptr;
  bool stepIsInteger = step.Type() == VarType::Integer;
  f.current = &a;
  while (true) {
    int64_t cur;
    if (counter.Type() == VarType::Long) [[likely]]
      cur = counter.AsLong();
    else if (counter.Type() == VarType::Integer)
      cur = counter.AsInteger();
    else
      return false;
    if (inc >= 0 ? cur > end : cur < end) return true;
    Tick();
    if (seen != epoch_) [[unlikely]] {
      if (a.epoch != epoch_) LocateArith(a);
      bool found = a.located != AssignStmt::Located::No;
      l = found ? At(a.left, f) : nullptr;
      r = found ? At(a.right, f) : nullptr;
      d = found ? At(a.dst, f) : nullptr;
      if (l && r && d)
        seen = epoch_;
      else
        d = nullptr;  // an undeclared name not decided yet: again after the general path
    }
    if (!(d && QuickArithOf<op>(*l, *r, *d))) [[unlikely]]
      ExecAssign(a, f);
    VarType ct = counter.Type();
    if (ct == VarType::Long) [[likely]] {
      int64_t n = int64_t{counter.AsLong()} + inc;
      if (n > INT32_MAX || n < INT32_MIN)
        counter.SetDouble(static_cast<double>(n));
      else
        counter.SetLong(static_cast<int32_t>(n));
    } else if (ct == VarType::Integer && stepIsInteger) {
      // Integer counter and step stay Integer until the sum needs a Long.
      int64_t n = int64_t{counter.AsInteger()} + inc;
      if (n >= INT16_MIN && n <= INT16_MAX)
        counter.SetInteger(static_cast<int16_t>(n));
      else
        counter.SetLong(static_cast<int32_t>(n));
    } else {
      counter = Add(counter, step);
    }
  }
}

Interpreter::Flow Interpreter::ExecFor(const ForStmt& st, Frame& f) {
  auto& var = static_cast<const NameExpr&>(*st.var);
  Variant from, to, step;
  try {
    from = Eval(st.from.get(), f);
    to = Eval(st.to.get(), f);
    step = st.step ? Eval(st.step.get(), f) : Variant::Integer(1);
    if (from.IsObject()) from = ValueOf(from);
    if (to.IsObject()) to = ValueOf(to);
    if (step.IsObject()) step = ValueOf(step);
    if (from.IsNull() || to.IsNull() || step.IsNull()) Throw(kInvalidNull);
  } catch (ScriptError& e) {
    if (!ResumeInto(e, st, f)) throw;
    return ExecUnstartedLoop(st.body, f, kForNotInitialized);
  }
  // The bounds are read once; the counter is the variable itself, so the body may
  // change it.
  bool intLoop = (to.Type() == VarType::Integer || to.Type() == VarType::Long) &&
                 (step.Type() == VarType::Integer || step.Type() == VarType::Long) &&
                 (from.Type() == VarType::Integer || from.Type() == VarType::Long);
  double toD = ToDouble(to), stepD = ToDouble(step);
  if (from.IsString()) from = Variant::Double(ToDouble(from));
  VariableOf(var, f, true) = from;
  // Locals and script-level variables stay where they are for the whole loop.
  Variant* fixed = nullptr;
  if (var.bind == Bind::Local || var.bind == Bind::Global || var.bind == Bind::ReturnValue ||
      var.bind == Bind::Implicit)
    fixed = &VariableOf(var, f, true);
  // A body of one arithmetic assignment runs without the statement dispatch.
  const AssignStmt* simple = nullptr;
  if (st.body.size() == 1 && !f.proc->usesResumeNext && st.body[0]->kind == StmtKind::Assign &&
      static_cast<const AssignStmt&>(*st.body[0]).form == AssignStmt::Form::Arith)
    simple = static_cast<const AssignStmt*>(st.body[0].get());
  if (intLoop) {
    int64_t end = to.Type() == VarType::Long ? to.AsLong() : to.AsInteger();
    int64_t inc = step.Type() == VarType::Long ? step.AsLong() : step.AsInteger();
    if (simple && fixed) {
      bool done = false;
      switch (simple->arithOp) {
        case NumOp::Add:
          done = ArithLoop<NumOp::Add>(*simple, *fixed, end, inc, step, f);
          break;
        case NumOp::Sub:
          done = ArithLoop<NumOp::Sub>(*simple, *fixed, end, inc, step, f);
          break;
        case NumOp::Mul:
          done = ArithLoop<NumOp::Mul>(*simple, *fixed, end, inc, step, f);
          break;
      }
      if (done) return Flow::Normal;
      // The counter became something else than a whole number: the general loop goes on.
    }
    while (true) {
      Variant& v = fixed ? *fixed : VariableOf(var, f, true);
      int64_t cur;
      if (v.Type() == VarType::Long)
        cur = v.AsLong();
      else if (v.Type() == VarType::Integer)
        cur = v.AsInteger();
      else
        break;  // changed to something else by the body: leave the fast path
      if (inc >= 0 ? cur > end : cur < end) return Flow::Normal;
      Tick();
      Flow flow;
      if (simple) {
        f.current = simple;
        flow = ExecArith(*simple, f) ? Flow::Normal : ExecStmt(*simple, f);
      } else if (st.body.size() == 1 && !f.proc->usesResumeNext) {
        f.current = st.body[0].get();
        flow = Exec(*st.body[0], f);
      } else {
        flow = ExecBlock(st.body, f);
      }
      if (flow == Flow::ExitFor) return Flow::Normal;
      if (flow != Flow::Normal) return flow;
      Variant& after = fixed ? *fixed : VariableOf(var, f, true);
      VarType at = after.Type();
      if (at == VarType::Long) {
        int64_t n = int64_t{after.AsLong()} + inc;
        if (n > INT32_MAX || n < INT32_MIN)
          after.SetDouble(static_cast<double>(n));
        else
          after.SetLong(static_cast<int32_t>(n));
      } else if (at == VarType::Integer && step.Type() == VarType::Integer) {
        // Integer counter and step stay Integer until the sum needs a Long.
        int64_t n = int64_t{after.AsInteger()} + inc;
        if (n >= INT16_MIN && n <= INT16_MAX)
          after.SetInteger(static_cast<int16_t>(n));
        else
          after.SetLong(static_cast<int32_t>(n));
      } else {
        after = Add(after, step);
      }
    }
  }
  while (true) {
    Variant& v = VariableOf(var, f, true);
    double cur = ToDouble(v);
    if (stepD >= 0 ? cur > toD : cur < toD) return Flow::Normal;
    Tick();
    Flow flow = ExecBlock(st.body, f);
    if (flow == Flow::ExitFor) return Flow::Normal;
    if (flow != Flow::Normal) return flow;
    Variant& after = VariableOf(var, f, true);
    after = Add(after, step);
  }
}

namespace {
class ArrayEnumerator : public Enumerator {
 public:
  explicit ArrayEnumerator(Variant array) : array_(std::move(array)) {}
  bool Next(Variant& out) override {
    const auto& data = array_.AsArray()->data;
    if (i_ >= data.size()) return false;
    out = data[i_++];
    return true;
  }

 private:
  Variant array_;  // a snapshot: writes to the array during the loop copy it
  size_t i_ = 0;
};
}  // namespace

Interpreter::Flow Interpreter::ExecForEach(const ForEachStmt& st, Frame& f) {
  Variant coll;
  std::unique_ptr<Enumerator> en;
  try {
    coll = Eval(st.collection.get(), f);
    if (coll.IsArray()) {
      en = std::make_unique<ArrayEnumerator>(coll);
    } else if (coll.IsObject()) {
      if (!coll.AsObject()) Throw(kObjectNotSet);
      en = coll.AsObject()->Enumerate();
      if (!en) Throw(kNotACollection);
    } else {
      Throw(kNotACollection);
    }
  } catch (ScriptError& e) {
    if (!ResumeInto(e, st, f)) throw;
    return ExecUnstartedLoop(st.body, f, kNotACollection);
  }
  auto& var = static_cast<const NameExpr&>(*st.var);
  Variant item;
  while (en->Next(item)) {
    Tick();
    Variant& dst = VariableOf(var, f, true);
    dst = std::move(item);
    item = Variant();
    Flow flow = ExecBlock(st.body, f);
    if (flow == Flow::ExitFor) return Flow::Normal;
    if (flow != Flow::Normal) return flow;
  }
  VariableOf(var, f, true) = Variant();  // after the last element, as in the original
  return Flow::Normal;
}

void Interpreter::ExecDim(const DimStmt& st, Frame& f) {
  for (const auto& v : st.vars) {
    if (!v.isArray) continue;
    Variant& var = VariableOf(*v.name, f, true);
    if (var.IsArray()) continue;  // a Dim in a loop runs again: keep the array
    std::vector<int32_t> counts;
    for (const auto& b : v.bounds) counts.push_back(ToLong(Eval(b.get(), f)) + 1);
    var = NewArray(counts, !counts.empty());
  }
}

void Interpreter::ExecReDim(const ReDimStmt& st, Frame& f) {
  for (const auto& v : st.vars) {
    // Without Preserve a fixed array refuses before its new bounds are looked at (as in
    // the original: ReDim a("x") on a fixed array is 10, ReDim Preserve a("x") is 13).
    if (!st.preserve) {
      const Variant& old = VariableOf(*v.name, f, true);
      if (old.IsArray() && old.AsArray()->fixed) Throw(kArrayLocked);
    }
    std::vector<int32_t> counts;
    for (const auto& b : v.bounds) {
      int32_t upper = ToLong(Eval(b.get(), f));
      if (upper < -1) Throw(kSubscriptOutOfRange);
      counts.push_back(upper + 1);
    }
    Variant& var = VariableOf(*v.name, f, true);
    if (var.IsArray()) {
      ArrayRep* old = var.AsArray();
      if (old->fixed || old->locks) Throw(kArrayLocked);
      if (st.preserve && !old->bounds.empty()) {
        if (old->bounds.size() != counts.size()) Throw(kSubscriptOutOfRange);
        for (size_t d = 0; d + 1 < counts.size(); ++d)
          if (old->bounds[d].count != counts[d]) Throw(kSubscriptOutOfRange);
        Variant fresh = NewArray(counts);
        ArrayRep* a = fresh.AsArray();
        // The last dimension varies slowest, so the kept elements are a prefix.
        size_t keep = std::min(a->data.size(), old->data.size());
        bool unique = old->refs == 1;
        for (size_t i = 0; i < keep; ++i)
          a->data[i] = unique ? std::move(old->data[i]) : old->data[i];
        var = std::move(fresh);
        continue;
      }
    } else if (st.preserve && !var.IsEmpty()) {
      Throw(kTypeMismatch);
    }
    var.Clear();  // the old elements go first: both need not fit in memory at once
    var = NewArray(counts);
  }
}

void Interpreter::ExecErase(const Expr& target, Frame& f) {
  Variant& var = VariableOf(static_cast<const NameExpr&>(target), f, true);
  if (!var.IsArray()) Throw(kTypeMismatch);
  ArrayRep* a = var.AsArray();
  if (a->locks) Throw(kArrayLocked);
  if (a->fixed) {
    a = var.MutableArray();
    for (auto& e : a->data) e = Variant();
  } else {
    var = NewArray({});
    var.AsArray()->bounds.clear();
  }
}

// ---------------------------------------------------------------------------------------
// Expressions

Variant& Interpreter::VariableOf(const NameExpr& n, Frame& f, bool forWrite) {
  switch (n.bind) {
    case Bind::Local:
    case Bind::ReturnValue:
      return f.slots[n.slot].Deref();
    case Bind::Field:
      if (!f.me) Throw(kObjectRequired);
      return f.me->fields[n.slot];
    case Bind::Global: {
      GlobalVar* g = n.global;
      if (g->defined && !g->proc && !g->isConst) [[likely]]
        return g->value;  // a variable of the script
      if (g->proc && forWrite && g->proc->ParamCount() == 0) {
        // A procedure's name assigned outside it: a procedure without parameters runs, so
        // an error it raises is the statement's error; the assignment itself is refused.
        static const std::vector<ExprPtr> kNoArgs;
        CallWithExprs(g->proc, nullptr, kNoArgs, f);
      }
      if (g->isConst || g->proc) Throw(kIllegalAssignment);
      if (!g->defined) {
        if (f.proc->optionExplicit) ThrowNamed(kVariableUndefined, n.name);
        if (forWrite) {
          g->defined = true;
          ++epoch_;  // plain from now on: operands naming it can be located
        }
      }
      return g->value;
    }
    case Bind::Implicit:
      if (Variant* v = ImplicitVar(n, f, true)) return *v;
      Throw(kIllegalAssignment);  // a procedure or constant of the script
    default:
      Throw(kIllegalAssignment);
  }
}

Variant* Interpreter::ImplicitVar(const NameExpr& n, Frame& f, bool create) {
  Variant* handle = Handle(n, f);
  if (handle->IsRef()) return handle->RefTarget();
  GlobalVar* g = n.global;
  if (g->proc || g->isConst) return nullptr;
  if (g->defined) {
    handle->SetRef(&g->value);
    return &g->value;
  }
  if (f.proc->optionExplicit) ThrowNamed(kVariableUndefined, n.name);
  if (!create) return nullptr;  // read before any assignment: Empty, and nothing made
  handle->SetRef(handle + 1);
  return handle + 1;
}

Variant* Interpreter::RefOf(const Expr* e, Frame& f, std::vector<ArrayRep*>* locks) {
  if (e->kind == ExprKind::Name) {
    auto& n = static_cast<const NameExpr&>(*e);
    if (n.bind == Bind::Local) return &f.slots[n.slot].Deref();
    if (n.bind == Bind::Global && n.global->defined && !n.global->proc && !n.global->isConst)
      return &n.global->value;
    switch (n.bind) {
      case Bind::Local:
      case Bind::ReturnValue:
      case Bind::Field:
        return &VariableOf(n, f, true);
      case Bind::Global:
        if (n.global->proc || n.global->isConst) return nullptr;
        return &VariableOf(n, f, true);
      case Bind::Implicit:
        return ImplicitVar(n, f, true);  // a constant goes by value
      default:
        return nullptr;
    }
  }
  if (e->kind == ExprKind::Index && locks) {
    auto& ix = static_cast<const IndexExpr&>(*e);
    if (ix.target->kind != ExprKind::Name) return nullptr;
    auto& n = static_cast<const NameExpr&>(*ix.target);
    if (n.bind != Bind::Local && n.bind != Bind::Global && n.bind != Bind::Field &&
        n.bind != Bind::Implicit && n.bind != Bind::ReturnValue)
      return nullptr;
    if (n.bind == Bind::Global && n.global->proc) return nullptr;
    if (n.bind == Bind::Implicit && !ImplicitVar(n, f, false)) return nullptr;
    Variant* var = &VariableOf(n, f, false);
    if (!var->IsArray()) return nullptr;
    int32_t idx[64];
    size_t count = ix.args.size();
    if (count > 64) Throw(kSubscriptOutOfRange);
    for (size_t i = 0; i < count; ++i) {
      if (!ix.args[i]) Throw(kSubscriptOutOfRange);
      idx[i] = ToLong(Eval(ix.args[i].get(), f));
    }
    var = &VariableOf(n, f, false);
    if (!var->IsArray()) return nullptr;
    ArrayRep* a = var->MutableArray();
    Variant* elem = &ArrayElement(*a, idx, count);
    // Locked until the call returns: ReDim or Erase would free the element.
    ++a->locks;
    ++a->refs;
    locks->push_back(a);
    return elem;
  }
  return nullptr;
}

Variant Interpreter::Eval(const Expr* e, Frame& f) {
  switch (e->kind) {
    case ExprKind::Literal:
      return static_cast<const LiteralExpr*>(e)->value;
    case ExprKind::Name: {
      auto* n = static_cast<const NameExpr*>(e);
      if (n->bind == Bind::Local) return f.slots[n->slot].Deref();
      if (n->bind == Bind::Global && n->global->defined && !n->global->proc)
        return n->global->value;
      return EvalName(*n, f);
    }
    case ExprKind::Binary:
      return EvalBinary(*static_cast<const BinaryExpr*>(e), f);
    case ExprKind::Compare:
      return EvalCompare(*static_cast<const CompareExpr*>(e), f);
    case ExprKind::Index:
      return EvalIndex(*static_cast<const IndexExpr*>(e), f, InvokeKind::Get);
    case ExprKind::Member:
      return EvalMember(*static_cast<const MemberExpr*>(e), f, InvokeKind::Get);
    case ExprKind::Unary: {
      auto* u = static_cast<const UnaryExpr*>(e);
      Variant v = Eval(u->operand.get(), f);
      return u->op == UnaryOp::Neg ? Negate(v) : Not(v);
    }
    case ExprKind::Paren:
      return Eval(static_cast<const ParenExpr*>(e)->inner.get(), f);
    case ExprKind::Is: {
      auto* is = static_cast<const IsExpr*>(e);
      Variant l = Eval(is->left.get(), f);
      Variant r = Eval(is->right.get(), f);
      if (!l.IsObject() || !r.IsObject()) Throw(kObjectRequired);
      return Variant::Boolean(l.AsObject() == r.AsObject());
    }
    case ExprKind::New:
      return EvalNew(*static_cast<const NewExpr*>(e), f);
    case ExprKind::Me:
      if (!f.me) Throw(kObjectRequired);
      return Variant::Object(static_cast<HostObject*>(f.me));
  }
  Throw(kTypeMismatch);
}

Variant Interpreter::EvalCompare(const CompareExpr& c, Frame& f) {
  if (c.epoch != epoch_) [[unlikely]] {
    c.leftPlace = Locate(c.left.get(), false);
    c.rightPlace = Locate(c.right.get(), false);
    c.epoch = epoch_;
  }
  int k;
  if (Found(c.leftPlace) && Found(c.rightPlace)) {
    // Two plain operands: compared where they are when they are numbers.
    const Variant* l = At(c.leftPlace, f);
    const Variant* r = At(c.rightPlace, f);
    if (l && r && QuickCompare(*l, *r, k)) return Variant::Boolean(CompareResult(c.op, k));
  }
  Variant l = Eval(c.left.get(), f);
  Variant r = Eval(c.right.get(), f);
  if (QuickCompare(l, r, k)) return Variant::Boolean(CompareResult(c.op, k));
  return Compare(c.op, l, r, c.leftLiteral, c.rightLiteral);
}

static_assert(static_cast<int>(BinaryOp::Add) == static_cast<int>(NumOp::Add) &&
              static_cast<int>(BinaryOp::Sub) == static_cast<int>(NumOp::Sub) &&
              static_cast<int>(BinaryOp::Mul) == static_cast<int>(NumOp::Mul));

Variant Interpreter::EvalBinary(const BinaryExpr& e, Frame& f) {
  Variant l = Eval(e.left.get(), f);
  Variant r = Eval(e.right.get(), f);
  if (e.op <= BinaryOp::Mul) {
    Variant out;
    if (QuickArith(static_cast<NumOp>(e.op), l, r, out)) return out;
  }
  switch (e.op) {
    case BinaryOp::Add:
      return Add(l, r);
    case BinaryOp::Sub:
      return Subtract(l, r);
    case BinaryOp::Mul:
      return Multiply(l, r);
    case BinaryOp::Div:
      return Divide(l, r);
    case BinaryOp::IntDiv:
      return IntDivide(l, r);
    case BinaryOp::Mod:
      return Modulo(l, r);
    case BinaryOp::Pow:
      return Power(l, r);
    case BinaryOp::Concat:
      if (l.IsString() && l.StringBlock()->refs == 1 && !r.IsObject()) {
        // A temporary with no other owner: append in place.
        AppendInPlace(l, r);
        return l;
      }
      return Concat(l, r);
    case BinaryOp::And:
      return And(l, r);
    case BinaryOp::Or:
      return Or(l, r);
    case BinaryOp::Xor:
      return Xor(l, r);
    case BinaryOp::Eqv:
      return Eqv(l, r);
    case BinaryOp::Imp:
      return Imp(l, r);
  }
  Throw(kTypeMismatch);
}

Variant Interpreter::EvalName(const NameExpr& n, Frame& f) {
  static const std::vector<ExprPtr> kNoArgs;
  switch (n.bind) {
    case Bind::Local:
    case Bind::ReturnValue:
      return f.slots[n.slot].Deref();
    case Bind::Field:
      if (!f.me) Throw(kObjectRequired);
      return f.me->fields[n.slot];
    case Bind::Global: {
      GlobalVar* g = n.global;
      if (g->proc) return CallWithExprs(g->proc, nullptr, kNoArgs, f);
      if (!g->defined && f.proc->optionExplicit) ThrowNamed(kVariableUndefined, n.name);
      return g->value;
    }
    case Bind::Implicit: {
      if (Variant* v = ImplicitVar(n, f, false)) return *v;
      GlobalVar* g = n.global;
      if (g->proc) return CallWithExprs(g->proc, nullptr, kNoArgs, f);
      return g->isConst ? g->value : Variant();
    }
    case Bind::ClassMember:
      return InvokeMember(f.me, n.slot, InvokeKind::Get, {}, true);
    case Bind::Builtin:
      return CallBuiltin(n.index, &kNoArgs, f);
    case Bind::NamedObject:
      return n.object->object;
    case Bind::HostMember:
      return n.object->object.AsObject()->Invoke(n.memberId, InvokeKind::Get, {});
    case Bind::Unresolved:
      break;
  }
  ThrowNamed(kVariableUndefined, n.name);
}

Variant Interpreter::IndexValue(const Variant& c0, const std::vector<ExprPtr>& args, Frame& f) {
  const Variant& c = c0.Deref();
  if (c.IsArray()) {
    int32_t idx[64];
    size_t count = args.size();
    if (count > 64) Throw(kSubscriptOutOfRange);
    for (size_t i = 0; i < count; ++i) {
      if (!args[i]) Throw(kSubscriptOutOfRange);
      idx[i] = ToLong(Eval(args[i].get(), f));
    }
    // Evaluating the indexes may have changed c: hold the array while reading.
    Variant hold = c;
    return ArrayElement(*hold.AsArray(), idx, count);
  }
  if (c.IsObject())
    return InvokeObject(c, std::string(), InvokeKind::Get, &args, f, nullptr, false);
  if (args.empty()) return c;
  Throw(kTypeMismatch);
}

Variant Interpreter::EvalIndex(const IndexExpr& e, Frame& f, InvokeKind kind) {
  const Expr& t = *e.target;
  if (t.kind == ExprKind::Name) {
    auto& n = static_cast<const NameExpr&>(t);
    switch (n.bind) {
      case Bind::Local:
      case Bind::ReturnValue: {
        Variant& v = f.slots[n.slot].Deref();
        if (v.IsArray() && e.args.size() == 1 && e.args[0]) {
          // The common a(i): no copy of the array.
          int32_t i = ToLong(Eval(e.args[0].get(), f));
          Variant& again = f.slots[n.slot].Deref();
          if (again.IsArray()) {
            Variant hold = again;
            return ArrayElement(*hold.AsArray(), &i, 1);
          }
        }
        return IndexValue(f.slots[n.slot].Deref(), e.args, f);
      }
      case Bind::Field:
        if (!f.me) Throw(kObjectRequired);
        return IndexValue(f.me->fields[n.slot], e.args, f);
      case Bind::Implicit: {
        if (Variant* v = ImplicitVar(n, f, false)) return IndexValue(*v, e.args, f);
        GlobalVar* g = n.global;
        if (g->proc) return CallWithExprs(g->proc, nullptr, e.args, f);
        return IndexValue(g->isConst ? g->value : Variant(), e.args, f);
      }
      case Bind::Global: {
        GlobalVar* g = n.global;
        if (g->proc) return CallPlanned(g->proc, e, f);
        if (!g->defined) {
          // Calling a name that is nothing at all: the original says "Type mismatch".
          if (f.proc->optionExplicit) ThrowNamed(kVariableUndefined, n.name);
          Throw(kTypeMismatch);
        }
        return IndexValue(g->value, e.args, f);
      }
      case Bind::ClassMember: {
        ArgPack pack;
        pack.Reserve(e.args.size());
        for (size_t i = 0; i < e.args.size(); ++i) {
          Variant* r = e.args[i] ? RefOf(e.args[i].get(), f, &pack.locks) : nullptr;
          if (r)
            pack.SetRef(i, r);
          else
            pack.SetValue(i, e.args[i] ? Eval(e.args[i].get(), f) : MissingArgument());
        }
        return InvokeMember(f.me, n.slot, kind, pack.Get(), true);
      }
      case Bind::Builtin:
        return CallBuiltin(n.index, &e.args, f, kind == InvokeKind::Call);
      case Bind::NamedObject:
        return InvokeObject(n.object->object, std::string(), kind, &e.args, f, nullptr, false);
      case Bind::HostMember: {
        ArgPack pack;
        pack.Reserve(e.args.size());
        for (size_t i = 0; i < e.args.size(); ++i) {
          Variant* r = e.args[i] ? RefOf(e.args[i].get(), f, &pack.locks) : nullptr;
          if (r)
            pack.SetRef(i, r);
          else
            pack.SetValue(i, e.args[i] ? Eval(e.args[i].get(), f) : MissingArgument());
        }
        return n.object->object.AsObject()->Invoke(n.memberId, kind, pack.Get());
      }
      case Bind::Unresolved:
        ThrowNamed(kVariableUndefined, n.name);
    }
  }
  if (t.kind == ExprKind::Member) {
    auto& m = static_cast<const MemberExpr&>(t);
    Variant obj = ObjectOf(m.object.get(), m.withSlot, f);
    return InvokeObject(obj, m.name, kind, &e.args, f, nullptr,
                        m.object && m.object->kind == ExprKind::Me, &m);
  }
  Variant v = Eval(&t, f);
  return IndexValue(v, e.args, f);
}

Variant Interpreter::ObjectOf(const Expr* objectExpr, int withSlot, Frame& f) {
  if (!objectExpr && withSlot < 0) Throw(kUnqualifiedReference);  // .x outside any With
  Variant obj = objectExpr ? Eval(objectExpr, f) : f.slots[withSlot];
  if (!obj.IsObject()) Throw(kObjectRequired);
  if (!obj.AsObject()) Throw(kObjectNotSet);
  return obj;
}

Variant Interpreter::EvalMember(const MemberExpr& e, Frame& f, InvokeKind kind) {
  Variant obj = ObjectOf(e.object.get(), e.withSlot, f);
  return InvokeObject(obj, e.name, kind, nullptr, f, nullptr,
                      e.object && e.object->kind == ExprKind::Me, &e);
}

Variant Interpreter::InvokeObject(const Variant& target, const std::string& name, InvokeKind kind,
                                  const std::vector<ExprPtr>* args, Frame& f, const Variant* value,
                                  bool internal, const MemberExpr* site) {
  const Variant& t = target.Deref();
  if (!t.IsObject()) Throw(kObjectRequired);
  HostObject* o = t.AsObject();
  if (!o) Throw(kObjectNotSet);
  ObjectPtr<HostObject> keep(o);
  // ClassInstance is final: comparing the dynamic type is cheaper than dynamic_cast.
  auto* inst = typeid(*o) == typeid(ClassInstance) ? static_cast<ClassInstance*>(o) : nullptr;
  if (inst && (!inst->Class() || inst->Vm() != this)) inst = nullptr;  // use the interface
  int id;
  if (name.empty()) {
    id = kDefaultMember;
  } else if (inst) {
    if (site && site->cachedClass == inst->Class()) {
      id = site->cachedId;
    } else {
      id = inst->Class()->FindMember(name);
      if (id < 0) ThrowNoMember(site, name);
      if (site) {
        site->cachedClass = inst->Class();
        site->cachedId = id;
      }
    }
  } else {
    id = o->MemberId(name);
    if (id == kUnknownMember) ThrowNoMember(site, name);
  }
  ArgPack pack;
  size_t n = args ? args->size() : 0;
  pack.Reserve(n + (value ? 1 : 0));
  for (size_t i = 0; i < n; ++i) {
    const Expr* a = (*args)[i].get();
    Variant* r = a ? RefOf(a, f, &pack.locks) : nullptr;
    if (r)
      pack.SetRef(i, r);
    else
      pack.SetValue(i, a ? Eval(a, f) : MissingArgument());
  }
  Variant valueCopy;
  if (value) {
    valueCopy = *value;
    if (kind == InvokeKind::Let && valueCopy.IsObject()) valueCopy = ValueOf(valueCopy);
    if (kind == InvokeKind::Set && !valueCopy.IsObject()) Throw(kObjectRequired);
    pack.SetRef(n, &valueCopy);
  }
  if (inst) return InvokeMember(inst, id, kind, pack.Get(), internal);
  return o->Invoke(id, kind, pack.Get());
}

Variant Interpreter::EvalNew(const NewExpr& e, Frame& f) {
  std::string lower = LowerName(e.className);
  // RegExp is the language's own class: a script class of that name cannot replace it.
  if (lower == "regexp") return CreateObject("VBScript.RegExp");
  Module* m = f.proc ? f.proc->module : GlobalModule();
  ClassInfo* cls = m->FindClass(lower);
  if (!cls && m != GlobalModule()) cls = GlobalModule()->FindClass(lower);
  if (!cls) {
    // "New" also makes objects registered by the host under a plain name.
    auto it = progIds_.find(lower);
    if (it != progIds_.end()) return CreateObject(lower);
    if (lower == "regexp") return Variant::Object(MakeRegExp(*this));
    Throw(kClassNotDefined);
  }
  ObjectPtr<ClassInstance> inst(new ClassInstance(this, cls));
  inst->serial = ++nextSerial_;
  instances_.insert(inst.Get());
  inst->fields.resize(cls->fields.size());
  for (size_t i = 0; i < cls->fields.size(); ++i) {
    const FieldDecl* fd = cls->fields[i];
    if (!fd->isArray) continue;
    std::vector<int32_t> counts;
    for (const auto& b : fd->bounds)
      counts.push_back(ToLong(static_cast<const LiteralExpr&>(*b).value) + 1);
    inst->fields[i] = NewArray(counts, !counts.empty());
    if (counts.empty()) inst->fields[i].AsArray()->bounds.clear();
  }
  if (cls->initialize) CallProcedure(cls->initialize, inst.Get(), {});
  return Variant::Object(inst);
}

Variant Interpreter::CallBuiltin(int index, const std::vector<ExprPtr>* args, Frame& f,
                                 bool asStatement) {
  const Builtin& b = Builtins()[index];
  size_t n = args ? args->size() : 0;
  if (static_cast<int>(n) < b.minArgs || (b.maxArgs >= 0 && static_cast<int>(n) > b.maxArgs))
    Throw(kWrongArgCount);
  ArgPack pack;
  pack.Reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const Expr* a = (*args)[i].get();
    if (!a) {
      pack.SetValue(i, MissingArgument());
      continue;
    }
    if (a->kind == ExprKind::Name && static_cast<const NameExpr*>(a)->bind == Bind::Local) {
      pack.SetRef(i, &f.slots[static_cast<const NameExpr*>(a)->slot].Deref());
      continue;
    }
    pack.SetValue(i, Eval(a, f));
  }
  Variant r = b.fn(*this, pack.Get());
  if (b.use != Builtin::Use::Anywhere) {
    if (asStatement && b.use == Builtin::Use::ValueOnly) Throw(kUnsupportedType);
    if (!asStatement && b.use == Builtin::Use::StatementOnly) Throw(kTypeMismatch);
  }
  return r;
}

// ---------------------------------------------------------------------------------------
// Class instances

Variant Interpreter::InvokeMember(ClassInstance* self, int id, InvokeKind kind, Args args,
                                  bool internal) {
  if (!self) Throw(kObjectRequired);
  ClassInfo* cls = self->Class();
  if (!cls || !self->Vm()) Throw(kObjectNotSet);
  if (id == kDefaultMember) {
    id = cls->defaultMember;
    if (id < 0) Throw(kNoSuchMember);
  }
  if (id < 1 || static_cast<size_t>(id) > cls->members.size()) Throw(kNoSuchMember);
  const ClassInfo::MemberInfo& m = cls->members[id - 1];
  if (!m.isPublic && !internal) Throw(kNoSuchMember);
  if (m.field >= 0) {
    Variant& field = self->fields[m.field];
    if (kind == InvokeKind::Get || kind == InvokeKind::Call) {
      if (args.empty()) return field;
      if (field.IsArray()) {
        int32_t idx[64];
        if (args.size() > 64) Throw(kSubscriptOutOfRange);
        for (size_t i = 0; i < args.size(); ++i) idx[i] = ToLong(*args[i]);
        return ArrayElement(*field.AsArray(), idx, args.size());
      }
      if (field.IsObject() && field.AsObject())
        return field.AsObject()->Invoke(kDefaultMember, kind, args);
      Throw(kTypeMismatch);
    }
    bool isSet = kind == InvokeKind::Set;
    Variant v = args.back()->Deref();
    if (args.size() == 1) {
      Store(field, std::move(v), isSet);
      return Variant();
    }
    if (!field.IsArray()) Throw(kTypeMismatch);
    int32_t idx[64];
    if (args.size() > 65) Throw(kSubscriptOutOfRange);
    for (size_t i = 0; i + 1 < args.size(); ++i) idx[i] = ToLong(*args[i]);
    ArrayRep* a = field.MutableArray();
    Store(ArrayElement(*a, idx, args.size() - 1), std::move(v), isSet);
    return Variant();
  }
  Procedure* p = nullptr;
  switch (kind) {
    case InvokeKind::Get:
    case InvokeKind::Call:
      p = m.method ? m.method : m.get;
      if (!p) Throw(kWrongArgCount);
      if (p->ParamCount() == 0 && !args.empty()) {
        Variant r = CallProcedure(p, self, {});
        return detail::IndexResult(r, kind, args);
      }
      break;
    case InvokeKind::Let:
      p = m.let ? m.let : m.set;
      if (!p) {
        // obj.Prop(i) = v on a Property Get that returns an array or object is not
        // assignable in the language either.
        Throw(kWrongArgCount);
      }
      break;
    case InvokeKind::Set:
      p = m.set ? m.set : m.let;
      if (!p) Throw(kWrongArgCount);
      break;
  }
  if (!self->Vm()) Throw(kObjectNotSet);
  return CallProcedure(p, self, args);
}

void Interpreter::Terminate(ClassInstance* self) {
  ClassInfo* cls = self->Class();
  if (!cls->terminate) return;
  try {
    CallProcedure(cls->terminate, self, {});
  } catch (...) {
    // An error in Class_Terminate cannot reach anyone: the reference is already gone.
  }
}

int ClassInstance::MemberId(std::string_view name) {
  if (!cls_) return kUnknownMember;
  if (name.empty()) return cls_->defaultMember >= 0 ? kDefaultMember : kUnknownMember;
  int id = cls_->FindMember(name);
  if (id < 0 || !cls_->members[id - 1].isPublic) return kUnknownMember;
  return id;
}

Variant ClassInstance::Invoke(int id, InvokeKind kind, Args args) {
  if (!vm_) Throw(kObjectNotSet);
  return vm_->InvokeMember(this, id, kind, args, false);
}

std::vector<std::string> ClassInstance::MemberNames() const {
  std::vector<std::string> names;
  if (!cls_) return names;
  for (const auto& m : cls_->members)
    if (m.isPublic) names.push_back(m.name);
  return names;
}

void ClassInstance::LastReleased() {
  if (vm_) {
    vm_->Release(this);
    return;
  }
  delete this;
}

void ClassInstance::FinalRelease() {
  if (vm_ && cls_ && cls_->terminate && !terminated) {
    terminated = true;
    ResetRefs(1);
    vm_->Terminate(this);
    // Class_Terminate may have stored Me somewhere: then the instance lives on.
    if (RefCount() != 1) {
      ResetRefs(RefCount() - 1);
      return;
    }
  }
  delete this;
}

void Interpreter::Release(ClassInstance* self) {
  releaseQueue_.push_back(self);
  if (releasing_) return;
  releasing_ = true;
  while (!releaseQueue_.empty()) {
    ClassInstance* next = releaseQueue_.back();
    releaseQueue_.pop_back();
    next->FinalRelease();
  }
  releasing_ = false;
}

ClassInstance::~ClassInstance() {
  if (vm_) vm_->Forget(this);
}

// ---------------------------------------------------------------------------------------
// Dynamic code

void Interpreter::Execute(std::string_view code, bool global) {
  Frame* caller = current_;
  Module* m = caller && caller->proc ? caller->proc->module : GlobalModule();
  auto prog = std::make_unique<Program>(ParseProgram(code));
  if (caller && caller->proc->scriptName) prog->name = *caller->proc->scriptName;
  bool inScope = !global && caller && !caller->proc->isScriptLevel;
  Procedure* top;
  {
    NamesMayChange bump{epoch_};
    top = inScope ? CompileInScope(std::move(prog), EnvFor(m), ScopeOf(*caller))
                  : CompileProgram(std::move(prog), EnvFor(m));
  }
  RunTopLevel(top, inScope ? caller : nullptr);
}

Variant Interpreter::Eval(std::string_view expression) {
  Frame* caller = current_;
  Module* m = caller && caller->proc ? caller->proc->module : GlobalModule();
  ExprPtr e = ParseExpression(expression);
  bool local = caller && !caller->proc->isScriptLevel;
  DynamicScope scope;
  if (local) scope = ScopeOf(*caller);
  auto proc = CompileEval(e, EnvFor(m), local ? &scope : nullptr);
  Level level(*this);
  FrameGuard g(*this, proc->slotCount);
  Frame f;
  f.slots = g.slots;
  f.proc = proc.get();
  f.me = local ? caller->me : nullptr;
  if (local) ShareScope(*proc, f, *caller);
  Variant r = Eval(e.get(), f);
  // Keep the tree: the result may refer to nothing in it, but a GetRef made inside
  // would.
  evalProcs_.push_back(std::move(proc));
  return r;
}

namespace {
// What GetRef returns: calling its default member calls the procedure.
class ProcRef : public HostObject {
 public:
  ProcRef(Interpreter* vm, Procedure* p) : vm_(vm), proc_(p) {}
  std::string TypeName() const override { return "Object"; }
  int MemberId(std::string_view name) override {
    return name.empty() ? kDefaultMember : kUnknownMember;
  }
  Variant Invoke(int id, InvokeKind kind, Args args) override {
    if (id != kDefaultMember) Throw(kNoSuchMember);
    return vm_->CallProcedure(proc_, nullptr, args);
  }

 private:
  Interpreter* vm_;
  Procedure* proc_;
};
}  // namespace

Variant Interpreter::GetRef(std::string_view name) {
  Frame* caller = current_;
  Module* m = caller && caller->proc ? caller->proc->module : GlobalModule();
  std::string lower = LowerName(name);
  GlobalVar* g = m->FindGlobal(lower);
  if ((!g || !g->proc) && m != GlobalModule()) g = GlobalModule()->FindGlobal(lower);
  if (!g || !g->proc) Throw(kInvalidCall);
  return Variant::Object(MakeObject<ProcRef>(this, g->proc));
}

}  // namespace vbs
