// The view of VNTest's single-document window: the log's pending lines with
// their lock, and the link to the window. The test engine's state joins it.
#pragma once

#include <atomic>
#include <list>
#include <string>

#include "engine/engine_state.h"
#include "platform/sync.h"
#include "shell/view_window.h"

class CVN32TestView : public CVN32TestEngineState {
 public:
  CVN32TestView() = default;
  // Stops the ping test and the simulated guest first (joining their
  // threads), then leaves the log.
  ~CVN32TestView();
  CVN32TestView(const CVN32TestView&) = delete;
  CVN32TestView& operator=(const CVN32TestView&) = delete;

  // Set at the view's initial update (null before); the window must outlive
  // its registration (set it back to null before destroying the window).
  void SetWindow(ViewWindow* window) { m_pWindow.store(window); }
  ViewWindow* Window() const { return m_pWindow.load(); }
  bool WindowExists() const;
  // Posts `message` when the window exists; false when it does not.
  bool PostMessage(UINT message);

  // Any thread: appends one call's lines as one block, so the lines of
  // concurrent callers interleave only between blocks. Posts
  // WM_APP_DRAIN_LOG only when the pending lines were empty before, so a
  // burst costs one message.
  void QueueLogLines(std::list<std::string>&& lines);

  // The WM_APP_DRAIN_LOG handler, on the window's thread: takes every
  // pending line, traces each, and hands them to the window as one text.
  // Without a window the lines are discarded. Returns 0.
  long OnDrainLog();

 private:
  std::atomic<ViewWindow*> m_pWindow{nullptr};
  // Guards m_DebugMsgsList and nothing else; a leaf lock.
  platform::CriticalSection m_csDebugMsgs;
  std::list<std::string> m_DebugMsgsList;
};
