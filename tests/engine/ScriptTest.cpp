// Runs one .vbs/.wsf test through sablewick-script and checks what its comments expect:
//   ' expect: TEXT            the next line of standard output
//   ' expect error: TEXT      a line of standard error, without the file name in front:
//                             "(LINE, COLUMN) error NUMBER: DESCRIPTION"; exit code 1
//   ' expect exit: N          the exit code (default 0, or 1 with an expected error)
//   ' args: A B C             command-line arguments for the script
// On a mismatch it prints expected and actual output side by side.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    out.push_back(line);
  }
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

bool Compare(const char* what, const std::vector<std::string>& expected,
             const std::vector<std::string>& actual) {
  if (expected == actual) return true;
  std::cout << "--- " << what << ": expected | actual\n";
  size_t n = std::max(expected.size(), actual.size());
  for (size_t i = 0; i < n; ++i) {
    std::string e = i < expected.size() ? expected[i] : "<none>";
    std::string a = i < actual.size() ? actual[i] : "<none>";
    std::cout << (e == a ? "   " : "!! ") << e << " | " << a << "\n";
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: ScriptTest RUNNER SCRIPT\n";
    return 2;
  }
  std::string runner = argv[1], script = argv[2];
  std::vector<std::string> expectOut, expectErr, args;
  int expectExit = -1;
  for (const auto& line : Lines(ReadFile(script))) {
    size_t p = line.find('\'');
    if (p == std::string::npos) continue;
    std::string c = line.substr(p + 1);
    size_t s = c.find_first_not_of(' ');
    if (s == std::string::npos) continue;
    c = c.substr(s);
    auto take = [&](const std::string& key, std::string& value) {
      if (c.compare(0, key.size(), key) != 0) return false;
      value = c.substr(key.size());
      if (!value.empty() && value[0] == ' ') value.erase(0, 1);
      return true;
    };
    std::string v;
    if (take("expect:", v))
      expectOut.push_back(v);
    else if (take("expect error:", v))
      expectErr.push_back(v);
    else if (take("expect exit:", v))
      expectExit = std::stoi(v);
    else if (take("args:", v)) {
      std::istringstream in(v);
      std::string a;
      while (in >> a) args.push_back(a);
    }
  }
  if (expectExit < 0) expectExit = expectErr.empty() ? 0 : 1;

  char outPath[] = "/tmp/vbstest-out-XXXXXX";
  char errPath[] = "/tmp/vbstest-err-XXXXXX";
  int fo = mkstemp(outPath), fe = mkstemp(errPath);
  if (fo < 0 || fe < 0) return 2;
  close(fo);
  close(fe);
  std::string cmd = "timeout 60 ";
  cmd += Quote(runner);
  cmd += " ";
  cmd += Quote(script);
  for (const auto& a : args) {
    cmd += " ";
    cmd += Quote(a);
  }
  cmd += " </dev/null >" + Quote(outPath) + " 2>" + Quote(errPath);
  int status = std::system(cmd.c_str());
  int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128;
  std::vector<std::string> out = Lines(ReadFile(outPath));
  std::vector<std::string> err = Lines(ReadFile(errPath));
  unlink(outPath);
  unlink(errPath);
  // Error lines start with the script's file name; tests compare what follows it. The source
  // line and caret shown under an error (indented by four) are the runner tests' business.
  std::vector<std::string> kept;
  for (size_t i = 0; i < err.size(); ++i) {
    std::string e = err[i];
    const bool errorLine = e.compare(0, script.size(), script) == 0;
    if (errorLine) e = e.substr(script.size());
    kept.push_back(e);
    if (errorLine && e.find(") error ") != std::string::npos) {
      for (int skip = 0; skip < 2 && i + 1 < err.size() && err[i + 1].rfind("    ", 0) == 0; ++skip)
        ++i;
    }
  }
  err = kept;
  bool ok = Compare("stdout", expectOut, out);
  ok = Compare("stderr", expectErr, err) && ok;
  if (code != expectExit) {
    std::cout << "--- exit code: expected " << expectExit << ", actual " << code << "\n";
    ok = false;
  }
  return ok ? 0 : 1;
}
