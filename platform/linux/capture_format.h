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

}  // namespace platform::linuxhost
