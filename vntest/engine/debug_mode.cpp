#include "engine/debug_mode.h"

std::atomic<bool> DebugMode{false};
