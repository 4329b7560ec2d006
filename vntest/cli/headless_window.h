// The headless program's window: a queue of posted messages that the main
// loop drains, and a log that goes to standard output as it arrives.
//
// A guest answering a flood logs lines faster than the main loop takes them:
// waking the loop for each hand-off would cost the answering thread a wake-up
// per reply. For a short while after the loop took a log-drain message, a
// new one is queued without waking it; the loop looks again when that while
// is over, so the lines arrive in batches at most kLogBatchWindow late.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>
#include <string>

#include "shell/view_window.h"

class HeadlessWindow : public ViewWindow {
 public:
  static constexpr std::chrono::milliseconds kLogBatchWindow{2};

  bool WindowExists() const override;
  void PostMessage(UINT message) override;
  // Writes the text to standard output and, while keeping, keeps it (for
  // the saved log, or the ping test's verdict); while muted the text is
  // dropped.
  void AppendText(const std::string& text) override;
  void SetMuted(bool muted) { m_bMuted = muted; }
  // A guest that serves for hours logs two lines per request it answers:
  // only a run that needs the text keeps it. Keeping no more lets go of
  // what was kept.
  void SetKeeping(bool keep);

  // The main loop: the next posted message, waiting until `deadline` at most
  // (a log-drain message queued without a wake-up is handed out when its
  // batch window ends, or before it with a message posted after it).
  std::optional<UINT> NextMessage(std::chrono::steady_clock::time_point deadline);
  // Every message posted so far, without waiting.
  std::optional<UINT> PollMessage();

  void Close();
  const std::string& Text() const { return m_text; }

 private:
  mutable std::mutex m_lock;
  std::condition_variable m_posted;
  std::deque<UINT> m_queue;
  // Until then a posted log-drain message does not wake the main loop.
  std::chrono::steady_clock::time_point m_quietUntil{};
  bool m_bClosed = false;
  std::string m_text;    // the window's thread only
  bool m_bMuted = false;  // the window's thread only
  bool m_bKeeping = true;  // the window's thread only
};
