#include "script/BusValue.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "core/Folder.h"
#include "engine/Errors.h"

namespace sablewick {

using vbs::Variant;
using vbs::VarType;

namespace {

// Arrays of arrays may nest; a peer must not make us recurse without end.
constexpr int kMaxDepth = 32;
constexpr int kMaxDimensions = 60;

// The rule sd-bus applies to every 's': UTF-8 without NUL, surrogates or noncharacters. A
// text that breaks it travels as bytes instead of failing the call.
bool IsBusString(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c == 0) return false;
    if (c < 0x80) {
      ++i;
      continue;
    }
    int len;
    uint32_t ch;
    if ((c & 0xE0) == 0xC0) len = 2, ch = c & 0x1F;
    else if ((c & 0xF0) == 0xE0) len = 3, ch = c & 0x0F;
    else if ((c & 0xF8) == 0xF0) len = 4, ch = c & 0x07;
    else return false;
    if (i + len > s.size()) return false;
    for (int k = 1; k < len; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d & 0xC0) != 0x80) return false;
      ch = (ch << 6) | (d & 0x3F);
    }
    const uint32_t minimum = len == 2 ? 0x80 : len == 3 ? 0x800 : 0x10000;
    if (ch < minimum || ch >= 0x110000) return false;
    if ((ch & 0xFFFFF800) == 0xD800) return false;
    if (ch >= 0xFDD0 && ch <= 0xFDEF) return false;
    if ((ch & 0xFFFE) == 0xFFFE) return false;
    i += len;
  }
  return true;
}

[[noreturn]] void Malformed(std::string_view what) {
  vbs::Throw(vbs::kInvalidCall, "malformed value in the D-Bus message: " + std::string(what));
}

void OpenValue(sd_bus_message* m, uint16_t tag, const char* contents) {
  CheckBus(sd_bus_message_open_container(m, 'r', "qv"), "open value");
  CheckBus(sd_bus_message_append_basic(m, 'q', &tag), "append tag");
  CheckBus(sd_bus_message_open_container(m, 'v', contents), "open payload");
}

void CloseValue(sd_bus_message* m) {
  CheckBus(sd_bus_message_close_container(m), "close payload");
  CheckBus(sd_bus_message_close_container(m), "close value");
}

template <class T>
void AppendBasic(sd_bus_message* m, uint16_t tag, char type, T value) {
  const char contents[2] = {type, 0};
  OpenValue(m, tag, contents);
  CheckBus(sd_bus_message_append_basic(m, type, &value), "append value");
  CloseValue(m);
}

void AppendTaggedAt(sd_bus_message* m, const Variant& value0, ObjectMapper& objects, int depth) {
  if (depth > kMaxDepth) vbs::Throw(vbs::kOutOfStack, "arrays nested too deeply to send");
  const Variant& v = value0.Deref();
  const auto tag = static_cast<uint16_t>(v.Type());
  switch (v.Type()) {
    case VarType::Empty:
    case VarType::Null: AppendBasic<uint8_t>(m, tag, 'y', 0); return;
    case VarType::Integer: AppendBasic<int16_t>(m, tag, 'n', v.AsInteger()); return;
    case VarType::Long: AppendBasic<int32_t>(m, tag, 'i', v.AsLong()); return;
    case VarType::Single: AppendBasic<double>(m, tag, 'd', v.AsSingle()); return;
    case VarType::Double:
    case VarType::Date: AppendBasic<double>(m, tag, 'd', v.AsDouble()); return;
    case VarType::Currency: AppendBasic<int64_t>(m, tag, 'x', v.AsCurrency()); return;
    case VarType::Error: AppendBasic<int32_t>(m, tag, 'i', v.AsLong()); return;
    case VarType::Boolean: AppendBasic<int>(m, tag, 'b', v.AsBoolean() ? 1 : 0); return;
    case VarType::Byte: AppendBasic<uint8_t>(m, tag, 'y', v.AsByte()); return;
    case VarType::String: {
      const std::string& s = v.AsString();
      if (IsBusString(s)) {
        OpenValue(m, tag, "s");
        CheckBus(sd_bus_message_append_basic(m, 's', s.c_str()), "append text");
      } else {
        OpenValue(m, tag, "ay");
        CheckBus(sd_bus_message_append_array(m, 'y', s.data(), s.size()), "append bytes");
      }
      CloseValue(m);
      return;
    }
    case VarType::Object: {
      const std::string path = v.IsNothing() ? std::string("/") : objects.PathOf(v.AsObject());
      OpenValue(m, tag, "o");
      CheckBus(sd_bus_message_append_basic(m, 'o', path.c_str()), "append object path");
      CloseValue(m);
      return;
    }
    case VarType::Array: {
      const vbs::ArrayRep& a = *v.AsArray();
      OpenValue(m, tag, "(a(ii)a(qv))");
      CheckBus(sd_bus_message_open_container(m, 'r', "a(ii)a(qv)"), "open array");
      CheckBus(sd_bus_message_open_container(m, 'a', "(ii)"), "open bounds");
      for (const auto& b : a.bounds)
        CheckBus(sd_bus_message_append(m, "(ii)", b.lower, b.count), "append bound");
      CheckBus(sd_bus_message_close_container(m), "close bounds");
      CheckBus(sd_bus_message_open_container(m, 'a', "(qv)"), "open elements");
      for (const auto& e : a.data) AppendTaggedAt(m, e, objects, depth + 1);
      CheckBus(sd_bus_message_close_container(m), "close elements");
      CheckBus(sd_bus_message_close_container(m), "close array");
      CloseValue(m);
      return;
    }
    case VarType::Ref: break;
  }
  vbs::Throw(vbs::kTypeMismatch, "a value of this type cannot be sent");
}

