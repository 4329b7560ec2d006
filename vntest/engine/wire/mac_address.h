#pragma once

#include <array>

#include "platform/wintypes.h"

namespace wire {
using MacAddress = std::array<BYTE, 6>;
}  // namespace wire
