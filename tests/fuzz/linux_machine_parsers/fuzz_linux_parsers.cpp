// The linux machine's parsers of outside bytes: a multiple-write buffer from
// the caller, an ARP answer from the wire, the resolver and os-release files,
// the kernel's multicast list.
// The first byte picks the parser; the rest is its input.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "linux/arp_packet_linux.h"
#include "linux/capture_format.h"
#include "linux/multicast_list_linux.h"
#include "linux/os_release_linux.h"
#include "linux/resolv_conf_linux.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform::linuxhost;
  if (size == 0) return 0;
  const std::uint8_t* input = data + 1;
  const std::size_t length = size - 1;
  switch (data[0] % 5) {
    case 0: {
      // Copied so that a read past the end is a read past an allocation.
      std::vector<std::uint8_t> buffer(input, input + length);
      std::vector<FrameSpan> frames;
      std::string why;
      if (SplitCaptureBuffer(buffer.data(), buffer.size(), &frames, &why)) {
        for (const FrameSpan& frame : frames) {
          if (frame.offset > buffer.size() || frame.length > buffer.size() - frame.offset) __builtin_trap();
        }
      } else if (why.empty() || !frames.empty()) {
        __builtin_trap();
      }
      break;
    }
    case 1: {
      std::vector<std::uint8_t> reply(input, input + length);
      std::array<std::uint8_t, 6> mac{};
      std::uint32_t from = 0;
      if (length >= 18) __builtin_memcpy(&from, input + 14, 4);
      (void)ParseArpReply(reply.data(), reply.size(), from, &mac);
      break;
    }
    case 2:
      (void)ParseResolverConfig(std::string(reinterpret_cast<const char*>(input), length));
      break;
    case 3:
      (void)ParseOsReleaseFields(std::string(reinterpret_cast<const char*>(input), length));
      break;
    default:
      (void)ParseMulticastList(std::string(reinterpret_cast<const char*>(input), length), 3);
      break;
  }
  return 0;
}