Variant ReadBytes(sd_bus_message* m) {
  const void* data = nullptr;
  size_t size = 0;
  CheckBus(sd_bus_message_read_array(m, 'y', &data, &size), "read bytes");
  return Variant::String(std::string(static_cast<const char*>(data), size));
}

template <class T>
T ReadBasic(sd_bus_message* m, char type) {
  T value{};
  CheckBus(sd_bus_message_read_basic(m, type, &value), "read value");
  return value;
}

std::string ReadText(sd_bus_message* m, char type) {
  const char* s = nullptr;
  CheckBus(sd_bus_message_read_basic(m, type, &s), "read text");
  return s ? s : "";
}

Variant Whole(int64_t n) {
  if (n >= INT32_MIN && n <= INT32_MAX) return Variant::Long(static_cast<int32_t>(n));
  return Variant::Double(static_cast<double>(n));
}

Variant ReadTaggedAt(sd_bus_message* m, ObjectMapper& objects, int depth);

// One plain value at the current position, whatever its type.
Variant ReadPlain(sd_bus_message* m, ObjectMapper& objects, int depth) {
  if (depth > kMaxDepth) Malformed("nested too deeply");
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, &type, &contents) <= 0) Malformed("missing value");
  switch (type) {
    case 'y': return Variant::Byte(ReadBasic<uint8_t>(m, 'y'));
    case 'b': return Variant::Boolean(ReadBasic<int>(m, 'b') != 0);
    case 'n': return Variant::Integer(ReadBasic<int16_t>(m, 'n'));
    case 'q': return Variant::Long(ReadBasic<uint16_t>(m, 'q'));
    case 'i': return Variant::Long(ReadBasic<int32_t>(m, 'i'));
    case 'u': return Whole(ReadBasic<uint32_t>(m, 'u'));
    case 'x': return Whole(ReadBasic<int64_t>(m, 'x'));
    case 't': {
      const uint64_t n = ReadBasic<uint64_t>(m, 't');
      return n <= INT32_MAX ? Variant::Long(static_cast<int32_t>(n))
                            : Variant::Double(static_cast<double>(n));
    }
    case 'd': return Variant::Double(ReadBasic<double>(m, 'd'));
    case 's':
    case 'g': return Variant::String(ReadText(m, type));
    case 'o': {
      const std::string path = ReadText(m, 'o');
      return path == "/" ? Variant::Nothing() : objects.ObjectAt(path);
    }
    case 'v': {
      CheckBus(sd_bus_message_enter_container(m, 'v', contents), "enter variant");
      Variant v = std::strcmp(contents, kTaggedSignature) == 0 ? ReadTaggedAt(m, objects, depth + 1)
                                                              : ReadPlain(m, objects, depth + 1);
      CheckBus(sd_bus_message_exit_container(m), "exit variant");
      return v;
    }
    case 'r':
      if (std::strcmp(contents, "qv") == 0) return ReadTaggedAt(m, objects, depth);
      vbs::Throw(vbs::kTypeMismatch, "a structure is not a script value");
    case 'a': {
      if (std::strcmp(contents, "y") == 0) return ReadBytes(m);
      if (contents[0] == '{') vbs::Throw(vbs::kTypeMismatch, "a dictionary is not a script value");
      CheckBus(sd_bus_message_enter_container(m, 'a', contents), "enter array");
      std::vector<Variant> items;
      while (sd_bus_message_at_end(m, false) == 0)
        items.push_back(ReadPlain(m, objects, depth + 1));
      CheckBus(sd_bus_message_exit_container(m), "exit array");
      Variant array = vbs::NewArray({static_cast<int32_t>(items.size())});
      auto& data = array.AsArray()->data;
      for (size_t i = 0; i < items.size(); ++i) data[i] = std::move(items[i]);
      return array;
    }
    default: break;
  }
  vbs::Throw(vbs::kTypeMismatch, std::string("D-Bus type '") + type + "' is not a script value");
}

