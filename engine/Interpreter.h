// Runs compiled trees. One Interpreter is the whole run-time state of one engine: its
// modules, the host's named objects, the Err object, the value stack and the limits.
// Nothing here is global, so several engines can live in one process (one thread each).
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "engine/Compiler.h"
#include "engine/Errors.h"

namespace vbs {

class ClassInstance;
class FrameGuard;
struct MessageRequest;

// A variable Execute code created in a procedure's call that the procedure itself does
// not mention: a handle and its storage side by side, as in a frame (see Bind::Implicit).
struct DynamicVar {
  std::string name;
  Variant cell[2];
};

struct Frame {
  Variant* slots = nullptr;
  ClassInstance* me = nullptr;
  Procedure* proc = nullptr;
  const Stmt* current = nullptr;  // the statement running, for the position of errors
  bool resumeNext = false;
  // Execute and Eval code in a procedure: the procedure's frame. That frame owns the
  // variables such code creates, so later Execute code in the same call finds them.
  Frame* scopeFrame = nullptr;
  std::unique_ptr<std::deque<DynamicVar>> dynamic;
};

// Values of the Err object.
struct ErrState {
  int32_t number = 0;
  std::string description;
  std::string source;
  std::string helpFile;
  int32_t helpContext = 0;
  void Clear() { *this = ErrState(); }
};

using ObjectFactory = std::function<ObjectPtr<HostObject>()>;
using MessageHook = std::function<Variant(const MessageRequest&)>;

class Interpreter {
 public:
  Interpreter();
  ~Interpreter();
  Interpreter(const Interpreter&) = delete;
  Interpreter& operator=(const Interpreter&) = delete;

  // ---- modules and host objects
  Module* GlobalModule() { return modules_.front().get(); }
  Module* FindModule(std::string_view name);
  Module* AddModule(std::string_view name);  // nullptr when the name exists
  const std::vector<std::unique_ptr<Module>>& Modules() const { return modules_; }
  bool AddNamedObject(std::string_view name, Variant object, bool addMembers);
  void Reset();
  bool IsRunning() const { return running_; }
  // The end of the script: every class instance still alive (held by a variable, a cycle
  // or the host) has its Class_Terminate run once, oldest first. Reset and the engine's
  // end call it.
  void TerminateAll();

 private:
  // Instances outlive the engine's code only as plain objects (no class, no terminator).
  void DetachInstances();

 public:

  // Compiles and runs a program's script-level code in a module. Throws ScriptError.
  void RunCode(Module* module, std::string_view code, std::string_view scriptName, int firstLine);
  Variant EvalCode(Module* module, std::string_view expression);
  // Calls a procedure with host values (by reference into args).
  Variant CallProcedure(Procedure* proc, ClassInstance* me, Args args);

  // ---- services for built-ins and standard objects
  ErrState& Err() { return err_; }
  HostObject* ErrObject();
  void Execute(std::string_view code, bool global);
  Variant Eval(std::string_view expression);
  Variant GetRef(std::string_view name);
  Variant CreateObject(std::string_view progId);
  void RegisterProgId(std::string_view progId, ObjectFactory factory);
  Variant Message(const MessageRequest& request);
  void SetMessageHook(MessageHook hook) { messageHook_ = std::move(hook); }
  bool allowUI = true;
  uint32_t rndSeed = 327680;  // Rnd's 24-bit state, per engine

