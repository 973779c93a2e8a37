// The engine as the program sees it: the operations of a script control.
//
//   vbs::Engine engine;
//   engine.AddObject("hs", myObject, /*addMembers=*/true);
//   engine.SetTimeout(90000);
//   vbs::ScriptModule* m = engine.Modules().Add("M1");
//   if (!m->AddCode(text)) report(engine.Error());        // syntax or run-time error
//   for (auto& p : m->Procedures()) ...                    // Name, NumArgs, HasReturnValue
//   vbs::Variant r = m->Run("Main", {vbs::Variant::String("arg")});
//   if (engine.Error().Number != 0) { report(engine.Error()); engine.Error().Clear(); }
//
// Single-threaded: one engine belongs to one thread. Several engines may coexist.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Errors.h"
#include "engine/HostObject.h"
#include "engine/Variant.h"

namespace vbs {

class Interpreter;
struct Module;
class Engine;

// The last error: Number 0 means none.
struct ErrorInfo {
  int32_t Number = 0;
  std::string Description;
  std::string Source;      // "Microsoft VBScript runtime error", "... compilation error", ...
  int Line = 0;            // 1-based; 0 when unknown
  int Column = 0;          // 1-based
  std::string ScriptName;  // the name given to AddCode for the code that failed
  void Clear() { *this = ErrorInfo(); }
};

struct ProcedureInfo {
  std::string Name;
  int NumArgs = 0;
  bool HasReturnValue = false;
};

// What MsgBox and InputBox ask for. They never block: the host hook answers at once.
struct MessageRequest {
  enum class Kind { MsgBox, InputBox } kind = Kind::MsgBox;
  std::string prompt;
  std::string title;
  std::string defaultText;  // InputBox
  int buttons = 0;          // MsgBox
};

// Thrown by a host member (such as WScript.Quit) to end the script at once. It passes
// through On Error Resume Next and out of AddCode/Run to the host that runs the engine.
struct ScriptQuit {
  int exitCode = 0;
};

class ScriptModule {
 public:
  const std::string& Name() const { return name_; }
  // Compiles the code and runs its script-level statements. False (and Error() set) on
  // a syntax error, found before anything runs, or on a run-time error.
  bool AddCode(std::string_view code, std::string_view scriptName = {}, int firstLine = 1);
  std::vector<ProcedureInfo> Procedures() const;
  // Runs a Sub or Function by name (case-insensitive); the result of a Function, Empty
  // otherwise or on error (Error() set: 35 when there is no such procedure).
  Variant Run(std::string_view name, std::span<const Variant> args = {});
  Variant Eval(std::string_view expression);
  bool ExecuteStatement(std::string_view code);

 private:
  friend class Engine;
  friend class ModuleCollection;
  ScriptModule(Engine* engine, Module* module, std::string name)
      : engine_(engine), module_(module), name_(std::move(name)) {}
  Engine* engine_;
  Module* module_;
  std::string name_;
};

class ModuleCollection {
 public:
  // A new empty module; nullptr and Error() 457 when the name is taken.
  ScriptModule* Add(std::string_view name);
  ScriptModule* Item(std::string_view name);  // nullptr when absent
  size_t Count() const { return modules_.size(); }

 private:
  friend class Engine;
  explicit ModuleCollection(Engine* e) : engine_(e) {}
  Engine* engine_;
  std::vector<std::unique_ptr<ScriptModule>> modules_;
};

class Engine {
 public:
  Engine();
  ~Engine();
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  // Drops all modules, code and added objects; the Global module comes back empty.
  // ScriptModule pointers obtained before are invalid afterwards. Refused (Error 5)
  // when called from a host member while a script runs.
  void Reset();
  const std::string& Language() const { return language_; }
  bool SetLanguage(std::string_view language);  // only "VBScript"
  // With AllowUI false, MsgBox and InputBox fail with error 70 instead of reaching the
  // message hook. Default true.
  bool AllowUI() const;
  void SetAllowUI(bool allow);
  // Makes the object reachable by name; with addMembers its members are also reachable
  // by bare name. False when the name is already taken.
  bool AddObject(std::string_view name, ObjectPtr<HostObject> object, bool addMembers = false);
  // Milliseconds a call into the engine may run before it is stopped with a run-time
  // error that On Error Resume Next cannot catch; -1 (the default) means no limit. Set
  // from a host member while a script runs, it counts from the start of that run.
  void SetTimeout(int milliseconds);
  int Timeout() const;
  ModuleCollection& Modules() { return modules_; }
  ScriptModule& GlobalModule() { return *modules_.modules_.front(); }
  ErrorInfo& Error() { return error_; }

  // Shortcuts on the Global module.
  bool AddCode(std::string_view code, std::string_view scriptName = {}, int firstLine = 1) {
    return GlobalModule().AddCode(code, scriptName, firstLine);
  }
  Variant Eval(std::string_view expression) { return GlobalModule().Eval(expression); }

  // CreateObject(progId) makes objects through these factories (case-insensitive).
  void RegisterProgId(std::string_view progId, std::function<ObjectPtr<HostObject>()> factory);
  // What CreateObject(progId) gives the script; throws ScriptError 429 when unknown.
  Variant CreateObject(std::string_view progId);
  // Answers MsgBox and InputBox; without a hook they return the default answer.
  void SetMessageHook(std::function<Variant(const MessageRequest&)> hook);
  // Stops runs after about this many steps (loop iterations and calls); 0: no limit.
  void SetStepLimit(uint64_t steps);
  // Bytes that the strings and arrays made by scripts may hold together (default 512 MB);
  // beyond it the script gets error 7 "Out of memory". Values a host makes while no
  // script runs are not counted.
  void SetMemoryLimit(size_t bytes);
  size_t MemoryLimit() const;
  size_t MemoryUsed() const;
  // The smaller of cap and 1/divisor of the machine's memory (cap when that is unknown):
  // a memory limit that suits the machine.
  static size_t ShareOfMemory(size_t cap, unsigned divisor);

  Interpreter& Vm() { return *vm_; }

 private:
  friend class ScriptModule;
  friend class ModuleCollection;
  void Fail(const struct ScriptError& e, std::string_view scriptName);
  std::unique_ptr<Interpreter> vm_;
  ModuleCollection modules_;
  ErrorInfo error_;
  std::string language_ = "VBScript";
  std::string currentScript_;
};

}  // namespace vbs
