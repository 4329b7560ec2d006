// The headless program's message queue: log-drain messages posted while the
// main loop is inside its batch window do not wake it, yet still reach it,
// in the order they were posted.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "headless_window.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(HeadlessWindow, DrainPostedWithinTheBatchWindowReachesTheWaitingLoop) {
  HeadlessWindow window;
  window.PostMessage(WM_APP_DRAIN_LOG);
  ASSERT_EQ(window.NextMessage(Clock::now()), std::optional<UINT>(WM_APP_DRAIN_LOG));
  // The next drain comes within the batch window (no wake-up) while the loop
  // waits with a distant deadline: the loop must look again when the window
  // ends instead of sleeping until the deadline.
  std::thread writer([&window] { window.PostMessage(WM_APP_DRAIN_LOG); });
  const Clock::time_point start = Clock::now();
  const std::optional<UINT> message = window.NextMessage(start + std::chrono::seconds(120));
  writer.join();
  EXPECT_EQ(message, std::optional<UINT>(WM_APP_DRAIN_LOG));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(60)) << "the loop slept until its deadline";
}

TEST(HeadlessWindow, MessagesKeepTheirOrderAcrossAQuietDrain) {
  HeadlessWindow window;
  window.PostMessage(WM_APP_DRAIN_LOG);
  ASSERT_EQ(window.NextMessage(Clock::now()), std::optional<UINT>(WM_APP_DRAIN_LOG));
  window.PostMessage(WM_APP_DRAIN_LOG);
  window.PostMessage(WM_APP_MONITOR_ENDED);
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(120);
  EXPECT_EQ(window.NextMessage(deadline), std::optional<UINT>(WM_APP_DRAIN_LOG));
  EXPECT_EQ(window.NextMessage(deadline), std::optional<UINT>(WM_APP_MONITOR_ENDED));
  EXPECT_EQ(window.NextMessage(Clock::now()), std::nullopt) << "nothing left, the deadline passed";
  window.Close();
  window.PostMessage(WM_APP_DRAIN_LOG);
  EXPECT_EQ(window.PollMessage(), std::nullopt) << "a closed window takes no messages";
}

}  // namespace
