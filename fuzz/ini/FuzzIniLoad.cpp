// INI files are edited by hand and by scripts: Load must take any bytes without harm, the
// names it finds must survive Keys (they are patterns there) and the installation, and what
// Save writes must load and save again to the very same bytes.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "ini/IniTool.h"
#include "ini/TextFile.h"

namespace {

class NullSink : public sablewick::XapSink {
 public:
  void SendXap(std::string_view, std::string_view, std::string_view, std::string_view,
               std::string_view, std::string_view, std::string_view) override {}
};

struct State {
  State() {
    // Every input is saved several times, each save flushed to disk (file and folder): on a
    // disk that is most of an input's time. In memory (tmpfs) a flush costs nothing and the
    // target runs the same code.
    std::error_code ec;
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm", ec)
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    std::string pattern = base / "sablewick-fuzz-ini-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    dir = pattern;
    app.AppPath = dir;
    app.sink = &sink;
    app.xapReady = true;
  }
  ~State() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string dir;
  NullSink sink;
  sablewick::App app;
};

State& Shared() {
  static State state;
  return state;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using sablewick::IniTool;
  State& s = Shared();
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string iniPath = s.dir + "/in.ini";
  const std::string script = s.dir + "/script.vbs";
  std::filesystem::remove(s.dir + "/in_IniLog.txt");
  sablewick::ReplaceTextFile(iniPath, input);
  sablewick::ReplaceTextFile(script, input);

  IniTool ini(s.app);
  ini.Load(iniPath);
  for (const std::string& header : ini.Headers()) {
    for (const std::string& key : ini.Keys(header)) ini.Read(header, key, "default");
    // The input doubles as a script, so the rewrite sees the names it was made from.
    try {
      ini.InstallKeys(script, header);
      ini.InstallStrings(script, header);
      ini.InstallArray(script, header, header, "Values");
    } catch (const std::exception&) {
      // Invalid patterns and lines without a line end fail to the caller by design.
    }
  }
  ini.Keys("");
  ini.WriteKey("Fuzz", "Key", "value");
  ini.Remove("Fuzz", "Key");
  ini.Save();

  const std::string saved = sablewick::ReadTextFile(iniPath);
  IniTool again(s.app);
  again.Load(iniPath);
  again.Save();
  if (sablewick::ReadTextFile(iniPath) != saved) std::abort();
  return 0;
}
