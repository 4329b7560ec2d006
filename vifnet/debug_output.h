// The library's debug text, written through the sink its caller installs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vifnet.h"

namespace vifnet {

// Debug-flag bits of TUNSETDEBUG.
constexpr std::uint32_t kDebugOldNew = 0x80000000;
constexpr std::uint32_t kDebugContents = 0x40000000;
constexpr std::uint32_t kDebugArpRead = 0x00008000;
constexpr std::uint32_t kDebugArpWritten = 0x00000080;
constexpr std::uint32_t kDebugOtherRead = 0x00004000;
constexpr std::uint32_t kDebugOtherWritten = 0x00000040;

void SetDebugSink(vifnet32_debug_output_func_t sink);

void DebugLine(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A hex dump of a frame, 16 bytes a line.
void DebugDump(const void* data, std::size_t size);

}  // namespace vifnet
