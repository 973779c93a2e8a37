#include "engine/Compiler.h"

#include <cctype>

#include "engine/Builtins.h"
#include "engine/Errors.h"

namespace vbs {

GlobalVar* Module::Global(const std::string& lowerName) {
  auto& slot = globals[lowerName];
  if (!slot) {
    slot = std::make_unique<GlobalVar>();
    slot->name = lowerName;
  }
  return slot.get();
}

GlobalVar* Module::FindGlobal(const std::string& lowerName) const {
  auto it = globals.find(lowerName);
  return it == globals.end() ? nullptr : it->second.get();
}

ClassInfo* Module::FindClass(const std::string& lowerName) const {
  auto it = classes.find(lowerName);
  return it == classes.end() ? nullptr : it->second.get();
}

int ClassInfo::FindMember(std::string_view name) const {
  auto it = memberIds.find(LowerName(name));
  return it == memberIds.end() ? -1 : it->second;
}

namespace {

[[noreturn]] void FailAt(int number, int line, int column) {
  ScriptError e(number);
  e.line = line;
  e.column = column;
  throw e;
}

class Compiler {
 public:
  Compiler(const CompileEnv& env, Program& prog) : env_(env), mod_(env.module), prog_(prog) {}

  Procedure* CompileTopLevel(const DynamicScope* enclosing) {
    DeclareClasses();
    DeclareProcedures();
    // Script-level code runs as a procedure of its own; its locals are only the hidden
    // slots of With and the like, unless it is Execute code inside a procedure.
    auto top = std::make_unique<Procedure>();
    top->name = "<script>";
    top->module = mod_;
    top->body = &prog_.body;
    top->isScriptLevel = true;
    top->optionExplicit = prog_.optionExplicit;
    top->scriptName = &prog_.name;
    Scope s;
    s.proc = top.get();
    if (enclosing) {
      EnterEnclosing(s, *enclosing);
      top->optionExplicit = enclosing->proc->optionExplicit || prog_.optionExplicit;
    } else {
      AddSlot(s, "", SlotKind::Plain);
      s.scriptLevel = true;
    }
    Scope* saved = scope_;
    scope_ = &s;
    if (s.scriptLevel)
      DeclareScriptLevel(prog_.body);
    else
      HoistLocals(prog_.body);
    scope_ = saved;
    // Bodies after all declarations, so a procedure can call one defined after it.
    for (auto& [cls, decl] : pendingClasses_) CompileClassBodies(cls, decl);
    for (auto& [proc, decl] : pendingProcs_) CompileProcedure(proc, decl, nullptr);
    scope_ = &s;
    CompileBlock(prog_.body);
    scope_ = saved;
    Procedure* result = top.get();
    mod_->ownedProcs.push_back(std::move(top));
    return result;
  }

  std::unique_ptr<Procedure> CompileEvalExpr(ExprPtr& expr, const DynamicScope* enclosing) {
    auto top = std::make_unique<Procedure>();
    top->module = mod_;
    top->name = "<eval>";
    top->isScriptLevel = true;
    Scope s;
    s.proc = top.get();
    if (enclosing) {
      EnterEnclosing(s, *enclosing);
    } else {
      AddSlot(s, "", SlotKind::Plain);
      s.scriptLevel = true;
    }
    scope_ = &s;
    CompileExpr(expr);
    return top;
  }

 private:
  struct Scope {
    Procedure* proc = nullptr;
    ClassInfo* cls = nullptr;
    std::unordered_map<std::string, int> locals;
    // Undeclared names: their handle slot, and whether that slot holds a Ref to it.
    struct ImplicitSlot {
      int slot;
      bool viaRef;
    };
    std::unordered_map<std::string, ImplicitSlot> implicits;
    std::unordered_map<std::string, Variant> consts;
    std::string returnName;  // lower-case name of the function whose result is slot 0
    std::vector<int> withSlots;
    int forDepth = 0;
    int doDepth = 0;
    bool scriptLevel = false;
    bool dynamic = false;  // Execute or Eval code in a procedure
  };

