// sablewick-script [OPTIONS] FILE [ARGUMENTS...]: runs a .vbs or .wsf file with the engine.
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "engine/Engine.h"
#include "runner/JobFile.h"
#include "runner/Objects.h"
#include "runner/WScript.h"

namespace {

constexpr char kUsage[] =
    "usage: sablewick-script [--help] [--version] FILE [ARGUMENTS...]\n"
    "Runs a VBScript file (.vbs) or a job file (.wsf) with the WScript object.\n"
    "  FILE        the script; UTF-8, UTF-16 with a byte order mark, or plain bytes\n"
    "  ARGUMENTS   WScript.Arguments; /name:value, /switch, /switch+ and /switch- are\n"
    "              also in WScript.Arguments.Named, the rest in .Unnamed\n"
    "  --help      print this text and exit\n"
    "  --version   print the version and exit\n"
    "Host options written //name (//nologo, //b) are accepted and ignored.\n"
    "Exit status: 0, or the WScript.Quit code; 1 after a script error; 2 for a bad\n"
    "command line or an unreadable file.\n";

// This program's own path, for WScript.FullName and WScript.Path.
std::string HostFullName(const char* argv0) {
  std::error_code ec;
  auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) return self.string();
  return std::filesystem::absolute(argv0, ec).lexically_normal().string();
}

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
  // Options come before the script; what follows it belongs to the script. Host options
  // in the form of the original (//nologo, //b) are accepted and ignored.
  for (; first < argc; ++first) {
    std::string_view a = argv[first];
    if (a.starts_with("//")) continue;
    if (a == "--help") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--version") {
      std::printf("sablewick-script %s\n", SABLEWICK_VERSION);
      return 0;
    }
    if (a == "--") {
      ++first;
      break;
    }
    if (a.starts_with("--")) {
      std::fprintf(stderr, "sablewick-script: unknown option %s\n%s", argv[first], kUsage);
      return 2;
    }
    break;
  }
  if (first >= argc) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string path = argv[first];
  std::string text, error;
  if (!runner::ReadScriptFile(path, text, error)) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), error.c_str());
    return 2;
  }
  runner::ScriptInfo info;
  std::error_code ec;
  info.hostFullName = HostFullName(argv[0]);
  info.fullName = std::filesystem::absolute(path, ec).lexically_normal().string();
  info.name = std::filesystem::path(path).filename().string();
  for (int i = first + 1; i < argc; ++i) info.arguments.emplace_back(argv[i]);

  vbs::Engine engine;
  // A script run on its own may use more than one inside the daemon: up to 2 GB of
  // strings and arrays, at most half of the machine's memory.
  engine.SetMemoryLimit(vbs::Engine::ShareOfMemory(size_t{2} << 30, 2));
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
