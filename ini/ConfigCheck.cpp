#include "ini/ConfigCheck.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string_view>

#include "ini/KnownSettings.h"

namespace sablewick {
namespace {

// A settings file is small; a bigger one is not read whole.
constexpr size_t kMaxFileBytes = 1u << 20;

std::string Upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return out;
}

// The node trims the space character only; tabs stay part of names and values.
std::string_view TrimSpaces(std::string_view s) {
  const size_t first = s.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

// Edit distance without regard to case, for "did you mean".
size_t Distance(std::string_view a, std::string_view b) {
  const std::string x = Upper(a), y = Upper(b);
  std::vector<size_t> row(y.size() + 1);
  for (size_t j = 0; j <= y.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= x.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= y.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (x[i - 1] == y[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[y.size()];
}

bool IsIpv4(std::string_view s) {
  in_addr a{};
  return ::inet_pton(AF_INET, std::string(s).c_str(), &a) == 1;
}

// The node's reading of an interface mask: four dot-separated runs of at most nine digits.
bool IsMask(std::string_view s, std::vector<long>& pieces) {
  pieces.clear();
  size_t start = 0;
  for (;;) {
    const size_t dot = s.find('.', start);
    const std::string_view p = s.substr(start, dot == s.npos ? s.npos : dot - start);
    if (p.empty() || p.size() > 9 || p.find_first_not_of("0123456789") != p.npos) return false;
    pieces.push_back(std::stol(std::string(p)));
    if (dot == s.npos) break;
    start = dot + 1;
  }
  return pieces.size() == 4;
}

// This machine's IPv4 addresses in the order the node tries them: up, loopback last.
std::vector<std::string> LocalAddresses() {
  std::vector<std::string> out, loopback;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return out;
  for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
      continue;
    char text[INET_ADDRSTRLEN];
    const auto* sin = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) == nullptr) continue;
    ((i->ifa_flags & IFF_LOOPBACK) ? loopback : out).emplace_back(text);
  }
  ::freeifaddrs(list);
  out.insert(out.end(), loopback.begin(), loopback.end());
  return out;
}

bool FitsMask(const std::vector<long>& mask, const std::string& address) {
  std::vector<long> a;
  if (!IsMask(address, a)) return false;
  for (size_t i = 0; i < 4; ++i)
    if (a[i] != (a[i] & mask[i])) return false;
  return true;
}

class FileCheck {
 public:
  FileCheck(std::string name, std::vector<Finding>& out) : name_(std::move(name)), out_(out) {}

  void Problem(int line, std::string message) { out_.push_back({name_, line, true, message}); }
  void Note(int line, std::string message) { out_.push_back({name_, line, false, message}); }

  void Run(const std::string& path, std::string_view file) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 && errno == ENOENT) {
      Note(0,
           "missing: every setting of it takes its default (the node writes it, with its notes, at "
           "its next start)");
      return;
    }
    std::string text, why;
    if (!ReadRegularFile(path, kMaxFileBytes + 1, text, why)) {
      Problem(0, why + ": the node does not start");
      return;
    }
    if (text.size() > kMaxFileBytes) {
      Problem(0, "larger than 1 MB: not checked");
      return;
    }
    RunText(text, file);
  }

