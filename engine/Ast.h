// The syntax tree. The parser builds it with names as written; the compiler then fills
// in the binding fields (slot numbers, global entries, built-in indexes), and the
// interpreter runs the tree without looking any name up by text.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "engine/Variant.h"

namespace vbs {

struct GlobalVar;
struct Procedure;
struct ClassInfo;
struct NamedObject;

// ---- expressions

enum class ExprKind : uint8_t {
  Literal,
  Name,     // x
  Member,   // obj.x, or .x inside With
  Index,    // target(args): array element, call, default member
  Unary,    // -x, Not x
  Binary,   // arithmetic, logic, &
  Compare,  // = <> < > <= >=
  Is,       // a Is b
  New,      // New ClassName
  Me,
  Paren,  // (x): a value, never a reference, even when x is a variable
};

struct Expr {
  ExprKind kind;
  int line = 0;
  int column = 0;
  explicit Expr(ExprKind k) : kind(k) {}
  virtual ~Expr() = default;
};
using ExprPtr = std::unique_ptr<Expr>;

struct LiteralExpr : Expr {
  Variant value;
  LiteralExpr() : Expr(ExprKind::Literal) {}
};

// How the compiler bound a name.
enum class Bind : uint8_t {
  Unresolved,
  Local,        // frame slot (may hold a Ref to the caller's variable)
  Global,       // module-level entry: variable, constant or procedure
  Field,        // variable of the current class instance (Me)
  ClassMember,  // procedure or property of the current class, called on Me
  // Undeclared in a procedure: decided at its first use in each call. The slot is a
  // handle, Empty until then, afterwards a Ref to the script-level variable (when one
  // exists) or to the local storage in the slot right after the handle.
  Implicit,
  Builtin,      // a function of the built-in table
  NamedObject,  // object added by the host
  HostMember,   // member of a host object added with its members
  ReturnValue,  // the function's own name inside its body: slot 0
};

struct NameExpr : Expr {
  std::string name;
  Bind bind = Bind::Unresolved;
  int slot = -1;                  // Local, Field, Implicit (handle), ReturnValue
  int index = -1;                 // Builtin index
  GlobalVar* global = nullptr;    // Global, Implicit
  NamedObject* object = nullptr;  // NamedObject, HostMember
  int memberId = -1;              // HostMember
  // Implicit in Execute or Eval code: the slot holds a Ref to the handle, which lives in
  // the procedure's frame or among the variables earlier Execute code created there.
  bool viaRef = false;
  // Local: the slot may hold a Ref (a ByRef parameter, or any slot of Execute or Eval code
  // inside a procedure); otherwise it holds the value itself.
  bool mayBeRef = true;
  NameExpr() : Expr(ExprKind::Name) {}
};

// Where a plain operand lives (a literal, a frame slot, a script-level variable, an
// undeclared name of a procedure), found at its first use instead of at every use, and
// found again after code was compiled or a variable defined, which may change what a
// name is (AddCode, Execute, ExecuteGlobal): see Interpreter::Locate. None: the operand
// needs the general rules.
struct Place {
  enum class Kind : uint8_t {
    None,
    Fixed,      // a literal or a script-level variable, at fixed
    Slot,       // a frame slot
    SlotRef,    // a frame slot that may hold a Ref
    Handle,     // an undeclared name: its handle slot (see Bind::Implicit)
    HandleRef,  // the same in Execute or Eval code: the slot holds a Ref to the handle
  };
  Kind kind = Kind::None;
  int32_t slot = -1;         // the slot kinds
  Variant* fixed = nullptr;  // Fixed: a literal's value or a script-level variable
};

struct MemberExpr : Expr {
  ExprPtr object;  // null: the object of the innermost With
  std::string name;
  int withSlot = -1;
  // The member id last found here for a script class (class descriptions live as long
  // as the engine, so the pointer identifies the class safely).
  mutable const ClassInfo* cachedClass = nullptr;
  mutable int cachedId = -1;
  MemberExpr() : Expr(ExprKind::Member) {}
};

// How each argument of a call of a script procedure is bound, planned once per call
// site for the procedure it reaches (see Interpreter::CallPlanned).
struct ArgPlan {
  enum class Kind : uint8_t {
    Omitted,  // the parameter stays Empty
    Ref,      // ByRef to a variable at place
    Copy,     // ByVal (or ByRef to a literal): a copy of the value at place
    General,  // anything else: the general binding
  };
  Kind kind = Kind::General;
  Place place;
};
struct CallSite {
  Procedure* proc = nullptr;  // the procedure the plan is for
  uint64_t epoch = 0;         // Interpreter::epoch_ when planned
  std::vector<ArgPlan> args;
};

struct IndexExpr : Expr {
  ExprPtr target;
  std::vector<ExprPtr> args;  // a null entry is an omitted argument: f(1, , 3)
  mutable CallSite site;      // when target names a script procedure
  IndexExpr() : Expr(ExprKind::Index) {}
};

enum class UnaryOp : uint8_t { Neg, Not };
struct UnaryExpr : Expr {
  UnaryOp op;
  ExprPtr operand;
  UnaryExpr() : Expr(ExprKind::Unary) {}
};

enum class BinaryOp : uint8_t {
  Add,
  Sub,
  Mul,
  Div,
  IntDiv,
  Mod,
  Pow,
  Concat,
  And,
  Or,
  Xor,
  Eqv,
  Imp
};
struct BinaryExpr : Expr {
  BinaryOp op;
  ExprPtr left, right;
  BinaryExpr() : Expr(ExprKind::Binary) {}
};

struct CompareExpr : Expr {
  CompareOp op;
  ExprPtr left, right;
  bool leftLiteral = false, rightLiteral = false;
  // Where plain operands live, as of epoch (see Place); compared there without copies.
  mutable uint64_t epoch = 0;
  mutable Place leftPlace, rightPlace;
  CompareExpr() : Expr(ExprKind::Compare) {}
};

struct IsExpr : Expr {
  ExprPtr left, right;
  IsExpr() : Expr(ExprKind::Is) {}
};

struct NewExpr : Expr {
  std::string className;
  NewExpr() : Expr(ExprKind::New) {}
};

struct MeExpr : Expr {
  MeExpr() : Expr(ExprKind::Me) {}
};

struct ParenExpr : Expr {
  ExprPtr inner;
  ParenExpr() : Expr(ExprKind::Paren) {}
};

// ---- statements

enum class StmtKind : uint8_t {
  Assign,
  Call,
  Dim,
  ReDim,
  Erase,
  If,
  Select,
  For,
  ForEach,
  Do,
  With,
  Exit,
  OnError,
  OptionExplicit,
  Const,
};

struct Stmt {
  StmtKind kind;
  int line = 0;
  int column = 0;
  explicit Stmt(StmtKind k) : kind(k) {}
  virtual ~Stmt() = default;
};
using StmtPtr = std::unique_ptr<Stmt>;
using Block = std::vector<StmtPtr>;

struct AssignStmt : Stmt {
  ExprPtr target;  // Name, Member or Index
  ExprPtr value;
  bool isSet = false;
  enum class Form : uint8_t {
    General,
    // `x = x & y` on a plain variable: appended in place when the string has one owner.
    Append,
    // `x = a + b` (or -, *) where x, a and b are plain variables or literals: computed in
    // place when the operands are common numbers.
    Arith,
    // `x = F(args)` with F a script-level name (a procedure, unless code changed it).
    Call,
  };
  Form form = Form::General;
  NumOp arithOp = NumOp::Add;
  // Arith: where the operands and the target live, as of epoch (Interpreter::epoch_), and
  // whether all three were found: as slots, literals and variables (Direct), or with an
  // undeclared name among them, which each call decides anew (Handles).
  enum class Located : uint8_t { No, Direct, Handles };
  mutable uint64_t epoch = 0;
  mutable Located located = Located::No;
  mutable Place left, right, dst;
  AssignStmt() : Stmt(StmtKind::Assign) {}
};

struct CallStmt : Stmt {
  ExprPtr call;  // Name, Member or Index (with its arguments)
  CallStmt() : Stmt(StmtKind::Call) {}
};

struct DimVar {
  std::unique_ptr<NameExpr> name;
  bool isArray = false;         // Dim a() or Dim a(3)
  std::vector<ExprPtr> bounds;  // upper bounds; empty for a dynamic array
};
struct DimStmt : Stmt {
  std::vector<DimVar> vars;
  DimStmt() : Stmt(StmtKind::Dim) {}
};

struct ReDimStmt : Stmt {
  bool preserve = false;
  std::vector<DimVar> vars;
  ReDimStmt() : Stmt(StmtKind::ReDim) {}
};

struct EraseStmt : Stmt {
  std::vector<ExprPtr> targets;
  EraseStmt() : Stmt(StmtKind::Erase) {}
};

struct IfStmt : Stmt {
  struct Arm {
    ExprPtr cond;
    Block body;
  };
  std::vector<Arm> arms;
  Block elseBody;
  IfStmt() : Stmt(StmtKind::If) {}
};

struct SelectStmt : Stmt {
  struct Case {
    std::vector<ExprPtr> values;
    std::vector<bool> literal;
    Block body;
  };
  ExprPtr subject;
  bool subjectLiteral = false;
  std::vector<Case> cases;
  bool hasElse = false;
  Block elseBody;
  SelectStmt() : Stmt(StmtKind::Select) {}
};

struct ForStmt : Stmt {
  ExprPtr var;             // Name
  ExprPtr from, to, step;  // step may be null
  Block body;
  ForStmt() : Stmt(StmtKind::For) {}
};

struct ForEachStmt : Stmt {
  ExprPtr var;
  ExprPtr collection;
  Block body;
  ForEachStmt() : Stmt(StmtKind::ForEach) {}
};

struct DoStmt : Stmt {
  enum class Cond : uint8_t { None, While, Until };
  Cond cond = Cond::None;
  bool testAtTop = true;
  ExprPtr test;
  Block body;
  DoStmt() : Stmt(StmtKind::Do) {}
};

struct WithStmt : Stmt {
  ExprPtr object;
  int slot = -1;
  Block body;
  WithStmt() : Stmt(StmtKind::With) {}
};

enum class ExitKind : uint8_t { Do, For, Sub, Function, Property };
struct ExitStmt : Stmt {
  ExitKind what;
  ExitStmt() : Stmt(StmtKind::Exit) {}
};

struct OnErrorStmt : Stmt {
  bool resumeNext = false;
  OnErrorStmt() : Stmt(StmtKind::OnError) {}
};

struct ConstStmt : Stmt {
  struct Item {
    std::unique_ptr<NameExpr> name;
    ExprPtr value;
  };
  std::vector<Item> items;
  ConstStmt() : Stmt(StmtKind::Const) {}
};

struct OptionExplicitStmt : Stmt {
  OptionExplicitStmt() : Stmt(StmtKind::OptionExplicit) {}
};

// ---- declarations

enum class ProcKind : uint8_t { Sub, Function, PropertyGet, PropertyLet, PropertySet };

struct ParamDecl {
  std::string name;
  bool byVal = false;
};

struct ProcDecl {
  std::string name;
  ProcKind kind = ProcKind::Sub;
  std::vector<ParamDecl> params;
  Block body;
  bool isPublic = true;
  bool isDefault = false;
  int line = 0;
  int column = 0;
};

struct FieldDecl {
  std::string name;
  bool isPublic = true;
  bool isArray = false;
  std::vector<ExprPtr> bounds;
  int line = 0;
};

struct ClassDecl {
  std::string name;
  std::vector<FieldDecl> fields;
  std::vector<std::unique_ptr<ProcDecl>> procs;
  int line = 0;
  int column = 0;
};

// One piece of code given to AddCode, Execute or ExecuteGlobal.
struct Program {
  std::string name;  // as given to AddCode, for error reports
  Block body;
  std::vector<std::unique_ptr<ProcDecl>> procs;
  std::vector<std::unique_ptr<ClassDecl>> classes;
  bool optionExplicit = false;
};

}  // namespace vbs
