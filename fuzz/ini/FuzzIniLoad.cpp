// INI files are edited by hand and by scripts: Load must take any bytes without harm, the
// names it finds must survive Keys (they are patterns there) and the installation. Save keeps
// the file: loaded and saved without changes it gives the very same bytes. Changed, it reads
// back as the store held it, comments and headers stay in their order, and it saves again to
// the same bytes.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

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

// The comment and header lines of a text, in order, each ended by a LF: a save may add
// headers at the end and never adds, drops or moves a comment.
std::string Outline(std::string_view text) {
  std::string out;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    while (!line.empty() && line.back() == ' ') line.remove_suffix(1);
    const bool header = line.size() >= 2 && line.front() == '[' && line.back() == ']';
    if (header || (!line.empty() && line.front() == ';')) {
      out += line;
      out += '\n';
    }
  }
  return out;
}

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
  ini.Save();
  if (sablewick::ReadTextFile(iniPath) != input) std::abort();

  // Some keys set, some removed, some added; then every name read back as the store has it.
  struct Name {
    std::string header, key;
  };
  std::vector<Name> names;
  for (const std::string& header : ini.Headers()) {
    for (const std::string& key : ini.Keys(header)) names.push_back({header, key});
  }
  if (names.size() > 200) names.resize(200);
  const std::string firstHeader = names.empty() ? std::string() : names.front().header;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i % 3 == 0) ini.WriteKey(names[i].header, names[i].key, "set" + std::to_string(i));
    if (i % 3 == 1) ini.Remove(names[i].header, names[i].key);
  }
  for (const Name& added : {Name{"Fuzz", "Key"}, Name{"", "Loose"}, Name{firstHeader, "Added"}}) {
    ini.WriteKey(added.header, added.key, "added");
    names.push_back(added);
  }
  std::vector<std::string> expected;
  for (const Name& name : names) expected.push_back(ini.Read(name.header, name.key, "\x01"));
  try {
    ini.SaveOrThrow();
  } catch (const std::exception&) {
    // A name that would not read back (or is too long) fails before the file is touched.
    if (sablewick::ReadTextFile(iniPath) != input) std::abort();
    return 0;
  }

  const std::string saved = sablewick::ReadTextFile(iniPath);
  IniTool again(s.app);
  again.Load(iniPath);
  for (size_t i = 0; i < names.size(); ++i) {
    if (again.Read(names[i].header, names[i].key, "\x01") != expected[i]) std::abort();
  }
  if (Outline(saved).substr(0, Outline(input).size()) != Outline(input)) std::abort();
  again.Save();
  if (sablewick::ReadTextFile(iniPath) != saved) std::abort();
  return 0;
}
