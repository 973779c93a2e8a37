// The resolver: binds every name of a parsed program to where it lives at run time
// (frame slot, global entry, class member, built-in, host object), declares the
// program's procedures, classes and script-level variables in its module, and checks
// what the grammar alone cannot (Exit outside its block, names declared twice, ...).
#pragma once

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/Ast.h"

namespace vbs {

struct Module;
struct ClassInfo;

// A script-level name of a module. Entries are created on first mention and never move,
// so compiled code keeps plain pointers to them.
struct GlobalVar {
  std::string name;
  Variant value;
  Procedure* proc = nullptr;  // a Sub or Function of this name
  bool defined = false;       // declared, assigned at script level, or a constant
  bool isConst = false;
};

// What a frame slot holds (see Bind::Implicit for the handles).
enum class SlotKind : uint8_t {
  Plain,          // a declared local, parameter, result or hidden slot
  Handle,         // an undeclared name: handle, followed by its Storage
  Storage,        // the local value behind a Handle
  HandleRef,      // in Execute or Eval code: a Ref to a Handle elsewhere
};

struct Procedure {
  std::string name;
  ProcKind kind = ProcKind::Sub;
  const ProcDecl* decl = nullptr;  // null for script-level code
  const Block* body = nullptr;
  std::vector<uint8_t> byRef;          // per parameter (bytes: read on every call)
  int slotCount = 1;                   // slot 0 holds the result, then parameters, then locals
  std::vector<std::string> slotNames;  // lower case; for Execute in this scope
  std::vector<SlotKind> slotKinds;     // parallel to slotNames
  // Execute and Eval code in a procedure: slots bound to variables that Execute code
  // creates in that procedure's call, by name, and those of them (or of the procedure's
  // undeclared names) that this code declares with Dim, hence local from the start.
  std::vector<std::pair<int, std::string>> dynamicSlots;
  std::vector<int> declaredSlots;
  ClassInfo* owner = nullptr;
  Module* module = nullptr;
  bool isPublic = true;
  bool optionExplicit = false;
  bool usesResumeNext = false;  // contains On Error Resume Next: blocks run guarded
  bool isScriptLevel = false;
  int line = 0;
  const std::string* scriptName = nullptr;
  size_t ParamCount() const { return byRef.size(); }
  bool HasReturnValue() const {
    return kind == ProcKind::Function || kind == ProcKind::PropertyGet;
  }
};

struct ClassInfo {
  struct MemberInfo {
    std::string name;
    int field = -1;  // index into the instance's fields
    Procedure* method = nullptr;
    Procedure* get = nullptr;
    Procedure* let = nullptr;
    Procedure* set = nullptr;
    bool isPublic = true;
  };
  std::string name;
  Module* module = nullptr;
  const ClassDecl* decl = nullptr;
  std::vector<MemberInfo> members;                 // member id = index + 1
  std::unordered_map<std::string, int> memberIds;  // lower-case name -> id
  std::vector<const FieldDecl*> fields;
  int defaultMember = -1;  // member id
  Procedure* initialize = nullptr;
  Procedure* terminate = nullptr;
  std::vector<std::unique_ptr<Procedure>> procs;

  int FindMember(std::string_view name) const;
};

// An object the host added by name.
struct NamedObject {
  std::string name;
  Variant object;
  bool addMembers = false;
};

struct Module {
  std::string name;
  std::unordered_map<std::string, std::unique_ptr<GlobalVar>> globals;  // by lower-case name
  std::unordered_map<std::string, std::unique_ptr<ClassInfo>> classes;
  std::vector<std::unique_ptr<ClassInfo>> retiredClasses;  // replaced, maybe still in use
  std::vector<Procedure*> procedures;                      // Subs and Functions, in order
  std::vector<std::unique_ptr<Procedure>> ownedProcs;
  std::vector<std::unique_ptr<Program>> programs;  // the trees compiled code points into

  GlobalVar* Global(const std::string& lowerName);  // creates an undefined entry
  GlobalVar* FindGlobal(const std::string& lowerName) const;
  ClassInfo* FindClass(const std::string& lowerName) const;
};

// Where names are looked up besides the program itself.
struct CompileEnv {
  Module* module = nullptr;
  Module* globalModule = nullptr;  // the engine's "Global" module, visible to all modules
  const std::vector<std::unique_ptr<NamedObject>>* namedObjects = nullptr;
};

// The frame a piece of Execute or Eval code runs in, inside a procedure.
struct DynamicScope {
  Procedure* proc = nullptr;  // the running code whose locals this code sees
  // Variables earlier Execute code created in the same call (local to that call).
  std::vector<std::string> dynamicNames;
};

// Compiles a program into env.module. Returns the procedure that runs its script-level
// statements. Throws ScriptError (compile error) and leaves the module unchanged then,
// except for undefined global entries.
Procedure* CompileProgram(std::unique_ptr<Program> program, const CompileEnv& env);

// Compiles Execute code that runs inside the frame of `scope.proc` (its locals visible).
// The returned procedure starts with the same slot layout; its frame refers to the
// enclosing one (Interpreter::ShareScope).
Procedure* CompileInScope(std::unique_ptr<Program> program, const CompileEnv& env,
                          const DynamicScope& scope);

// Compiles an Eval expression against the same scope rules (scope null at script level).
std::unique_ptr<Procedure> CompileEval(ExprPtr& expr, const CompileEnv& env,
                                       const DynamicScope* scope);

}  // namespace vbs