  void RunText(std::string_view text, std::string_view file) {
    std::set<std::string> knownSections;
    for (const KnownSetting& s : kKnownSettings)
      if (s.file == file) knownSections.insert(Upper(s.section));

    std::string section;              // as written
    std::map<std::string, int> seen;  // upper section "~" upper key -> line
    int number = 0;
    size_t pos = 0;
    while (pos < text.size()) {
      size_t end = text.find('\n', pos);
      if (end == std::string_view::npos) end = text.size();
      std::string_view raw = text.substr(pos, end - pos);
      pos = end + 1;
      ++number;
      if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
      const std::string_view line = TrimSpaces(raw);
      if (line.empty() || line.front() == ';') continue;
      if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
        section = std::string(line.substr(1, line.size() - 2));
        SectionLine(number, section, file, knownSections);
        continue;
      }
      const size_t eq = line.find('=');
      if (eq == std::string_view::npos) {
        Problem(number, "no '=' in \"" + std::string(line) + "\": the node ignores the line");
        continue;
      }
      const std::string_view key = line.substr(0, eq), value = line.substr(eq + 1);
      KeyLine(number, section, key, value, file, knownSections, seen);
    }
  }

 private:
  void SectionLine(int number, const std::string& section, std::string_view file,
                   const std::set<std::string>& knownSections) {
    if (knownSections.count(Upper(section))) return;
    for (const KnownSetting& s : kKnownSettings) {
      if (s.file == file && Distance(section, s.section) <= 2) {
        Problem(number, "section [" + section + "] is not read by the node: did you mean [" +
                            std::string(s.section) + "]?");
        return;
      }
    }
    Note(number, "section [" + section + "] is not read by the node (scripts may read it)");
  }

  void KeyLine(int number, const std::string& section, std::string_view key, std::string_view value,
               std::string_view file, const std::set<std::string>& knownSections,
               std::map<std::string, int>& seen) {
    const std::string id = Upper(section) + "~" + Upper(key);
    if (auto [it, added] = seen.emplace(id, number); !added) {
      Problem(number, "\"" + std::string(key) + "\" again: the node keeps the first, on line " +
                          std::to_string(it->second));
      return;
    }
    const KnownSetting* known = nullptr;
    for (const KnownSetting& s : kKnownSettings)
      if (s.file == file && Upper(s.section) == Upper(section) && Upper(s.key) == Upper(key))
        known = &s;
    if (known == nullptr) {
      UnknownKey(number, section, key, file, knownSections);
      return;
    }
    const std::string where = std::string(known->key);
    if (!value.empty() && value.front() == ' ') {
      Problem(number, "space after '=' in " + where + ": the node keeps it in the value");
    }
    // "Key=value ; remark": the INI rules have no comments after a value.
    if (const size_t semi = value.find(';'); semi != std::string_view::npos && semi > 0 &&
                                             (value[semi - 1] == ' ' || value[semi - 1] == '\t')) {
      Problem(number, where + " holds \"" + std::string(TrimSpaces(value.substr(semi))) +
                          "\": the node takes everything after '=' as the value; put remarks "
                          "on lines of their own");
    }
    if (value.empty() && known->form == SettingForm::Text) return;
    if (value.empty()) {
      Problem(number,
              where + " is empty: the node takes the default " + std::string(known->defaultValue));
      return;
    }
    CheckValue(number, *known, value);
  }

  void UnknownKey(int number, const std::string& section, std::string_view key,
                  std::string_view file, const std::set<std::string>& knownSections) {
    const std::string name(key);
    const std::string_view trimmed = TrimSpaces(key);
    // A known key followed by spaces or a tab is another key to the node.
    const bool knownSection = knownSections.count(Upper(section)) != 0;
    for (const KnownSetting& s : kKnownSettings) {
      const bool sameSection = s.file == file && Upper(s.section) == Upper(section);
      if (sameSection && trimmed != key && Upper(trimmed) == Upper(s.key)) {
        Problem(number, "space before '=' in \"" + name + "\": the node does not see " +
                            std::string(s.key) + " and takes its default " +
                            std::string(s.defaultValue));
        return;
      }
      // In a section of the node's, or before any: a key put in the wrong place. Other
      // sections belong to scripts, which may use any names.
      if (!sameSection && (knownSection || section.empty()) && Upper(trimmed) == Upper(s.key)) {
        Problem(number, std::string(s.key) + " belongs in [" + std::string(s.section) +
                            "] of Config/" + std::string(s.file));
        return;
      }
    }
    if (!knownSection) return;  // a section the node does not read
    std::string hint;
    for (const KnownSetting& s : kKnownSettings)
      if (s.file == file && Upper(s.section) == Upper(section) && Distance(trimmed, s.key) <= 3)
        hint = ": did you mean " + std::string(s.key) + "?";
    if (name.find('\t') != std::string::npos && hint.empty()) hint = " (it holds a tab)";
    Problem(number, "unknown key \"" + name + "\" in [" + section + "]" + hint);
  }

  void CheckValue(int number, const KnownSetting& s, std::string_view value) {
    const std::string key(s.key), v(value);
    const bool isDefault = Upper(TrimSpaces(value)) == "DEFAULT";
    switch (s.form) {
      case SettingForm::Address:
        if (isDefault || IsIpv4(value)) return;
        if (v.find_first_of(" \t") != std::string::npos || v.empty()) {
          Problem(number, key + " \"" + v + "\" is not an address");
        } else {
          Note(number, key + " \"" + v +
                           "\" is not an IPv4 address: the node looks it up as a host name at "
                           "start and sends to 0.0.0.0 when that fails");
        }
        return;
      case SettingForm::AddressMask: {
        if (isDefault) return;
        std::vector<long> mask;
        if (!IsMask(value, mask)) {
          Problem(number, key + " \"" + v +
                              "\" is not four dot-separated numbers: the node uses the first "
                              "address of an interface that is up");
          return;
        }
        const std::vector<std::string> mine = LocalAddresses();
        for (const std::string& a : mine)
          if (FitsMask(mask, a)) return;
        // Every 127.x.y.z is the loopback interface's, listed or not: the node takes such an
        // address as it stands.
        if (IsIpv4(value) && mask[0] == 127) return;
        Note(number, key + " " + v + " fits no address of this machine: the node would use " +
                         (mine.empty() ? std::string("none") : mine.front()));
        return;
      }
      case SettingForm::Seconds:
        if (!v.empty() && v.size() <= 8 && v.find_first_not_of("0123456789") == std::string::npos &&
            std::stol(v) <= 86400L * 365)
          return;
        Problem(number, key + " \"" + v +
                            "\" is not a whole number of seconds up to a year: the "
                            "node takes the default " +
                            std::string(s.defaultValue));
        return;
      case SettingForm::Text:
        return;
      case SettingForm::Count:
        if (!v.empty() && v.size() <= 9 && v.find_first_not_of("0123456789") == std::string::npos)
          return;
        Problem(number, key + " \"" + v + "\" is not a whole number: the node takes the default " +
                            std::string(s.defaultValue));
        return;
      case SettingForm::Uid: {
        std::string uid = v;
        std::erase(uid, '"');
        if (uid.size() == 8 && uid.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
          return;
        Problem(number, "UID \"" + uid + "\" is not 8 hex digits");
        return;
      }
    }
  }

  std::string name_;
  std::vector<Finding>& out_;
};

}  // namespace