  // Execute or Eval code inside a procedure: the enclosing frame's slots come first
  // (Interpreter::ShareScope fills them), then the variables earlier Execute code made.
  void EnterEnclosing(Scope& s, const DynamicScope& scope) {
    Procedure* enc = scope.proc;
    Procedure* top = s.proc;
    s.cls = enc->owner;
    s.dynamic = true;
    top->owner = enc->owner;
    top->isScriptLevel = false;
    top->kind = enc->kind;
    top->name = enc->name;
    top->optionExplicit = enc->optionExplicit;
    s.returnName = enc->HasReturnValue() ? LowerName(enc->name) : "";
    for (int i = 0; i < enc->slotCount; ++i) {
      const std::string& n = enc->slotNames[i];
      SlotKind k = enc->slotKinds[i];
      if (k == SlotKind::Handle) k = SlotKind::HandleRef;
      AddSlot(s, n, k);
      if (n.empty() || i == 0) continue;
      if (k == SlotKind::HandleRef)
        s.implicits[n] = {i, true};
      else if (k == SlotKind::Plain)
        s.locals[n] = i;
    }
    for (const std::string& n : scope.dynamicNames)
      if (!s.locals.count(n) && !s.implicits.count(n)) DynamicSlot(s, n);
  }

  int AddSlot(Scope& s, const std::string& lowerName, SlotKind kind) {
    int slot = static_cast<int>(s.proc->slotNames.size());
    s.proc->slotNames.push_back(lowerName);
    s.proc->slotKinds.push_back(kind);
    s.proc->slotCount = slot + 1;
    return slot;
  }

  // A variable of the enclosing call that Execute code creates or finds by name.
  int DynamicSlot(Scope& s, const std::string& lower) {
    int slot = AddSlot(s, lower, SlotKind::HandleRef);
    s.proc->dynamicSlots.push_back({slot, lower});
    s.implicits[lower] = {slot, true};
    return slot;
  }

  // ---- declarations

  void DeclareClasses() {
    for (auto& declPtr : prog_.classes) {
      ClassDecl& decl = *declPtr;
      std::string lower = LowerName(decl.name);
      if (declaredHere_.count(lower)) FailAt(kNameRedefined, decl.line, decl.column);
      declaredHere_.insert({lower, true});
      auto cls = std::make_unique<ClassInfo>();
      cls->name = decl.name;
      cls->module = mod_;
      cls->decl = &decl;
      auto addMember = [&](const std::string& name) -> ClassInfo::MemberInfo& {
        std::string key = LowerName(name);
        auto it = cls->memberIds.find(key);
        if (it != cls->memberIds.end()) return cls->members[it->second - 1];
        cls->members.push_back({});
        cls->members.back().name = name;
        cls->memberIds[key] = static_cast<int>(cls->members.size());
        return cls->members.back();
      };
      for (auto& f : decl.fields) {
        if (cls->memberIds.count(LowerName(f.name))) FailAt(kNameRedefined, f.line, 1);
        auto& m = addMember(f.name);
        m.field = static_cast<int>(cls->fields.size());
        m.isPublic = f.isPublic;
        cls->fields.push_back(&f);
      }
      for (auto& pd : decl.procs) {
        auto proc = MakeProcedure(*pd);
        proc->owner = cls.get();
        std::string key = LowerName(pd->name);
        bool exists = cls->memberIds.count(key) > 0;
        auto& m = addMember(pd->name);
        Procedure** target = nullptr;
        switch (pd->kind) {
          case ProcKind::Sub:
          case ProcKind::Function:
            target = &m.method;
            break;
          case ProcKind::PropertyGet:
            target = &m.get;
            break;
          case ProcKind::PropertyLet:
            target = &m.let;
            break;
          case ProcKind::PropertySet:
            target = &m.set;
            break;
        }
        if (*target || m.field >= 0 || (exists && m.method) ||
            (pd->kind <= ProcKind::Function && exists))
          FailAt(kNameRedefined, pd->line, pd->column);
        *target = proc.get();
        m.isPublic = pd->isPublic;
        if (pd->isDefault) {
          if (cls->defaultMember >= 0 && cls->defaultMember != cls->memberIds[key])
            FailAt(kMultipleDefault, pd->line, pd->column);
          cls->defaultMember = cls->memberIds[key];
        }
        if (key == "class_initialize" || key == "class_terminate") {
          if (!pd->params.empty()) FailAt(kInitTermArgs, pd->line, pd->column);
          (key == "class_initialize" ? cls->initialize : cls->terminate) = proc.get();
        }
        cls->procs.push_back(std::move(proc));
      }
      pendingClasses_.push_back({cls.get(), &decl});
      mod_->classes[lower] = std::move(cls);
    }
  }

