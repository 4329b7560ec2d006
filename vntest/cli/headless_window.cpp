#include "headless_window.h"

#include <algorithm>
#include <cstdio>

bool HeadlessWindow::WindowExists() const {
  std::lock_guard lock(m_lock);
  return !m_bClosed;
}

void HeadlessWindow::PostMessage(UINT message) {
  {
    std::lock_guard lock(m_lock);
    if (m_bClosed) return;
    m_queue.push_back(message);
    if (message == WM_APP_DRAIN_LOG && std::chrono::steady_clock::now() < m_quietUntil) return;
  }
  m_posted.notify_one();
}

void HeadlessWindow::AppendText(const std::string& text) {
  if (m_bMuted) return;
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fflush(stdout);
  if (m_bKeeping) m_text += text;
}

void HeadlessWindow::SetKeeping(bool keep) {
  m_bKeeping = keep;
  if (!keep) std::string().swap(m_text);
}

std::optional<UINT> HeadlessWindow::NextMessage(std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  std::unique_lock lock(m_lock);
  while (m_queue.empty()) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return std::nullopt;
    // Within a batch window a drain message may arrive unannounced: look
    // again when the window ends.
    m_posted.wait_until(lock, m_quietUntil > now ? std::min(deadline, m_quietUntil) : deadline);
  }
  UINT message = m_queue.front();
  m_queue.pop_front();
  if (message == WM_APP_DRAIN_LOG) m_quietUntil = Clock::now() + kLogBatchWindow;
  return message;
}

std::optional<UINT> HeadlessWindow::PollMessage() {
  std::lock_guard lock(m_lock);
  if (m_queue.empty()) return std::nullopt;
  UINT message = m_queue.front();
  m_queue.pop_front();
  return message;
}

void HeadlessWindow::Close() {
  std::lock_guard lock(m_lock);
  m_bClosed = true;
  m_queue.clear();
}