  // ---- limits
  // Set while a run goes on (a host member), the limit counts from that run's start.
  void SetTimeout(int milliseconds) {
    timeoutMs_ = milliseconds;
    deadline_ = runStart_ + std::chrono::milliseconds(milliseconds);
    if (running_) PublishDeadline();
  }
  int Timeout() const { return timeoutMs_; }
  // When the running script must stop (time_point::max() when it need not), for library calls
  // that can run long inside one step (regular expressions). Objects keep it after this
  // interpreter is gone, so it is shared.
  using SharedDeadline = std::shared_ptr<const std::chrono::steady_clock::time_point>;
  SharedDeadline Deadline() const { return sharedDeadline_; }
  // Stops a run after about this many loop iterations and calls (0: none). For fuzzing.
  void SetStepLimit(uint64_t steps) { stepLimit_ = steps; }
  // Bytes the strings and arrays made by this engine's runs may hold together.
  void SetMemoryLimit(size_t bytes) { budget_->limit = bytes; }
  size_t MemoryLimit() const { return budget_->limit; }
  size_t MemoryUsed() const { return budget_->used; }
  static constexpr size_t kDefaultMemoryLimit = size_t{512} << 20;

  // ---- class instances (used by ClassInstance)
  Variant InvokeMember(ClassInstance* self, int id, InvokeKind kind, Args args, bool internal);
  void Terminate(ClassInstance* self);
  void Forget(ClassInstance* self) { instances_.erase(self); }
  // Runs Class_Terminate and frees the instance. Releases that happen meanwhile (a long
  // linked list going away) are queued, so the native stack does not grow with them.
  void Release(ClassInstance* self);

 private:
  friend class FrameGuard;
  enum class Flow : uint8_t { Normal, ExitDo, ExitFor, ExitProc };

  CompileEnv EnvFor(Module* m);
  Variant RunFrame(Procedure* p, ClassInstance* me, Variant* slots);
  void RunTopLevel(Procedure* top, Frame* enclosing);
  DynamicScope ScopeOf(Frame& enclosing);
  void ShareScope(const Procedure& top, Frame& f, Frame& enclosing);
  Variant CallWithExprs(Procedure* p, ClassInstance* me, const std::vector<ExprPtr>& args,
                        Frame& caller);
  Variant CallBuiltin(int index, const std::vector<ExprPtr>* args, Frame& f,
                      bool asStatement = false);
  Variant InvokeObject(const Variant& target, const std::string& name, InvokeKind kind,
                       const std::vector<ExprPtr>* args, Frame& f, const Variant* value,
                       bool internal, const MemberExpr* site = nullptr);

  Flow ExecBlock(const Block& body, Frame& f);
  Flow Exec(const Stmt& st, Frame& f);
  Flow ExecStmt(const Stmt& st, Frame& f);
  void ExecAssign(const struct AssignStmt& st, Frame& f);
  void ExecCall(const Expr& call, Frame& f);
  Flow ExecFor(const struct ForStmt& st, Frame& f);
  template <NumOp op>
  bool ArithLoop(const AssignStmt& a, Variant& counter, int64_t end, int64_t inc,
                 const Variant& step, Frame& f);
  Flow ExecForEach(const struct ForEachStmt& st, Frame& f);
  Flow ExecUnstartedLoop(const Block& body, Frame& f, int32_t error);
  void ExecReDim(const struct ReDimStmt& st, Frame& f);
  void ExecErase(const Expr& target, Frame& f);
  void ExecDim(const struct DimStmt& st, Frame& f);