  std::unique_ptr<Procedure> MakeProcedure(const ProcDecl& pd) {
    auto proc = std::make_unique<Procedure>();
    proc->name = pd.name;
    proc->kind = pd.kind;
    proc->decl = &pd;
    proc->body = &pd.body;
    proc->module = mod_;
    proc->isPublic = pd.isPublic;
    proc->line = pd.line;
    proc->optionExplicit = prog_.optionExplicit;
    proc->scriptName = &prog_.name;
    for (auto& p : pd.params) proc->byRef.push_back(!p.byVal);
    return proc;
  }

  void DeclareProcedures() {
    std::unordered_map<std::string, size_t> mine;  // procedures of this program, by name
    for (auto& pd : prog_.procs) {
      std::string lower = LowerName(pd->name);
      auto again = mine.find(lower);
      if (declaredHere_.count(lower) && again == mine.end())
        FailAt(kNameRedefined, pd->line, pd->column);
      declaredHere_.insert({lower, true});
      auto proc = MakeProcedure(*pd);
      GlobalVar* g = mod_->Global(lower);
      g->proc = proc.get();
      g->name = pd->name;
      if (again != mine.end()) {
        mod_->procedures[again->second] = proc.get();  // defined twice: the last one wins
      } else {
        mine[lower] = mod_->procedures.size();
        mod_->procedures.push_back(proc.get());
      }
      pendingProcs_.push_back({proc.get(), pd.get()});
      mod_->ownedProcs.push_back(std::move(proc));
    }
  }

  // Script-level Dim and Const declare globals for the whole program, wherever they are,
  // before any procedure body is compiled: procedures see them by their declaration.
  void DeclareScriptLevel(Block& body) {
    for (auto& st : body) {
      switch (st->kind) {
        case StmtKind::Const:
          DeclareConst(static_cast<ConstStmt&>(*st));
          break;
        case StmtKind::Dim:
          for (auto& v : static_cast<DimStmt&>(*st).vars) {
            std::string lower = LowerName(v.name->name);
            if (declaredHere_.count(lower)) FailAt(kNameRedefined, st->line, st->column);
            declaredHere_.insert({lower, true});
            GlobalVar* g = mod_->Global(lower);
            g->defined = true;
            g->name = v.name->name;
          }
          break;
        case StmtKind::If:
          for (auto& arm : static_cast<IfStmt&>(*st).arms) DeclareScriptLevel(arm.body);
          DeclareScriptLevel(static_cast<IfStmt&>(*st).elseBody);
          break;
        case StmtKind::For:
          DeclareScriptLevel(static_cast<ForStmt&>(*st).body);
          break;
        case StmtKind::ForEach:
          DeclareScriptLevel(static_cast<ForEachStmt&>(*st).body);
          break;
        case StmtKind::Do:
          DeclareScriptLevel(static_cast<DoStmt&>(*st).body);
          break;
        case StmtKind::With:
          DeclareScriptLevel(static_cast<WithStmt&>(*st).body);
          break;
        case StmtKind::Select: {
          auto& sel = static_cast<SelectStmt&>(*st);
          for (auto& c : sel.cases) DeclareScriptLevel(c.body);
          DeclareScriptLevel(sel.elseBody);
          break;
        }
        default:
          break;
      }
    }
  }

  // A declared local (or a hidden slot when the name is empty).
  int NewSlot(const std::string& lowerName) {
    int slot = AddSlot(*scope_, lowerName, SlotKind::Plain);
    if (!lowerName.empty()) scope_->locals[lowerName] = slot;
    return slot;
  }

  // A name declared with Dim or ReDim in this code. In Execute code inside a procedure
  // it belongs to the procedure's call, not to this code's own frame.
  void DeclareLocal(const std::string& lower) {
    if (!scope_->dynamic) {
      NewSlot(lower);
      return;
    }
    auto it = scope_->implicits.find(lower);
    int slot = it != scope_->implicits.end() ? it->second.slot : DynamicSlot(*scope_, lower);
    scope_->proc->declaredSlots.push_back(slot);
  }

