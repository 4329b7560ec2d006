// The process-wide debug switch: ignored packets are explained in the log and
// the interface is brought up with IFF_DEBUG. Set by the settings, read by
// every monitor thread.
#pragma once

#include <atomic>

extern std::atomic<bool> DebugMode;

inline void SetDebugMode(bool on) { DebugMode.store(on); }
