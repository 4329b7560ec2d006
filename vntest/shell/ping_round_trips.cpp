#include "shell/ping_round_trips.h"

#include "engine/engine_state.h"

std::vector<PingRoundTrip> ReadPingRoundTrips(CVN32TestEngineState& view) {
  std::vector<PingRoundTrip> trips;
  platform::Guard lock(view.csPingList);
  trips.reserve(view.PingList.size());
  for (const CPing& ping : view.PingList) {
    PingRoundTrip trip;
    if (ping.nReplies > 0) {
      trip.state = PingRoundTrip::State::kReplied;
      trip.milliseconds = ping.dwReplyTime - ping.dwSendTime;
    } else if (ping.nTimedOut > 0) {
      trip.state = PingRoundTrip::State::kTimedOut;
    }
    trips.push_back(trip);
  }
  return trips;
}