  void HoistLocals(Block& body) {
    for (auto& st : body) {
      switch (st->kind) {
        case StmtKind::Dim:
          for (auto& v : static_cast<DimStmt&>(*st).vars) {
            std::string lower = LowerName(v.name->name);
            if (scope_->locals.count(lower) || lower == scope_->returnName) {
              if (scope_->proc->decl) FailAt(kNameRedefined, st->line, st->column);
              continue;
            }
            DeclareLocal(lower);
          }
          break;
        case StmtKind::If:
          for (auto& arm : static_cast<IfStmt&>(*st).arms) HoistLocals(arm.body);
          HoistLocals(static_cast<IfStmt&>(*st).elseBody);
          break;
        case StmtKind::For:
          HoistLocals(static_cast<ForStmt&>(*st).body);
          break;
        case StmtKind::ForEach:
          HoistLocals(static_cast<ForEachStmt&>(*st).body);
          break;
        case StmtKind::Do:
          HoistLocals(static_cast<DoStmt&>(*st).body);
          break;
        case StmtKind::With:
          HoistLocals(static_cast<WithStmt&>(*st).body);
          break;
        case StmtKind::Select: {
          auto& sel = static_cast<SelectStmt&>(*st);
          for (auto& c : sel.cases) HoistLocals(c.body);
          HoistLocals(sel.elseBody);
          break;
        }
        default:
          break;
      }
    }
  }

  void CompileClassBodies(ClassInfo* cls, ClassDecl* decl) {
    for (auto* f : cls->fields) {
      for (auto& b : const_cast<FieldDecl*>(f)->bounds) {
        Scope s;
        s.scriptLevel = true;
        Procedure dummy;
        s.proc = &dummy;
        scope_ = &s;
        CompileExpr(b);
        if (b->kind != ExprKind::Literal) FailAt(kExpectedInteger, b->line, b->column);
      }
    }
    for (auto& proc : cls->procs)
      CompileProcedure(proc.get(), const_cast<ProcDecl*>(proc->decl), cls);
  }

  void CompileProcedure(Procedure* proc, ProcDecl* decl, ClassInfo* cls) {
    Scope s;
    s.proc = proc;
    s.cls = cls;
    if (proc->HasReturnValue()) s.returnName = LowerName(proc->name);
    proc->slotNames.clear();
    proc->slotKinds.clear();
    AddSlot(s, "", SlotKind::Plain);
    Scope* saved = scope_;
    scope_ = &s;
    for (auto& p : decl->params) {
      std::string lower = LowerName(p.name);
      if (s.locals.count(lower)) FailAt(kNameRedefined, decl->line, decl->column);
      NewSlot(lower);
    }
    HoistLocals(decl->body);
    CompileBlock(decl->body);
    scope_ = saved;
  }

  // ---- names

  void Resolve(NameExpr& n, bool hasArgs) {
    std::string lower = LowerName(n.name);
    Scope& s = *scope_;
    if (!hasArgs && !s.returnName.empty() && lower == s.returnName) {
      n.bind = Bind::ReturnValue;
      n.slot = 0;
      n.mayBeRef = s.dynamic;
      return;
    }
    if (auto it = s.locals.find(lower); it != s.locals.end()) {
      n.bind = Bind::Local;
      n.slot = it->second;
      // Only ByRef parameters hold a Ref in a procedure's own frame; in Execute or Eval
      // code every slot of the enclosing frame is one.
      const Procedure& p = *s.proc;
      n.mayBeRef = s.dynamic || (n.slot >= 1 && static_cast<size_t>(n.slot) <= p.ParamCount() &&
                                 p.byRef[n.slot - 1]);
      return;
    }
    if (auto it = s.implicits.find(lower); it != s.implicits.end()) {
      BindImplicit(n, lower, it->second.slot, it->second.viaRef);
      return;
    }
    if (s.cls) {
      int id = s.cls->FindMember(lower);
      if (id > 0) {
        const auto& m = s.cls->members[id - 1];
        if (m.field >= 0) {
          n.bind = Bind::Field;
          n.slot = m.field;
        } else {
          n.bind = Bind::ClassMember;
          n.slot = id;
        }
        return;
      }
    }
    GlobalVar* g = mod_->FindGlobal(lower);
    if ((!g || (!g->defined && !g->proc)) && env_.globalModule && env_.globalModule != mod_) {
      GlobalVar* gg = env_.globalModule->FindGlobal(lower);
      if (gg && (gg->defined || gg->proc)) g = gg;
    }
    if (g && (g->defined || g->proc)) {
      n.bind = Bind::Global;
      n.global = g;
      return;
    }
    if (env_.namedObjects) {
      for (auto& no : *env_.namedObjects) {
        if (NameEquals(no->name, lower)) {
          n.bind = Bind::NamedObject;
          n.object = no.get();
          return;
        }
      }
      for (auto& no : *env_.namedObjects) {
        if (!no->addMembers || !no->object.IsObject() || !no->object.AsObject()) continue;
        int id = no->object.AsObject()->MemberId(lower);
        if (id != kUnknownMember) {
          n.bind = Bind::HostMember;
          n.object = no.get();
          n.memberId = id;
          return;
        }
      }
    }
    int b = FindBuiltin(lower);
    if (b >= 0) {
      n.bind = Bind::Builtin;
      n.index = b;
      return;
    }
    if (s.scriptLevel) {
      g = mod_->Global(lower);
      if (g->name == lower) g->name = n.name;
      n.global = g;
      n.bind = Bind::Global;
      return;
    }
    // Undeclared inside a procedure: the script-level variable if one exists when the
    // call first uses the name, otherwise a variable of this call. Every mention shares
    // one handle.
    if (s.dynamic) {
      BindImplicit(n, lower, DynamicSlot(s, lower), true);
      return;
    }
    int handle = AddSlot(s, lower, SlotKind::Handle);
    AddSlot(s, "", SlotKind::Storage);
    s.implicits[lower] = {handle, false};
    BindImplicit(n, lower, handle, false);
  }