// Reads the payload variant of a tagged value whose tag is known.
Variant ReadPayload(sd_bus_message* m, uint16_t tag, const char* contents, ObjectMapper& objects,
                    int depth) {
  auto expect = [&](const char* want) {
    if (std::strcmp(contents, want) != 0)
      Malformed("tag " + std::to_string(tag) + " with payload " + contents);
  };
  switch (static_cast<VarType>(tag)) {
    case VarType::Empty:
      CheckBus(sd_bus_message_skip(m, nullptr), "skip");
      return Variant();
    case VarType::Null:
      CheckBus(sd_bus_message_skip(m, nullptr), "skip");
      return Variant::Null();
    case VarType::Integer: expect("n"); return Variant::Integer(ReadBasic<int16_t>(m, 'n'));
    case VarType::Long: expect("i"); return Variant::Long(ReadBasic<int32_t>(m, 'i'));
    case VarType::Single:
      expect("d");
      return Variant::Single(static_cast<float>(ReadBasic<double>(m, 'd')));
    case VarType::Double: expect("d"); return Variant::Double(ReadBasic<double>(m, 'd'));
    case VarType::Date: expect("d"); return Variant::Date(ReadBasic<double>(m, 'd'));
    case VarType::Currency: expect("x"); return Variant::Currency(ReadBasic<int64_t>(m, 'x'));
    case VarType::Error: expect("i"); return Variant::Error(ReadBasic<int32_t>(m, 'i'));
    case VarType::Boolean: expect("b"); return Variant::Boolean(ReadBasic<int>(m, 'b') != 0);
    case VarType::Byte: expect("y"); return Variant::Byte(ReadBasic<uint8_t>(m, 'y'));
    case VarType::String:
      if (std::strcmp(contents, "ay") == 0) return ReadBytes(m);
      expect("s");
      return Variant::String(ReadText(m, 's'));
    case VarType::Object: {
      expect("o");
      const std::string path = ReadText(m, 'o');
      return path == "/" ? Variant::Nothing() : objects.ObjectAt(path);
    }
    case VarType::Array: {
      expect("(a(ii)a(qv))");
      CheckBus(sd_bus_message_enter_container(m, 'r', "a(ii)a(qv)"), "enter array");
      CheckBus(sd_bus_message_enter_container(m, 'a', "(ii)"), "enter bounds");
      std::vector<vbs::ArrayRep::Bound> bounds;
      int32_t lower = 0, count = 0;
      int r;
      while ((r = sd_bus_message_read(m, "(ii)", &lower, &count)) > 0) {
        if (count < 0 || bounds.size() >= kMaxDimensions) Malformed("array bounds");
        bounds.push_back({lower, count});
      }
      CheckBus(r, "read bounds");
      CheckBus(sd_bus_message_exit_container(m), "exit bounds");
      if (bounds.empty()) Malformed("array without dimensions");
      uint64_t total = 1;
      for (const auto& b : bounds) {
        total *= static_cast<uint64_t>(b.count);
        if (total > (1u << 26)) Malformed("array too large");
      }
      auto* rep = new vbs::ArrayRep;
      Variant array = Variant::Array(rep);
      rep->bounds = std::move(bounds);
      rep->data.reserve(total);
      CheckBus(sd_bus_message_enter_container(m, 'a', "(qv)"), "enter elements");
      while (sd_bus_message_at_end(m, false) == 0) {
        if (rep->data.size() >= total) Malformed("more elements than the bounds hold");
        rep->data.push_back(ReadTaggedAt(m, objects, depth + 1));
      }
      if (rep->data.size() != total) Malformed("fewer elements than the bounds hold");
      CheckBus(sd_bus_message_exit_container(m), "exit elements");
      CheckBus(sd_bus_message_exit_container(m), "exit array");
      return array;
    }
    case VarType::Ref: break;
  }
  Malformed("unknown tag " + std::to_string(tag));
}

