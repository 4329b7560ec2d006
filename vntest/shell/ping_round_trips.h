// The round trips of the ping test so far, for the window's chart: one entry
// per echo request sent, in send order.
#pragma once

#include <vector>

class CVN32TestEngineState;

struct PingRoundTrip {
  enum class State { kWaiting, kReplied, kTimedOut };
  State state = State::kWaiting;
  unsigned milliseconds = 0;  // of the first reply, when kReplied
};

// Reads the view's ping list under its lock. Any thread but one that holds a
// lock ordered after the ping list's.
std::vector<PingRoundTrip> ReadPingRoundTrips(CVN32TestEngineState& view);
