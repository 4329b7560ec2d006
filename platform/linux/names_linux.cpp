// Name resolution through the system's resolver (getaddrinfo), IPv4 only.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

#include "linux/linux_parts.h"
#include "platform/winerror.h"

namespace platform::linuxhost {
namespace {

DWORD SocketsCodeOf(int error) {
  switch (error) {
    case EAI_NONAME:
      return WSAHOST_NOT_FOUND;
    case EAI_AGAIN:
      return WSATRY_AGAIN;
#ifdef EAI_NODATA
    case EAI_NODATA:
      return WSANO_DATA;
#endif
#ifdef EAI_ADDRFAMILY
    case EAI_ADDRFAMILY:
      return WSANO_DATA;
#endif
    default:  // EAI_FAIL, EAI_MEMORY, EAI_SYSTEM ...
      return WSANO_RECOVERY;
  }
}

class LinuxNames final : public NameResolver {
 public:
  DWORD Resolve(const std::string& name, DWORD* address) override {
    *address = 0;
    if (name.empty()) return WSAHOST_NOT_FOUND;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    int error = getaddrinfo(name.c_str(), nullptr, &hints, &found);
    if (error != 0) return SocketsCodeOf(error);
    DWORD status = WSANO_DATA;
    for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
      if (entry->ai_family != AF_INET || entry->ai_addrlen < sizeof(sockaddr_in)) continue;
      sockaddr_in ipv4;
      std::memcpy(&ipv4, entry->ai_addr, sizeof ipv4);
      *address = ipv4.sin_addr.s_addr;
      status = ERROR_SUCCESS;
      break;
    }
    freeaddrinfo(found);
    return status;
  }
};

}  // namespace

std::unique_ptr<NameResolver> MakeNameResolver() { return std::make_unique<LinuxNames>(); }

}  // namespace platform::linuxhost