  void BindImplicit(NameExpr& n, const std::string& lower, int slot, bool viaRef) {
    GlobalVar* g = mod_->Global(lower);
    if (g->name == lower) g->name = n.name;
    n.bind = Bind::Implicit;
    n.global = g;
    n.slot = slot;
    n.viaRef = viaRef;
  }

  bool ConstValue(const std::string& lower, Variant& out) {
    if (auto it = scope_->consts.find(lower); it != scope_->consts.end()) {
      out = it->second;
      return true;
    }
    if (scope_->locals.count(lower) || scope_->implicits.count(lower)) return false;
    if (scope_->cls && scope_->cls->FindMember(lower) > 0) return false;
    GlobalVar* g = mod_->FindGlobal(lower);
    if (!g && env_.globalModule) g = env_.globalModule->FindGlobal(lower);
    if (g && g->isConst) {
      out = g->value;
      return true;
    }
    if (g && (g->defined || g->proc)) return false;
    return FindConstant(lower, out);
  }

  // ---- expressions

  static bool IsLiteral(const ExprPtr& e) { return e && e->kind == ExprKind::Literal; }

  void ReplaceWithLiteral(ExprPtr& e, Variant v) {
    auto lit = std::make_unique<LiteralExpr>();
    lit->line = e->line;
    lit->column = e->column;
    lit->value = std::move(v);
    e = std::move(lit);
  }

  void CompileExpr(ExprPtr& e) {
    if (!e) return;
    if (++depth_ > 400) FailAt(kTooDeep, e->line, e->column);
    CompileExprInner(e);
    --depth_;
  }

