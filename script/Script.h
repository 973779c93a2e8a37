// Loads one script file, with every file its "#include" directives name (depth first, each
// include before the rest of the file that names it), into a named module of the shared
// in-process engine, and runs procedures of that module by name.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "core/App.h"
#include "engine/Variant.h"

namespace vbs {
class ScriptModule;
}

namespace sablewick {

class Script {
 public:
  // Includes deeper than this are cut: a file that includes itself must still load.
  static constexpr int kMaxIncludeDepth = 32;

  explicit Script(App& app) : app_(app) {}

  void Add(std::string_view filename, std::string_view strKey);
  // Runs the procedure (name without regard to case) with the parameter when it takes any;
  // the function's result, Empty otherwise. A run that fails (or a file that did not compile)
  // is reported as an event and thrown to the caller as a Failure with the error's number and
  // text.
  vbs::Variant Run(std::string_view Procedure, std::string_view Parameter);

  // A script name as a path: absolute names stay, others are relative to Scripts/.
  static std::string ResolveName(const App& app, std::string_view name);

 private:
  void AccumulateReferences(std::string_view path, std::vector<std::string>& chain);

  App& app_;
  vbs::ScriptModule* ScriptModule_ = nullptr;
  std::string ModuleKey;
  std::string ScriptFile;
  PendingError loadError_;  // the first compile error of the files added
};

}  // namespace sablewick
