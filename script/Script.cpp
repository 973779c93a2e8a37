#include "script/Script.h"

#include <sys/stat.h>

#include <algorithm>

#include "core/Log.h"
#include "core/Paths.h"
#include "core/Text.h"
#include "engine/Engine.h"
#include "ini/TextFile.h"
#include "engine/Errors.h"

namespace sablewick {
namespace {

size_t FindNoCase(std::string_view text, std::string_view needle, size_t from) {
  for (size_t i = from; i + needle.size() <= text.size(); ++i) {
    if (EqualsNoCase(text.substr(i, needle.size()), needle)) return i;
  }
  return std::string_view::npos;
}

std::string Trim(std::string_view s) {
  const size_t b = s.find_first_not_of(' ');
  if (b == std::string_view::npos) return {};
  return std::string(s.substr(b, s.find_last_not_of(' ') - b + 1));
}

}  // namespace

std::string Script::ResolveName(const App& app, std::string_view name) {
  const std::string path =
      IsAbsolute(name) ? std::string(name) : JoinInside(app.AppPath + "/Scripts", name);
  return ResolveCaseInsensitive(path);
}

void Script::Add(std::string_view filename, std::string_view strKey) {
  ResolveName(app_, filename);  // a name that leaves Scripts/ fails the caller, before any work
  ModuleKey = strKey;
  ScriptFile = filename;
  vbs::Engine& engine = *app_.engine;
  ScriptModule_ = engine.Modules().Add(strKey);
  if (ScriptModule_ == nullptr) {
    ReportEvent(app_, "Sablewick", "Script-Add " + vbs::EncodeExternal(engine.Error().Description));
    engine.Error().Clear();
  }
  std::vector<std::string> chain;
  AccumulateReferences(filename, chain);
}

void Script::AccumulateReferences(std::string_view name, std::vector<std::string>& chain) {
  std::string path;
  try {
    path = ResolveName(app_, name);
  } catch (const Failure& f) {
    // An include that leaves Scripts/: said in the log, and the run fails with it.
    ReportEvent(app_, "Sablewick", std::string("Script-AccumulateReferences ") + f.what());
    if (loadError_.number == 0) loadError_ = {f.Number(), 0, f.what()};
    return;
  }
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return;
  // An include cycle (or a runaway depth) is cut here: the file is left out this time.
  if (std::find(chain.begin(), chain.end(), path) != chain.end() ||
      static_cast<int>(chain.size()) >= kMaxIncludeDepth) {
    return;
  }

  std::string text;
  bool read = false;
  StepRunner step(app_, "Sablewick", "Script-AccumulateReferences", ReportVia::Event);
  step([&] {
    // Never blocks: what replaced the file since the check above (a FIFO) is refused.
    text = ReadTextFile(path);
    read = true;
  });
  if (!read) return;

  chain.push_back(path);
  size_t pos = 0;
  for (int guard = 0; guard < 100000; ++guard) {
    pos = FindNoCase(text, "#include", pos);
    if (pos == std::string::npos) break;
    const size_t open = text.find('"', pos);
    const size_t close = open == std::string::npos ? open : text.find('"', open + 1);
    // A directive without a quoted name names no file; it stays, and the search goes on
    // after it.
    if (close == std::string::npos) {
      pos += 8;
      continue;
    }
    AccumulateReferences(Trim(std::string_view(text).substr(open + 1, close - open - 1)), chain);
    text.erase(pos, close - pos + 1);
  }
  chain.pop_back();

  vbs::Engine& engine = *app_.engine;
  bool added = false;
  step([&] {
    vbs::ScriptModule* module = engine.Modules().Item(ModuleKey);
    if (module == nullptr) throw Failure(35, "Module " + ModuleKey + " not found");
    added = module->AddCode(text, path);
  });
  if (!added || engine.Error().Number != 0) {
    const vbs::ErrorInfo& e = engine.Error();
    if (loadError_.number == 0) {
      loadError_.number = e.Number != 0 ? e.Number : app_.Err.number;
      loadError_.description = e.Number != 0 ? e.Description : app_.Err.description;
      // (A file that runs itself as it loads fails at every depth: named once.)
      if (loadError_.description.find(path) == std::string::npos)
        loadError_.description += " (" + path + ")";
    }
    ReportEvent(app_, "Sablewick",
                "Error in script syntax " + app_.Err.description + " / " + std::string(name) + " " +
                    vbs::EncodeExternal(e.Description) + "@ Line " + std::to_string(e.Line) +
                    " col " + std::to_string(e.Column));
    engine.Error().Clear();
  }
}

vbs::Variant Script::Run(std::string_view Procedure, std::string_view Parameter) {
  vbs::Engine& engine = *app_.engine;
  engine.Error().Clear();
  vbs::ScriptModule* module =
      ScriptModule_ != nullptr ? ScriptModule_ : engine.Modules().Item(ModuleKey);
  if (module == nullptr) return {};
  // A file that did not compile runs nothing (the module may still hold an earlier file's
  // procedure of the same name); its error was reported when it was added.
  if (loadError_.number != 0) throw Failure(loadError_.number, loadError_.description);
  vbs::Variant result;
  bool ran = false;
  // What the caller gets besides the event: the error's number and text.
  int32_t number = 0;
  std::string description;
  try {
    for (const vbs::ProcedureInfo& p : module->Procedures()) {
      if (!EqualsNoCase(p.Name, Procedure)) continue;
      if (p.NumArgs != 0) {
        const vbs::Variant arg = vbs::Variant::String(std::string(Parameter));
        vbs::Variant r = module->Run(p.Name, std::span<const vbs::Variant>(&arg, 1));
        if (p.HasReturnValue) result = std::move(r);
      } else {
        module->Run(p.Name);
      }
      ran = true;
      break;
    }
  } catch (const vbs::ScriptError& e) {
    SetPendingError(app_, 0);
    number = e.number;
    description = e.description.empty() ? std::string(vbs::ErrorText(e.number)) : e.description;
  } catch (...) {
    SetPendingError(app_, 0);
  }
  if (!ran && !app_.Err.IsSet()) return {};
  if (app_.Err.IsSet() || engine.Error().Number != 0) {
    const vbs::ErrorInfo& e = engine.Error();
    if (number == 0) {
      number = e.Number != 0 ? e.Number : app_.Err.number;
      description = e.Number != 0 ? e.Description : app_.Err.description;
    }
    ReportEvent(app_, "Sablewick",
                "Script Run Error " + app_.Err.description + " / " + std::to_string(e.Number) +
                    " - " + vbs::EncodeExternal(e.Description) + "@ Line " +
                    std::to_string(e.Line) + " col " + std::to_string(e.Column));
    engine.Error().Clear();
    app_.Err.Clear();
    throw Failure(number != 0 ? number : kGenericFailure, description);
  }
  return result;
}

}  // namespace sablewick