  void CompileExprInner(ExprPtr& e) {
    switch (e->kind) {
      case ExprKind::Literal:
      case ExprKind::Me:
        if (e->kind == ExprKind::Me && !scope_->cls) FailAt(kInvalidMe, e->line, e->column);
        return;
      case ExprKind::New:
        return;
      case ExprKind::Name: {
        auto& n = static_cast<NameExpr&>(*e);
        Variant c;
        if (ConstValue(LowerName(n.name), c)) {
          ReplaceWithLiteral(e, std::move(c));
          return;
        }
        Resolve(n, false);
        return;
      }
      case ExprKind::Member: {
        auto& m = static_cast<MemberExpr&>(*e);
        if (m.object) {
          CompileExpr(m.object);
        } else {
          // Outside any With: error 505 when it runs, which On Error can catch.
          m.withSlot = scope_->withSlots.empty() ? -1 : scope_->withSlots.back();
        }
        return;
      }
      case ExprKind::Index: {
        auto& ix = static_cast<IndexExpr&>(*e);
        if (ix.target->kind == ExprKind::Name) {
          Resolve(static_cast<NameExpr&>(*ix.target), true);
        } else {
          CompileExpr(ix.target);
        }
        for (auto& a : ix.args) CompileExpr(a);
        return;
      }
      case ExprKind::Paren: {
        auto& p = static_cast<ParenExpr&>(*e);
        CompileExpr(p.inner);
        if (IsLiteral(p.inner)) e = std::move(p.inner);
        return;
      }
      case ExprKind::Unary: {
        auto& u = static_cast<UnaryExpr&>(*e);
        CompileExpr(u.operand);
        if (IsLiteral(u.operand)) {
          const Variant& v = static_cast<LiteralExpr&>(*u.operand).value;
          try {
            Variant r = u.op == UnaryOp::Neg ? Negate(v) : Not(v);
            ReplaceWithLiteral(e, std::move(r));
          } catch (const ScriptError&) {
            // Left for run time, where the error belongs to the statement.
          }
        }
        return;
      }
      case ExprKind::Binary: {
        auto& b = static_cast<BinaryExpr&>(*e);
        CompileExpr(b.left);
        CompileExpr(b.right);
        return;
      }
      case ExprKind::Compare: {
        auto& c = static_cast<CompareExpr&>(*e);
        CompileExpr(c.left);
        CompileExpr(c.right);
        c.leftLiteral = IsLiteral(c.left);
        c.rightLiteral = IsLiteral(c.right);
        return;
      }
      case ExprKind::Is: {
        auto& is = static_cast<IsExpr&>(*e);
        CompileExpr(is.left);
        CompileExpr(is.right);
        return;
      }
    }
  }

  // A name being assigned. A constant cannot be: error 501 when the statement runs (a
  // script that never runs it is fine), through the script-level entry for a constant of
  // the script, and left unbound for any other (the interpreter refuses to store there).
  void CompileTarget(ExprPtr& e) {
    if (e->kind == ExprKind::Name) {
      auto& n = static_cast<NameExpr&>(*e);
      std::string lower = LowerName(n.name);
      Variant c;
      if (ConstValue(lower, c)) {
        if (!scope_->consts.count(lower)) {
          GlobalVar* g = mod_->FindGlobal(lower);
          if ((!g || !g->isConst) && env_.globalModule) g = env_.globalModule->FindGlobal(lower);
          if (g && g->isConst) {
            n.bind = Bind::Global;
            n.global = g;
          }
        }
        return;
      }
      Resolve(n, false);
      return;
    }
    CompileExpr(e);
  }

  // ---- statements

  void CompileBlock(Block& body) {
    for (auto& st : body) CompileStmt(*st);
  }

  static bool SameVariable(const Expr& a, const Expr& b) {
    if (a.kind != ExprKind::Name || b.kind != ExprKind::Name) return false;
    auto& x = static_cast<const NameExpr&>(a);
    auto& y = static_cast<const NameExpr&>(b);
    if (x.bind != y.bind) return false;
    switch (x.bind) {
      case Bind::Local:
      case Bind::Field:
      case Bind::ReturnValue:
        return x.slot == y.slot;
      case Bind::Global:
        return x.global == y.global;
      default:
        return false;
    }
  }