Variant ReadTaggedAt(sd_bus_message* m, ObjectMapper& objects, int depth) {
  if (depth > kMaxDepth) Malformed("nested too deeply");
  CheckBus(sd_bus_message_enter_container(m, 'r', "qv"), "enter value");
  uint16_t tag = 0;
  CheckBus(sd_bus_message_read_basic(m, 'q', &tag), "read tag");
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != 'v') Malformed("payload");
  CheckBus(sd_bus_message_enter_container(m, 'v', contents), "enter payload");
  Variant v = ReadPayload(m, tag, contents, objects, depth);
  CheckBus(sd_bus_message_exit_container(m), "exit payload");
  CheckBus(sd_bus_message_exit_container(m), "exit value");
  return v;
}

}  // namespace

std::string DefaultSocketFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/sablewick";
  return "/tmp/sablewick-" + std::to_string(::getuid());
}

std::string DefaultSocketPath() { return DefaultSocketFolder() + "/bus"; }

std::string FolderNodeAddress(const std::string& folder) {
  const std::string path = folder + "/" + kFolderLock;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return "";
  std::string address;
  // Asked, not taken: a node starting now must not find it held by us.
  struct flock held {};
  held.l_type = F_WRLCK;
  held.l_whence = SEEK_SET;
  if (::fcntl(fd, F_OFD_GETLK, &held) == 0 && held.l_type != F_UNLCK) {
    char buf[4096];
    const ssize_t n = ::pread(fd, buf, sizeof buf, 0);
    if (n > 0) {
      const std::string text(buf, static_cast<size_t>(n));
      const size_t first = text.find('\n');
      const size_t second = first == std::string::npos ? first : text.find('\n', first + 1);
      if (second != std::string::npos) address = text.substr(first + 1, second - first - 1);
    }
  }
  ::close(fd);
  return address;
}

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

bool UnixSocketOf(std::string_view address, sockaddr_un& where, socklen_t& length,
                  std::string& shown) {
  constexpr std::string_view kUnix = "unix:";
  if (address.substr(0, kUnix.size()) != kUnix) return false;
  address.remove_prefix(kUnix.size());
  std::string path;
  bool abstract = false, found = false;
  while (!address.empty()) {
    const size_t comma = address.find(',');
    const std::string_view pair = address.substr(0, comma);
    address = comma == std::string_view::npos ? std::string_view() : address.substr(comma + 1);
    const size_t eq = pair.find('=');
    if (eq == std::string_view::npos) return false;
    const std::string_view key = pair.substr(0, eq);
    if (key != "path" && key != "abstract") continue;  // guid and the like
    if (found) return false;
    found = true;
    abstract = key == "abstract";
    const std::string_view value = pair.substr(eq + 1);
    for (size_t i = 0; i < value.size(); ++i) {
      if (value[i] != '%') {
        path += value[i];
        continue;
      }
      const int hi = i + 2 < value.size() ? HexDigit(value[i + 1]) : -1;
      const int lo = hi >= 0 ? HexDigit(value[i + 2]) : -1;
      if (lo < 0) return false;
      path += static_cast<char>(hi * 16 + lo);
      i += 2;
    }
  }
  const size_t room = sizeof where.sun_path - (abstract ? 1 : 0);
  if (!found || path.empty() || path.size() >= room || path.find('\0') != std::string::npos)
    return false;
  where = {};
  where.sun_family = AF_UNIX;
  std::memcpy(where.sun_path + (abstract ? 1 : 0), path.data(), path.size());
  length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 1 : 0));
  shown = abstract ? "@" + path : path;
  return true;
}

