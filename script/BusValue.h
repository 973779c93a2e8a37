// The object server's wire format, shared by the daemon (ObjectServer) and the script runner's
// proxy: the names and paths other processes use, and how a script value travels in a D-Bus
// message. This file depends only on the engine's values and sd-bus, so the runner can build it
// without the rest of the daemon.
//
// A value travels as a "tagged value", signature (qv): the tag is the value's VarType number and
// the variant holds its payload, so a script on the other side gets back exactly the type it
// would have seen in process:
//
//   tag   type      payload        tag   type      payload
//   0     Empty     y 0            7     Date      d (day serial)
//   1     Null      y 0            8     String    s, or ay when not valid UTF-8 or holding NUL
//   2     Integer   n              9     Object    o (a path of the server; "/" is Nothing)
//   3     Long      i              10    Error     i
//   4     Single    d              11    Boolean   b
//   5     Double    d              17    Byte      y
//   6     Currency  x (x 10000)    8204  Array     (a(ii)a(qv)): (lower, count) per dimension,
//                                                  then the elements, first index fastest
//
// Arguments travel as av. Each element is either a tagged value (what the runner sends) or a
// plain D-Bus value, for callers using busctl, gdbus, dbus-send or Python: y b n i d s ay and
// o map to Byte, Boolean, Integer, Long, Double, String, String and Object; q, u, x and t to
// Long when they fit, else Double; g to String; an array of anything else to a one-dimension
// Array. Dictionaries and unix fds are refused.
#pragma once

#include <sys/un.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Variant.h"

namespace sablewick {

inline constexpr char kBusName[] = "org.sablewick.Sablewick";
inline constexpr char kFactoryPath[] = "/org/sablewick/Sablewick";
inline constexpr char kFactoryInterface[] = "org.sablewick.Sablewick.Factory";
// Every object handed out lives below this path: kObjectsPath + "/" + a number never reused.
inline constexpr char kObjectsPath[] = "/org/sablewick/Sablewick/objects";
// Offered by every object: Invoke, TypeName, MemberNames, Enumerate, Release.
inline constexpr char kObjectInterface[] = "org.sablewick.Sablewick.Object";
// Prefix of the interface generated from a host class's member table (+ its TypeName).
inline constexpr char kClassInterfacePrefix[] = "org.sablewick.Sablewick.";
// The D-Bus error of a script error; its message is "<number>: <description>".
inline constexpr char kScriptErrorName[] = "org.sablewick.Sablewick.ScriptError";
// The environment variable through which started processes learn the daemon's address.
inline constexpr char kAddressVariable[] = "SABLEWICK_ADDRESS";

inline constexpr char kTaggedSignature[] = "(qv)";

// The control service of sablewick-ctl: each client gets an object of its own at this path.
inline constexpr char kControlPath[] = "/org/sablewick/Sablewick/control";
inline constexpr char kControlInterface[] = "org.sablewick.Sablewick.Control";
// The signal Traced: a batch of received messages, each (seq, time in seconds since 1970,
// injected, source, target, class, sections joined by ",", positions of the subscriptions it
// passed, text, messages lost before it). Native types rather than tagged values: a follower
// under a flood must cost the node little. Texts are bytes, as received.
inline constexpr char kTracedSignature[] = "a(tdbayayayayauayt)";

// Where the private socket is when nobody says otherwise: $XDG_RUNTIME_DIR/sablewick/bus, or
// /tmp/sablewick-<uid>/bus without a runtime folder.
std::string DefaultSocketFolder();
std::string DefaultSocketPath();

// The lock a node holds in its install folder while it runs (one node per folder): the
// node's pid on the first line, its control address on the second once it serves one.
inline constexpr char kFolderLock[] = "Data/sablewick.lock";
// The control address of the node running from folder; "" when none runs there.
std::string FolderNodeAddress(const std::string& folder);

// A connection to the running daemon: the address given (when not empty), else
// $SABLEWICK_ADDRESS, else the node of the folder a node of this user takes (core/Folder.h:
// the folder this program is in for a tool beside the node's binary in a portable install,
// else $SABLEWICK_FOLDER or ~/.local/share/sablewick), else the daemon's name on the session
// bus, else the default socket.
// Null when none answers; tried lists what was tried, for the message. onSessionBus tells
// that calls must name kBusName as their destination.
// A socket is connected and its server's uid checked (SO_PEERCRED) before anything is sent:
// one served by another user (a folder in /tmp made first by someone else, a name taken on
// the session bus) is refused, the search ends there, and refusal says so in words naming
// the uid and the socket. Only unix: addresses are accepted, for that check.
sd_bus* ConnectToDaemon(const std::string& address, std::string& tried, bool& onSessionBus,
                        std::string& refusal);

// The socket one "unix:" address names ("path=" or "abstract=", %-escapes undone; the
// abstract name with its leading NUL), its length for connect(), and how to show it ("@" for
// abstract). False for any other transport or a malformed address.
bool UnixSocketOf(std::string_view address, sockaddr_un& where, socklen_t& length,
                  std::string& shown);

// Objects cross the wire as paths; each side says how its objects become paths and back.
// Both throw vbs::ScriptError when they cannot.
class ObjectMapper {
 public:
  virtual std::string PathOf(vbs::HostObject* object) = 0;
  virtual vbs::Variant ObjectAt(std::string_view path) = 0;

 protected:
  ~ObjectMapper() = default;
};

// All of these throw vbs::ScriptError: 13 for a value that has no form on the other side, 5
// for a malformed message, 7 when sd-bus runs out of memory.
void AppendTagged(sd_bus_message* m, const vbs::Variant& value, ObjectMapper& objects);
vbs::Variant ReadTagged(sd_bus_message* m, ObjectMapper& objects);
// Reads one element of an av argument list (the variant itself), tagged or plain.
vbs::Variant ReadArgument(sd_bus_message* m, ObjectMapper& objects);
// Appends the argument list as av, each element tagged.
void AppendArguments(sd_bus_message* m, vbs::Args args, ObjectMapper& objects);
// Reads an av argument list until its end.
std::vector<vbs::Variant> ReadArguments(sd_bus_message* m, ObjectMapper& objects);

// A script error as a D-Bus error, and back. sd_bus_error_set's result (negative) is returned
// so a method handler can return it directly.
int SetScriptError(sd_bus_error* error, int32_t number, std::string_view description);
// True (number and description filled) when the error is one that SetScriptError made.
bool ParseScriptError(const sd_bus_error* error, int32_t& number, std::string& description);

// Throws ScriptError 5 (or 7 for -ENOMEM) when an sd-bus call failed.
void CheckBus(int result, std::string_view what);

}  // namespace sablewick