  void CompileStmt(Stmt& st) {
    switch (st.kind) {
      case StmtKind::Assign: {
        auto& a = static_cast<AssignStmt&>(st);
        CompileExpr(a.value);
        CompileTarget(a.target);
        if (a.isSet) return;
        if (a.value->kind == ExprKind::Binary) {
          auto& b = static_cast<BinaryExpr&>(*a.value);
          if (b.op == BinaryOp::Concat && SameVariable(*b.left, *a.target)) {
            a.form = AssignStmt::Form::Append;
            return;
          }
          auto plain = [](const Expr& x) {
            if (x.kind == ExprKind::Literal) return true;
            if (x.kind != ExprKind::Name) return false;
            Bind k = static_cast<const NameExpr&>(x).bind;
            return k == Bind::Local || k == Bind::Global || k == Bind::ReturnValue ||
                   k == Bind::Implicit;
          };
          bool arith = b.op == BinaryOp::Add || b.op == BinaryOp::Sub || b.op == BinaryOp::Mul;
          if (arith && plain(*b.left) && plain(*b.right) && a.target->kind == ExprKind::Name &&
              plain(*a.target)) {
            a.form = AssignStmt::Form::Arith;
            a.arithOp = b.op == BinaryOp::Add   ? NumOp::Add
                        : b.op == BinaryOp::Sub ? NumOp::Sub
                                                : NumOp::Mul;
          }
          return;
        }
        if (a.value->kind == ExprKind::Index) {
          auto& ix = static_cast<IndexExpr&>(*a.value);
          if (ix.target->kind == ExprKind::Name &&
              static_cast<NameExpr&>(*ix.target).bind == Bind::Global)
            a.form = AssignStmt::Form::Call;
        }
        return;
      }
      case StmtKind::Call: {
        auto& c = static_cast<CallStmt&>(st);
        if (c.call->kind == ExprKind::Name) {
          auto& n = static_cast<NameExpr&>(*c.call);
          Resolve(n, true);
        } else {
          CompileExpr(c.call);
        }
        return;
      }
      case StmtKind::Dim: {
        auto& d = static_cast<DimStmt&>(st);
        for (auto& v : d.vars) {
          for (auto& b : v.bounds) {
            CompileExpr(b);
            if (!IsLiteral(b)) FailAt(kExpectedInteger, b->line, b->column);
          }
          Resolve(*v.name, false);
        }
        return;
      }
      case StmtKind::ReDim: {
        auto& d = static_cast<ReDimStmt&>(st);
        for (auto& v : d.vars) {
          for (auto& b : v.bounds) CompileExpr(b);
          std::string lower = LowerName(v.name->name);
          if (scope_->scriptLevel) {
            GlobalVar* g = mod_->Global(lower);
            g->defined = true;
          } else if (!scope_->locals.count(lower) && !scope_->implicits.count(lower) &&
                     (!scope_->cls || scope_->cls->FindMember(lower) < 0)) {
            GlobalVar* g = mod_->FindGlobal(lower);
            if (!g || !g->defined) DeclareLocal(lower);
          }
          Resolve(*v.name, false);
        }
        return;
      }
      case StmtKind::Erase: {
        for (auto& t : static_cast<EraseStmt&>(st).targets) CompileTarget(t);
        return;
      }
      case StmtKind::If: {
        auto& s = static_cast<IfStmt&>(st);
        for (auto& arm : s.arms) {
          CompileExpr(arm.cond);
          CompileBlock(arm.body);
        }
        CompileBlock(s.elseBody);
        return;
      }
      case StmtKind::Select: {
        auto& s = static_cast<SelectStmt&>(st);
        CompileExpr(s.subject);
        s.subjectLiteral = IsLiteral(s.subject);
        for (auto& c : s.cases) {
          for (auto& v : c.values) {
            CompileExpr(v);
            c.literal.push_back(IsLiteral(v));
          }
          CompileBlock(c.body);
        }
        CompileBlock(s.elseBody);
        return;
      }
      case StmtKind::For: {
        auto& f = static_cast<ForStmt&>(st);
        CompileTarget(f.var);
        CompileExpr(f.from);
        CompileExpr(f.to);
        CompileExpr(f.step);
        ++scope_->forDepth;
        CompileBlock(f.body);
        --scope_->forDepth;
        return;
      }
      case StmtKind::ForEach: {
        auto& f = static_cast<ForEachStmt&>(st);
        CompileTarget(f.var);
        CompileExpr(f.collection);
        ++scope_->forDepth;
        CompileBlock(f.body);
        --scope_->forDepth;
        return;
      }
      case StmtKind::Do: {
        auto& d = static_cast<DoStmt&>(st);
        CompileExpr(d.test);
        ++scope_->doDepth;
        CompileBlock(d.body);
        --scope_->doDepth;
        return;
      }
      case StmtKind::With: {
        auto& w = static_cast<WithStmt&>(st);
        CompileExpr(w.object);
        w.slot = NewSlot("");
        scope_->withSlots.push_back(w.slot);
        CompileBlock(w.body);
        scope_->withSlots.pop_back();
        return;
      }
      case StmtKind::Exit: {
        auto& x = static_cast<ExitStmt&>(st);
        ProcKind k = scope_->proc->kind;
        bool ok = false;
        bool inProc = !scope_->proc->isScriptLevel;
        switch (x.what) {
          case ExitKind::Do:
            ok = scope_->doDepth > 0;
            break;
          case ExitKind::For:
            ok = scope_->forDepth > 0;
            break;
          case ExitKind::Sub:
            ok = inProc && k == ProcKind::Sub;
            break;
          case ExitKind::Function:
            ok = inProc && k == ProcKind::Function;
            break;
          case ExitKind::Property:
            ok = inProc && (k == ProcKind::PropertyGet || k == ProcKind::PropertyLet ||
                            k == ProcKind::PropertySet);
            break;
        }
        if (!ok) FailAt(kInvalidExit, st.line, st.column);
        return;
      }
      case StmtKind::OnError:
        if (static_cast<OnErrorStmt&>(st).resumeNext) scope_->proc->usesResumeNext = true;
        return;
      case StmtKind::OptionExplicit:
        return;
      case StmtKind::Const:
        if (!scope_->scriptLevel) DeclareConst(static_cast<ConstStmt&>(st));
        return;
    }
  }

