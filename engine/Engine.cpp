#include "engine/Engine.h"

#include <algorithm>
#include <new>

#include <unistd.h>

#include "engine/Interpreter.h"

namespace vbs {

namespace {
constexpr std::string_view kRuntimeSource = "Microsoft VBScript runtime error";
constexpr std::string_view kCompileSource = "Microsoft VBScript compilation error";
}  // namespace

Engine::Engine() : vm_(std::make_unique<Interpreter>()), modules_(this) {
  modules_.modules_.push_back(
      std::unique_ptr<ScriptModule>(new ScriptModule(this, vm_->GlobalModule(), "Global")));
}

Engine::~Engine() {
  // While the engine is still whole: terminators may call the host's objects.
  try {
    vm_->TerminateAll();
  } catch (...) {
    // A terminator that cannot start (out of memory) changes nothing here.
  }
}

void Engine::Reset() {
  if (vm_->IsRunning()) {
    // From inside a host member while code runs: the code would lose its own tree.
    error_.Clear();
    error_.Number = kInvalidCall;
    error_.Description = "Reset is not allowed while a script runs";
    return;
  }
  vm_->Reset();
  modules_.modules_.clear();
  modules_.modules_.push_back(
      std::unique_ptr<ScriptModule>(new ScriptModule(this, vm_->GlobalModule(), "Global")));
  error_.Clear();
}

bool Engine::SetLanguage(std::string_view language) {
  if (!NameEquals(language, "VBScript")) return false;
  language_ = "VBScript";
  return true;
}

bool Engine::AllowUI() const {
  return vm_->allowUI;
}
void Engine::SetAllowUI(bool allow) {
  vm_->allowUI = allow;
}
void Engine::SetTimeout(int milliseconds) {
  vm_->SetTimeout(milliseconds);
}
int Engine::Timeout() const {
  return vm_->Timeout();
}
void Engine::SetStepLimit(uint64_t steps) {
  vm_->SetStepLimit(steps);
}
void Engine::SetMemoryLimit(size_t bytes) {
  vm_->SetMemoryLimit(bytes);
}
size_t Engine::MemoryLimit() const {
  return vm_->MemoryLimit();
}
size_t Engine::MemoryUsed() const {
  return vm_->MemoryUsed();
}
size_t Engine::ShareOfMemory(size_t cap, unsigned divisor) {
  long pages = sysconf(_SC_PHYS_PAGES);
  long pageSize = sysconf(_SC_PAGESIZE);
  if (pages <= 0 || pageSize <= 0 || divisor == 0) return cap;
  return std::min(cap, static_cast<size_t>(pages) * static_cast<size_t>(pageSize) / divisor);
}

bool Engine::AddObject(std::string_view name, ObjectPtr<HostObject> object, bool addMembers) {
  if (!vm_->AddNamedObject(name, Variant::Object(object), addMembers)) {
    error_.Clear();
    error_.Number = 457;
    error_.Description = std::string(ErrorText(457));
    return false;
  }
  return true;
}

void Engine::RegisterProgId(std::string_view progId,
                            std::function<ObjectPtr<HostObject>()> factory) {
  vm_->RegisterProgId(progId, std::move(factory));
}

Variant Engine::CreateObject(std::string_view progId) {
  return vm_->CreateObject(progId);
}

void Engine::SetMessageHook(std::function<Variant(const MessageRequest&)> hook) {
  vm_->SetMessageHook(std::move(hook));
}

void Engine::Fail(const ScriptError& e, std::string_view scriptName) {
  error_.Number = e.number;
  error_.Description = e.description.empty() ? std::string(ErrorText(e.number)) : e.description;
  if (!e.subject.empty()) error_.Description += ": '" + e.subject + "'";
  if (!e.source.empty())
    error_.Source = e.source;
  else
    error_.Source = std::string(IsCompileError(e.number) ? kCompileSource : kRuntimeSource);
  error_.Line = e.line;
  error_.Column = e.column;
  error_.ScriptName = e.script.empty() ? std::string(scriptName) : e.script;
}

// Every entry point runs the engine through this guard: a script error becomes the
// engine's Error, and the host carries on.
template <class F>
static bool Guarded(Engine& engine, std::string_view scriptName, F&& body,
                    void (Engine::*fail)(const ScriptError&, std::string_view)) {
  try {
    body();
    return true;
  } catch (const ScriptError& e) {
    (engine.*fail)(e, scriptName);
  } catch (const std::bad_alloc&) {
    (engine.*fail)(ScriptError(kOutOfMemory), scriptName);
  }
  return false;
}

namespace {
// Source text from a host: UTF-8, and bytes that are not read as Windows-1252, as the
// language's hosts read script files.
std::string_view SourceText(std::string_view code, std::string& decoded) {
  if (IsEngineText(code, true)) return code;
  decoded = DecodeExternal(code, true, true);
  return decoded;
}
}  // namespace

bool ScriptModule::AddCode(std::string_view code0, std::string_view scriptName, int firstLine) {
  std::string decoded;
  std::string_view code = SourceText(code0, decoded);
  Engine& e = *engine_;
  return Guarded(
      e, scriptName, [&] { e.vm_->RunCode(module_, code, scriptName, firstLine); }, &Engine::Fail);
}

std::vector<ProcedureInfo> ScriptModule::Procedures() const {
  std::vector<ProcedureInfo> out;
  for (Procedure* p : module_->procedures) {
    // A later definition of the same name replaces the earlier one.
    GlobalVar* g = module_->FindGlobal(LowerName(p->name));
    if (!g || g->proc != p) continue;
    out.push_back({p->name, static_cast<int>(p->ParamCount()), p->HasReturnValue()});
  }
  return out;
}

Variant ScriptModule::Run(std::string_view name, std::span<const Variant> args) {
  Engine& e = *engine_;
  Variant result;
  Guarded(
      e, {},
      [&] {
        GlobalVar* g = module_->FindGlobal(LowerName(name));
        if (!g || !g->proc) Throw(kSubNotDefined);
        std::vector<Variant> copies(args.begin(), args.end());
        std::vector<Variant*> ptrs;
        for (auto& c : copies) ptrs.push_back(&c);
        result = e.vm_->CallProcedure(g->proc, nullptr, Args(ptrs.data(), ptrs.size()));
      },
      &Engine::Fail);
  return result;
}

Variant ScriptModule::Eval(std::string_view expression0) {
  std::string decoded;
  std::string_view expression = SourceText(expression0, decoded);
  Engine& e = *engine_;
  Variant result;
  Guarded(
      e, {}, [&] { result = e.vm_->EvalCode(module_, expression); }, &Engine::Fail);
  return result;
}

bool ScriptModule::ExecuteStatement(std::string_view code) {
  return AddCode(code);
}

ScriptModule* ModuleCollection::Add(std::string_view name) {
  Module* m = engine_->vm_->AddModule(name);
  if (!m) {
    engine_->error_.Clear();
    engine_->error_.Number = 457;
    engine_->error_.Description = std::string(ErrorText(457));
    return nullptr;
  }
  modules_.push_back(
      std::unique_ptr<ScriptModule>(new ScriptModule(engine_, m, std::string(name))));
  return modules_.back().get();
}

ScriptModule* ModuleCollection::Item(std::string_view name) {
  for (auto& m : modules_)
    if (NameEquals(m->Name(), name)) return m.get();
  return nullptr;
}

}  // namespace vbs
