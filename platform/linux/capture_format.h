// The capture driver's buffer format: each packet behind a 20-byte header,
// the next header at the next multiple of 4. Reads produce it; a multiple
// write hands a buffer of it in, which is parsed here before anything is sent.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/npf.h"

namespace platform::linuxhost {

struct FrameSpan {
  std::size_t offset;  // of the frame's first byte in the buffer
  std::size_t length;
};

// Splits a multiple-write buffer into its frames. Rejects the whole buffer
// (false, with the reason) when a header is cut short, a header length is
// below 20, or a frame runs past the end; an empty buffer holds no frames.
bool SplitCaptureBuffer(const std::uint8_t* data, std::size_t size, std::vector<FrameSpan>* frames, std::string* why);

// Writes one packet's header at `at` (20 bytes, unaligned access is fine).
void WriteCaptureHeader(std::uint8_t* at, std::int64_t seconds, std::int64_t microseconds, std::uint32_t capturedLength,
                        std::uint32_t wireLength);

// The room a packet of `captured` bytes takes in the format: its header, its
// bytes and the padding to the next header.
inline std::size_t CaptureRoomOf(std::size_t captured) { return npf::Packet_WORDALIGN(sizeof(npf::bpf_hdr) + captured); }

// The driver's buffer: packets in arrival order, already in the format a
// read hands out, in one byte area that is reused as it empties. A read is
// then one copy of whole packets, not a copy per packet.
class CaptureQueue {
 public:
  bool empty() const { return begin_ == end_; }
  // The room the queued packets take (the sum of their CaptureRoomOf).
  std::size_t bytes() const { return end_ - begin_; }

  void Append(std::int64_t seconds, std::int64_t microseconds, std::uint32_t wireLength, const std::uint8_t* data,
              std::size_t captured);
  // Moves the oldest packets into `out` (`size` bytes), as many as fit whole:
  // a packet fits when its header and bytes do, the padding of the last one
  // may be left out. A first packet larger than all of `out` is cut to fit
  // rather than blocking the queue for ever. Returns the bytes written.
  std::size_t Take(std::uint8_t* out, std::size_t size);
  void Clear() { begin_ = end_ = 0; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t begin_ = 0;  // the oldest packet's header
  std::size_t end_ = 0;    // after the newest packet's padding
};

}  // namespace platform::linuxhost