namespace {

enum class PeerResult { kConnected, kAbsent, kRefused };

// A peer connection to one address, or null. The socket is connected and the uid of the
// process that serves it (SO_PEERCRED) checked before sd-bus sends a single byte: a socket in
// a folder that another user made first, or an abstract name anyone may take, must not
// receive what we would tell the node. Such a peer is kRefused, with words in refusal.
sd_bus* ConnectPeer(std::string_view address, PeerResult& result, std::string& refusal) {
  result = PeerResult::kAbsent;
  sockaddr_un where{};
  socklen_t length = 0;
  std::string shown;
  if (!UnixSocketOf(address, where, length, shown)) {
    result = PeerResult::kRefused;
    refusal = "cannot tell who serves " + std::string(address) +
              ": the node is reached through a unix socket address (unix:path=...)";
    return nullptr;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return nullptr;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&where), length) != 0) {
    ::close(fd);
    return nullptr;
  }
  ucred cred{};
  socklen_t len = sizeof cred;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::geteuid()) {
    const bool known = len == sizeof cred;
    ::close(fd);
    result = PeerResult::kRefused;
    refusal = "refused " + shown + ": " +
              (known ? "it is served by uid " + std::to_string(cred.uid) + " (pid " +
                           std::to_string(cred.pid) + ")"
                     : std::string("who serves it cannot be told")) +
              ", not by this user (uid " + std::to_string(::geteuid()) +
              "); nothing was sent to it";
    return nullptr;
  }
  sd_bus* bus = nullptr;
  if (sd_bus_new(&bus) < 0) {
    ::close(fd);
    return nullptr;
  }
  // From here on the bus owns fd.
  if (sd_bus_set_fd(bus, fd, fd) < 0) {
    ::close(fd);
    return sd_bus_unref(bus);
  }
  if (sd_bus_start(bus) < 0) return sd_bus_unref(bus);
  result = PeerResult::kConnected;
  return bus;
}

// Each address of a ";"-separated list in turn, as sd-bus would; a refusal ends the search.
sd_bus* ConnectPeers(const std::string& addresses, PeerResult& result, std::string& refusal) {
  std::string_view rest = addresses;
  result = PeerResult::kAbsent;
  while (!rest.empty()) {
    const size_t semi = rest.find(';');
    const std::string_view one = rest.substr(0, semi);
    rest = semi == std::string_view::npos ? std::string_view() : rest.substr(semi + 1);
    if (one.empty()) continue;
    sd_bus* bus = ConnectPeer(one, result, refusal);
    if (result != PeerResult::kAbsent) return bus;
  }
  return nullptr;
}

// The session bus when the daemon's name is on it, held by this user, or null.
sd_bus* ConnectSessionBus(std::string& refusal) {
  sd_bus* bus = nullptr;
  if (sd_bus_open_user(&bus) < 0) return nullptr;
  sd_bus_message* reply = nullptr;
  int has = 0;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "NameHasOwner", nullptr, &reply, "s",
                         kBusName) < 0 ||
      sd_bus_message_read(reply, "b", &has) < 0 || !has) {
    sd_bus_message_unref(reply);
    return sd_bus_flush_close_unref(bus);
  }
  reply = sd_bus_message_unref(reply);
  // A session bus is the user's own; a bus that lets other users in must still not hand
  // them our calls.
  uint32_t uid = 0;
  if (sd_bus_call_method(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", "GetConnectionUnixUser", nullptr, &reply, "s",
                         kBusName) < 0 ||
      sd_bus_message_read(reply, "u", &uid) < 0 || uid != ::geteuid()) {
    sd_bus_message_unref(reply);
    refusal = std::string("refused the name ") + kBusName + " on the session bus: it is held by " +
              (reply != nullptr ? "uid " + std::to_string(uid) : std::string("an unknown user")) +
              ", not by this user (uid " + std::to_string(::geteuid()) + ")";
    return sd_bus_flush_close_unref(bus);
  }
  sd_bus_message_unref(reply);
  return bus;
}

}  // namespace

