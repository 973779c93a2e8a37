// sablewick-script FILE [ARGUMENTS...]: runs a .vbs or .wsf file with the engine.
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "engine/Engine.h"
#include "runner/JobFile.h"
#include "runner/Objects.h"
#include "runner/WScript.h"

namespace {

int ReportError(const vbs::ErrorInfo& e, const std::string& fallbackName) {
  std::fflush(stdout);
  const std::string& file = e.ScriptName.empty() ? fallbackName : e.ScriptName;
  std::fprintf(stderr, "%s(%d, %d) error %d: %s\n", file.c_str(), e.Line, e.Column, e.Number,
               e.Description.c_str());
  return 1;
}

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
  if (s.size() < suffix.size()) return false;
  for (size_t i = 0; i < suffix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(s[s.size() - suffix.size() + i])) != suffix[i])
      return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  // Host options in the form of the original (//nologo, //b) are accepted and ignored.
  while (first < argc && argv[first][0] == '/' && argv[first][1] == '/') ++first;
  if (first >= argc) {
    std::fputs("usage: sablewick-script FILE [ARGUMENTS...]\n", stderr);
    return 2;
  }
  std::string path = argv[first];
  bool ok;
  std::string text = runner::ReadWholeFile(path, ok);
  if (!ok) {
    std::fprintf(stderr, "%s: cannot open the script file\n", path.c_str());
    return 2;
  }
  // Editors on the original platform often save a UTF-8 byte order mark; it is no code.
  if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) text.erase(0, 3);
  runner::ScriptInfo info;
  std::error_code ec;
  info.fullName = std::filesystem::absolute(path, ec).lexically_normal().string();
  info.name = std::filesystem::path(path).filename().string();
  for (int i = first + 1; i < argc; ++i) info.arguments.emplace_back(argv[i]);

  vbs::Engine engine;
  engine.SetMessageHook([](const vbs::MessageRequest& r) {
    // A prompt never blocks: it is written out and the default answer is taken.
    std::fflush(stdout);
    std::fprintf(stderr, "%s%s%s\n", r.title.c_str(), r.title.empty() ? "" : ": ",
                 r.prompt.c_str());
    if (r.kind == vbs::MessageRequest::Kind::InputBox) return vbs::Variant::String(r.defaultText);
    return vbs::Variant::Integer(1);
  });
  runner::RegisterObjects(engine);
  engine.AddObject("WScript", runner::MakeWScript(engine, info), false);

  int exitCode = 0;
  try {
    if (EndsWithNoCase(path, ".wsf")) {
      runner::Job job;
      try {
        job = runner::ReadJobFile(path, text);
      } catch (const std::runtime_error& e) {
        std::fprintf(stderr, "%s: %s\n", path.c_str(), e.what());
        return 1;
      }
      for (const auto& o : job.objects) {
        vbs::Variant obj = engine.CreateObject(o.progId);
        engine.AddObject(o.id, vbs::ObjectPtr<vbs::HostObject>(obj.AsObject()), false);
      }
      for (const auto& block : job.scripts) {
        if (!vbs::NameEquals(block.language, "VBScript") &&
            !vbs::NameEquals(block.language, "VBS")) {
          std::fprintf(stderr, "%s: unsupported script language \"%s\"\n", block.fileName.c_str(),
                       block.language.c_str());
          return 1;
        }
        if (!engine.AddCode(block.code, block.fileName, block.firstLine)) {
          exitCode = ReportError(engine.Error(), block.fileName);
          break;
        }
      }
    } else if (!engine.AddCode(text, path)) {
      exitCode = ReportError(engine.Error(), path);
    }
  } catch (const vbs::ScriptQuit& q) {
    exitCode = q.exitCode;
  } catch (const vbs::ScriptError& e) {
    vbs::ErrorInfo info;
    info.Number = e.number;
    info.Description = e.description;
    exitCode = ReportError(info, path);
  }
  std::fflush(stdout);
  return exitCode;
}
