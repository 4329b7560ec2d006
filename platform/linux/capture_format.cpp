#include "linux/capture_format.h"

#include <cstring>

namespace platform::linuxhost {

bool SplitCaptureBuffer(const std::uint8_t* data, std::size_t size, std::vector<FrameSpan>* frames, std::string* why) {
  frames->clear();
  std::size_t offset = 0;
  while (offset < size) {
    if (size - offset < sizeof(npf::bpf_hdr)) {
      *why = "truncated header at offset " + std::to_string(offset);
      frames->clear();
      return false;
    }
    npf::bpf_hdr header;
    std::memcpy(&header, data + offset, sizeof header);
    if (header.bh_hdrlen < sizeof(npf::bpf_hdr)) {
      *why = "header length " + std::to_string(header.bh_hdrlen) + " below 20 at offset " + std::to_string(offset);
      frames->clear();
      return false;
    }
    std::size_t room = size - offset;
    if (header.bh_hdrlen > room || header.bh_caplen > room - header.bh_hdrlen) {
      *why = "frame of " + std::to_string(header.bh_caplen) + " bytes runs past the end at offset " +
             std::to_string(offset);
      frames->clear();
      return false;
    }
    std::size_t end = offset + header.bh_hdrlen + header.bh_caplen;
    frames->push_back({offset + header.bh_hdrlen, header.bh_caplen});
    // The padding after the last frame may be left out.
    offset = end >= size ? size : npf::Packet_WORDALIGN(end);
  }
  return true;
}

void WriteCaptureHeader(std::uint8_t* at, std::int64_t seconds, std::int64_t microseconds, std::uint32_t capturedLength,
                        std::uint32_t wireLength) {
  npf::bpf_hdr header{};
  header.bh_tstamp.tv_sec = static_cast<std::int32_t>(seconds);
  header.bh_tstamp.tv_usec = static_cast<std::int32_t>(microseconds);
  header.bh_caplen = capturedLength;
  header.bh_datalen = wireLength;
  header.bh_hdrlen = sizeof(npf::bpf_hdr);
  std::memcpy(at, &header, sizeof header);
}

}  // namespace platform::linuxhost