sd_bus* ConnectToDaemon(const std::string& address, std::string& tried, bool& onSessionBus,
                        std::string& refusal) {
  onSessionBus = false;
  refusal.clear();
  PeerResult result = PeerResult::kAbsent;
  if (!address.empty()) {
    tried += " " + address + ";";
    return ConnectPeers(address, result, refusal);
  }
  const char* given = std::getenv(kAddressVariable);
  if (given != nullptr && given[0] != 0) {
    tried += std::string(" ") + given + ";";
    sd_bus* bus = ConnectPeers(given, result, refusal);
    if (result != PeerResult::kAbsent) return bus;
  }
  char exe[4096];
  const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  if (n > 0) {
    std::string programFolder(exe, static_cast<size_t>(n));
    programFolder.erase(programFolder.rfind('/'));
    // The folder a node of this user takes (core/Folder.h): this program's own in a portable
    // install, else $SABLEWICK_FOLDER or the user's data folder.
    const std::string folder =
        ChooseInstanceFolder(programFolder, "", FolderEnvironment()).path;
    const std::string own = folder.empty() ? std::string() : FolderNodeAddress(folder);
    if (!own.empty()) {
      tried += " the node of " + folder + " (" + own + ");";
      // That node, or none: another folder's node would be the wrong one.
      return ConnectPeers(own, result, refusal);
    }
  }
  tried += std::string(" session bus name ") + kBusName + ";";
  if (sd_bus* bus = ConnectSessionBus(refusal)) {
    onSessionBus = true;
    return bus;
  }
  if (!refusal.empty()) return nullptr;
  const std::string fallback = "unix:path=" + DefaultSocketPath();
  tried += " " + fallback;
  return ConnectPeers(fallback, result, refusal);
}

void CheckBus(int result, std::string_view what) {
  if (result >= 0) return;
  if (result == -ENOMEM) vbs::Throw(vbs::kOutOfMemory);
  vbs::Throw(vbs::kInvalidCall,
             "D-Bus: " + std::string(what) + ": " + std::strerror(-result));
}

void AppendTagged(sd_bus_message* m, const Variant& value, ObjectMapper& objects) {
  AppendTaggedAt(m, value, objects, 0);
}

Variant ReadTagged(sd_bus_message* m, ObjectMapper& objects) { return ReadTaggedAt(m, objects, 0); }

Variant ReadArgument(sd_bus_message* m, ObjectMapper& objects) {
  char type = 0;
  const char* contents = nullptr;
  if (sd_bus_message_peek_type(m, &type, &contents) <= 0 || type != 'v') Malformed("argument");
  return ReadPlain(m, objects, 0);
}

void AppendArguments(sd_bus_message* m, vbs::Args args, ObjectMapper& objects) {
  CheckBus(sd_bus_message_open_container(m, 'a', "v"), "open arguments");
  for (Variant* a : args) {
    CheckBus(sd_bus_message_open_container(m, 'v', kTaggedSignature), "open argument");
    AppendTagged(m, *a, objects);
    CheckBus(sd_bus_message_close_container(m), "close argument");
  }
  CheckBus(sd_bus_message_close_container(m), "close arguments");
}

std::vector<Variant> ReadArguments(sd_bus_message* m, ObjectMapper& objects) {
  std::vector<Variant> out;
  CheckBus(sd_bus_message_enter_container(m, 'a', "v"), "enter arguments");
  while (sd_bus_message_at_end(m, false) == 0) out.push_back(ReadArgument(m, objects));
  CheckBus(sd_bus_message_exit_container(m), "exit arguments");
  return out;
}

int SetScriptError(sd_bus_error* error, int32_t number, std::string_view description) {
  const std::string message = std::to_string(number) + ": " + std::string(description);
  return sd_bus_error_set(error, kScriptErrorName, message.c_str());
}

bool ParseScriptError(const sd_bus_error* error, int32_t& number, std::string& description) {
  if (error == nullptr || error->name == nullptr || error->message == nullptr) return false;
  if (std::strcmp(error->name, kScriptErrorName) != 0) return false;
  const char* text = error->message;
  const char* end = text + std::strlen(text);
  auto [p, ec] = std::from_chars(text, end, number);
  if (ec != std::errc() || p == text) return false;
  if (p < end && *p == ':') ++p;
  if (p < end && *p == ' ') ++p;
  description.assign(p, end);
  return true;
}

}  // namespace sablewick