bool ReadRegularFile(const std::string& path, size_t maxBytes, std::string& text,
                     std::string& why) {
  // O_NONBLOCK: a FIFO must not hold the tool in open() until someone writes to it.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    struct stat link {};
    why = error == ENOENT && ::lstat(path.c_str(), &link) == 0
              ? "a symbolic link to a file that does not exist"
              : std::string("cannot be opened: ") + std::strerror(error);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = S_ISDIR(st.st_mode)    ? "a folder, not a file"
          : S_ISFIFO(st.st_mode) ? "a FIFO, not a file"
                                 : "not a regular file";
    ::close(fd);
    return false;
  }
  // The buffer grows with what is read, from the size the file has now: a settings file of a
  // few hundred bytes must not make a node fill (and keep in its heap) a buffer of maxBytes.
  const size_t expected = static_cast<size_t>(std::max<off_t>(st.st_size, 0)) + 1;
  text.resize(std::min(maxBytes, std::max<size_t>(expected, 4096)));
  size_t got = 0;
  while (got < maxBytes) {
    if (got == text.size()) text.resize(std::min(maxBytes, text.size() * 2));
    const ssize_t n = ::read(fd, text.data() + got, text.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      why = std::string("cannot be read: ") + std::strerror(errno);
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  ::close(fd);
  text.resize(got);
  text.shrink_to_fit();
  return true;
}

std::vector<Finding> CheckConfigText(std::string_view file, std::string_view text) {
  std::vector<Finding> out;
  FileCheck("Config/" + std::string(file), out).RunText(text, file);
  return out;
}

std::vector<Finding> CheckConfig(const std::string& folder) {
  std::vector<Finding> out;
  for (std::string_view file : {"Drumlin.ini", "Sablewick.ini"}) {
    const std::string name = "Config/" + std::string(file);
    FileCheck(name, out).Run(folder + "/" + name, file);
  }
  return out;
}

}  // namespace sablewick