  Variant Eval(const Expr* e, Frame& f);
  Variant EvalName(const NameExpr& n, Frame& f);
  Variant EvalIndex(const IndexExpr& e, Frame& f, InvokeKind kind);
  Variant EvalMember(const MemberExpr& e, Frame& f, InvokeKind kind);
  Variant EvalBinary(const struct BinaryExpr& e, Frame& f);
  // Where a plain operand lives now (see Place): None when it needs the general rules.
  // forWrite: a place that may be assigned (no literal, no constant).
  Place Locate(const Expr* e, bool forWrite) const;
  // The variable at a place found; nullptr for an undeclared name whose call has not
  // decided yet what it is (or decided on a constant or procedure of the script).
  static Variant* At(const Place& p, Frame& f) {
    if (p.kind == Place::Kind::Fixed) return p.fixed;
    Variant* v = &f.slots[p.slot];
    if (p.kind == Place::Kind::Slot) return v;
    if (p.kind == Place::Kind::SlotRef) return &v->Deref();
    if (p.kind == Place::Kind::HandleRef) v = v->RefTarget();
    return v->IsRef() ? v->RefTarget() : nullptr;
  }
  static bool Found(const Place& p) { return p.kind != Place::Kind::None; }
  // A place found that is no undeclared name: At without the undecided case.
  static bool Direct(const Place& p) {
    return p.kind == Place::Kind::Fixed || p.kind == Place::Kind::Slot ||
           p.kind == Place::Kind::SlotRef;
  }
  static Variant* AtDirect(const Place& p, Frame& f) {
    if (p.kind == Place::Kind::Fixed) return p.fixed;
    Variant* v = &f.slots[p.slot];
    return p.kind == Place::Kind::SlotRef ? &v->Deref() : v;
  }
  // x = a op b on plain operands, computed in place; false when it needs the general path.
  bool ExecArith(const struct AssignStmt& a, Frame& f);
  void LocateArith(const struct AssignStmt& a) const;
  Variant EvalCompare(const struct CompareExpr& c, Frame& f);
  // A call of a script procedure from a call site: its arguments bound as planned for
  // that procedure (planned again when the procedure or the names changed).
  Variant CallPlanned(Procedure* p, const IndexExpr& e, Frame& caller);
  void PlanCall(CallSite& site, Procedure* p, const std::vector<ExprPtr>& args) const;
  // Binds an argument the general way (any expression; ByRef to a variable or element).
  void BindArg(Variant& param, bool byRef, const Expr* a, Frame& caller, FrameGuard& frame);
  Variant EvalNew(const NewExpr& e, Frame& f);
  Variant ObjectOf(const Expr* objectExpr, int withSlot, Frame& f);
  Variant IndexValue(const Variant& container, const std::vector<ExprPtr>& args, Frame& f);

  // Storage of a variable, or nullptr when the expression is not one (for ByRef).
  Variant* RefOf(const Expr* e, Frame& f, std::vector<ArrayRep*>* locks);
  Variant& VariableOf(const NameExpr& n, Frame& f, bool forWrite);
  // The handle of an undeclared name of a procedure in this call.
  static Variant* Handle(const NameExpr& n, Frame& f) {
    Variant* h = &f.slots[n.slot];
    return n.viaRef ? h->RefTarget() : h;
  }
  // The variable an undeclared name stands for in this call, decided at its first use.
  // Null when it stands for a script-level procedure or constant, or (create false)
  // for nothing yet.
  Variant* ImplicitVar(const NameExpr& n, Frame& f, bool create);
  void Store(Variant& dst, Variant v, bool isSet);
  void StoreTo(const Expr& target, Variant&& v, bool isSet, Frame& f);
  // a(i)(j) = v where a holds an array: the element of the inner array, changed in place.
  // False (nothing done) when a is no variable holding an array.
  bool StoreNested(const IndexExpr& ix, Variant& v, bool isSet, Frame& f);
  void Tick() {
    if (--ticks_ == 0) CheckLimits();
  }
  void CheckLimits();
  void SetErrFrom(const ScriptError& e);
  // An error in the header of a block (a condition, bounds, a collection, a With object,
  // a Case value): under On Error Resume Next, Err is set and true returned, and the
  // caller goes on into the block as the language does; false when it must propagate.
  bool ResumeInto(ScriptError& e, const Stmt& header, Frame& f);
  // Runs a procedure body; errors leaving it get the position of the failing statement.
  void ExecBody(const Block& body, Frame& f);

  std::vector<std::unique_ptr<Module>> modules_;
  std::vector<std::unique_ptr<NamedObject>> named_;
  std::vector<std::unique_ptr<Procedure>> evalProcs_;
  ErrState err_;
  ObjectPtr<HostObject> errObject_;
  std::unordered_map<std::string, ObjectFactory> progIds_;
  MessageHook messageHook_;
  std::unordered_set<ClassInstance*> instances_;
  uint64_t nextSerial_ = 0;  // creation order of instances
  std::vector<ClassInstance*> releaseQueue_;
  bool releasing_ = false;