  void DeclareConst(ConstStmt& c) {
    for (auto& item : c.items) {
      CompileExpr(item.value);
      if (!IsLiteral(item.value)) FailAt(kExpectedLiteral, item.value->line, item.value->column);
      const Variant& v = static_cast<LiteralExpr&>(*item.value).value;
      std::string lower = LowerName(item.name->name);
      if (scope_->scriptLevel) {
        GlobalVar* g = mod_->Global(lower);
        if (declaredHere_.count(lower) || (g->defined && !g->isConst))
          FailAt(kNameRedefined, c.line, c.column);
        declaredHere_.insert({lower, true});
        g->name = item.name->name;
        g->value = v;
        g->defined = true;
        g->isConst = true;
      } else {
        if (scope_->locals.count(lower) || scope_->consts.count(lower))
          FailAt(kNameRedefined, c.line, c.column);
        scope_->consts[lower] = v;
      }
    }
  }

  const CompileEnv& env_;
  Module* mod_;
  Program& prog_;
  Scope* scope_ = nullptr;
  int depth_ = 0;
  std::unordered_map<std::string, bool> declaredHere_;
  std::vector<std::pair<ClassInfo*, ClassDecl*>> pendingClasses_;
  std::vector<std::pair<Procedure*, ProcDecl*>> pendingProcs_;
};

}  // namespace

namespace {
// A program that fails to compile must leave no procedure or class behind: they would
// point into a tree that was never resolved.
Procedure* CompileWithRollback(std::unique_ptr<Program> program, const CompileEnv& env,
                               const DynamicScope* scope) {
  Module& m = *env.module;
  std::vector<std::pair<GlobalVar*, Procedure*>> procs;
  for (auto& pd : program->procs) {
    if (GlobalVar* g = m.FindGlobal(LowerName(pd->name))) procs.push_back({g, g->proc});
  }
  std::vector<std::unique_ptr<ClassInfo>> replaced;
  size_t procCount = m.procedures.size();
  try {
    for (auto& cd : program->classes) {
      auto it = m.classes.find(LowerName(cd->name));
      if (it != m.classes.end()) {
        // Instances of the old class may still be alive: keep its description.
        m.retiredClasses.push_back(std::move(it->second));
        m.classes.erase(it);
      }
    }
    Compiler c(env, *program);
    Procedure* top = c.CompileTopLevel(scope);
    m.programs.push_back(std::move(program));
    return top;
  } catch (...) {
    for (auto& [g, old] : procs) g->proc = old;
    for (auto& pd : program->procs) {
      GlobalVar* g = m.FindGlobal(LowerName(pd->name));
      bool restored = false;
      for (auto& [pg, old] : procs) restored |= pg == g;
      if (g && !restored) g->proc = nullptr;
    }
    m.procedures.resize(procCount);
    for (auto& cd : program->classes) m.classes.erase(LowerName(cd->name));
    m.programs.push_back(std::move(program));  // procedures made so far point into it
    throw;
  }
}
}  // namespace

Procedure* CompileProgram(std::unique_ptr<Program> program, const CompileEnv& env) {
  return CompileWithRollback(std::move(program), env, nullptr);
}

Procedure* CompileInScope(std::unique_ptr<Program> program, const CompileEnv& env,
                          const DynamicScope& scope) {
  return CompileWithRollback(std::move(program), env, &scope);
}

std::unique_ptr<Procedure> CompileEval(ExprPtr& expr, const CompileEnv& env,
                                       const DynamicScope* scope) {
  Program dummy;
  Compiler c(env, dummy);
  return c.CompileEvalExpr(expr, scope);
}

}  // namespace vbs
