// The tools read the node's address from --address, $SABLEWICK_ADDRESS and the folder lock
// (a file another program wrote): any bytes must give a socket address that fits, or none.
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "script/BusValue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  sockaddr_un where{};
  socklen_t length = 0;
  std::string shown;
  if (!sablewick::UnixSocketOf(text, where, length, shown)) return 0;
  const size_t base = offsetof(sockaddr_un, sun_path);
  if (where.sun_family != AF_UNIX || length <= base || length > sizeof where) std::abort();
  const bool abstract = where.sun_path[0] == '\0';
  const std::string_view name(where.sun_path + (abstract ? 1 : 0),
                              length - base - (abstract ? 1 : 0));
  if (name.empty() || name.find('\0') != std::string_view::npos) std::abort();
  // A path is NUL-terminated for the kernel; what is shown is what is connected to.
  if (!abstract && where.sun_path[length - base] != '\0') std::abort();
  if (shown != (abstract ? "@" + std::string(name) : std::string(name))) std::abort();
  return 0;
}