  void NextStackBlock(size_t count);
  std::vector<std::unique_ptr<Variant[]>> stackStorage_;
  std::vector<std::pair<Variant*, Variant*>> stackBlocks_;  // begin, end of each block
  size_t stackBlock_ = 0;
  Variant* stackTop_ = nullptr;
  Variant* stackEnd_ = nullptr;
  Frame* current_ = nullptr;
  int depth_ = 0;
  // One more level of calls or dynamic code (Execute, Eval, a host running code again):
  // error 28 once the call depth or the native stack is used up. Every way into the
  // interpreter goes through one, so no kind of re-entry can exhaust the thread's stack.
  class Level {
   public:
    explicit Level(Interpreter& vm) : depth_(vm.depth_) {
      char probe;
      if (++depth_ > kMaxCallDepth || &probe < vm.nativeStackLimit_) {
        --depth_;
        Throw(kOutOfStack);
      }
    }
    ~Level() { --depth_; }
    Level(const Level&) = delete;
    Level& operator=(const Level&) = delete;

   private:
    int& depth_;
  };
  static constexpr int kMaxCallDepth = 3000;
  // Marks the outermost entry into the engine: time-out, step budget and native stack use are
  // counted from there, and the engine is idle again when it ends.
  class RunScope {
   public:
    explicit RunScope(Interpreter& vm);
    ~RunScope();
    RunScope(const RunScope&) = delete;
    RunScope& operator=(const RunScope&) = delete;

   private:
    Interpreter& vm_;
    bool outer_;
    MemoryBudget* savedBudget_;
  };
  MemoryBudget* budget_ = new MemoryBudget(kDefaultMemoryLimit);

  // The native stack may not grow below this address (set by the outermost RunScope).
  const char* nativeStackLimit_ = nullptr;

  int timeoutMs_ = -1;
  std::chrono::steady_clock::time_point deadline_;
  std::chrono::steady_clock::time_point runStart_;
  std::shared_ptr<std::chrono::steady_clock::time_point> sharedDeadline_ =
      std::make_shared<std::chrono::steady_clock::time_point>(
          std::chrono::steady_clock::time_point::max());
  void PublishDeadline() {
    *sharedDeadline_ =
        timeoutMs_ > 0 ? deadline_ : std::chrono::steady_clock::time_point::max();
  }
  bool running_ = false;
  // Bumped whenever what a name is may have changed (code compiled, a script-level
  // variable defined): places and call plans found before are found again.
  uint64_t epoch_ = 1;
  uint32_t ticks_ = 1;
  uint64_t stepLimit_ = 0;
  uint64_t steps_ = 0;
};

// An instance of a script class. Class_Terminate runs when its last reference goes.
class ClassInstance final : public HostObject {
 public:
  ClassInstance(Interpreter* vm, ClassInfo* cls) : vm_(vm), cls_(cls) {}
  std::string TypeName() const override { return cls_ ? cls_->name : typeName_; }
  int MemberId(std::string_view name) override;
  Variant Invoke(int id, InvokeKind kind, Args args) override;
  std::vector<std::string> MemberNames() const override;

  ClassInfo* Class() const { return cls_; }
  Interpreter* Vm() const { return vm_; }
  // The engine is going away (Reset or destruction): the class description with it.
  void Detach() {
    vm_ = nullptr;
    typeName_ = cls_->name;
    cls_ = nullptr;
  }
  void FinalRelease();
  std::vector<Variant> fields;
  uint64_t serial = 0;       // creation order in its engine
  bool terminated = false;   // Class_Terminate has run (it runs once)

 protected:
  void LastReleased() override;

 private:
  ~ClassInstance() override;
  Interpreter* vm_;
  ClassInfo* cls_;
  std::string typeName_;
};

}  // namespace vbs
