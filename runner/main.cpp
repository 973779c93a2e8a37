// sablewick-script [OPTIONS] FILE [ARGUMENTS...]: runs a .vbs or .wsf file with the engine.
#include <cstdio>
#include <filesystem>
#include <map>
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

// The texts of the files a run read, by name, to show the line an error points at.
using Sources = std::map<std::string, std::string>;

// The line of text numbered line (from 1), without its line break; false past the end.
bool SourceLine(std::string_view text, int line, std::string& out) {
  size_t start = 0;
  for (int n = 1; n < line; ++n) {
    start = text.find('\n', start);
    if (start == std::string_view::npos) return false;
    ++start;
  }
  if (line < 1 || start > text.size()) return false;
  const size_t end = text.find('\n', start);
  out = std::string(text.substr(start, end == std::string_view::npos ? end : end - start));
  if (!out.empty() && out.back() == '\r') out.pop_back();
  return true;
}

// "FILE(LINE, COLUMN) error NUMBER: DESCRIPTION", then the source line and a caret under the
// column (the engine counts columns in bytes of UTF-8; the caret moves one place a character,
// and tabs are kept so that it lines up).
int ReportError(const vbs::ErrorInfo& e, const std::string& fallbackName,
                const Sources& sources = {}) {
  std::fflush(stdout);
  const std::string& file = e.ScriptName.empty() ? fallbackName : e.ScriptName;
  std::string text = file + "(" + std::to_string(e.Line) + ", " + std::to_string(e.Column) +
                     ") error " + std::to_string(e.Number) + ": " + vbs::EncodeExternal(e.Description) + "\n";
  const auto source = sources.find(file);
  std::string line;
  if (source != sources.end() && e.Column >= 1 && SourceLine(source->second, e.Line, line) &&
      line.find_first_not_of(" \t") != std::string::npos && line.size() <= 1000) {
    std::string caret;
    for (size_t i = 0; i < line.size() && i + 1 < static_cast<size_t>(e.Column); ++i) {
      const unsigned char c = static_cast<unsigned char>(line[i]);
      if ((c & 0xC0) == 0x80) continue;  // the rest of a UTF-8 character
      caret += c == '\t' ? '\t' : ' ';
    }
    text += "    " + line + "\n    " + caret + "^\n";
  }
  std::fputs(text.c_str(), stderr);
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
  const bool isJob = EndsWithNoCase(path, ".wsf");
  // A first line "#!/usr/bin/env sablewick-script" lets a script file be run directly; it is
  // blanked, not removed, so that line numbers stay the file's.
  if (!isJob && text.starts_with("#!"))
    text.erase(0, text.find('\n') == std::string::npos ? text.size() : text.find('\n'));
  Sources sources{{path, text}};
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
    std::fprintf(stderr, "%s%s%s\n", vbs::EncodeExternal(r.title).c_str(),
                 r.title.empty() ? "" : ": ", vbs::EncodeExternal(r.prompt).c_str());
    if (r.kind == vbs::MessageRequest::Kind::InputBox) return vbs::Variant::String(r.defaultText);
    return vbs::Variant::Integer(1);
  });
  runner::RegisterObjects(engine);
  engine.AddObject("WScript", runner::MakeWScript(engine, info), false);

  int exitCode = 0;
  try {
    if (isJob) {
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
      for (const auto& block : job.scripts)
        if (block.fileName != path) sources.emplace(block.fileName, block.code);
      for (const auto& block : job.scripts) {
        if (!vbs::NameEquals(block.language, "VBScript") &&
            !vbs::NameEquals(block.language, "VBS")) {
          std::fprintf(stderr, "%s: unsupported script language \"%s\"\n", block.fileName.c_str(),
                       block.language.c_str());
          return 1;
        }
        if (!engine.AddCode(block.code, block.fileName, block.firstLine)) {
          exitCode = ReportError(engine.Error(), block.fileName, sources);
          break;
        }
      }
    } else if (!engine.AddCode(text, path)) {
      exitCode = ReportError(engine.Error(), path, sources);
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
