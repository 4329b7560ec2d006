// The little of the sockets library the engine uses: byte order, waiting for a
// descriptor to become readable, and ending such waits.
#pragma once

#include <cstdint>

namespace platform {

constexpr std::uint16_t htons(std::uint16_t v) { return static_cast<std::uint16_t>((v << 8) | (v >> 8)); }
constexpr std::uint16_t ntohs(std::uint16_t v) { return htons(v); }
constexpr std::uint32_t htonl(std::uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0xFF00u) | ((v << 8) & 0xFF0000u) | (v << 24);
}
constexpr std::uint32_t ntohl(std::uint32_t v) { return htonl(v); }

// Waits until `fd` is readable, has hung up, or has been shut down by
// CloseSocket from another thread. timeoutMs < 0 waits without limit.
// Returns 1 when readable, 0 on time-out, -1 on error (errno set).
int SelectReadable(int fd, int timeoutMs);

// Shuts the socket down for both directions, which ends every wait on it, but
// keeps the descriptor number reserved until its owner closes it, so that a
// number can never be reused under a thread that still holds it. A descriptor
// that cannot be shut down (not a socket, or a packet socket) is replaced in
// place by a dead descriptor and its SelectReadable waiters are woken: reads
// then end at once (0 bytes), writes fail (EBADF, never a signal) and the
// owner still closes the number. Returns 0,
// or -1 with errno set for a descriptor that is not open.
int CloseSocket(int fd);

}  // namespace platform
