// What the view needs of the window that shows it. The engine never touches
// a widget: it asks whether the window exists and posts numbered messages,
// which the window's own thread hands back to the view (the Qt log view with
// posted events, the headless program with a queue drained by its main loop).
#pragma once

#include <string>

#include "platform/wintypes.h"

// The view's private messages. Both parameters are always 0.
constexpr UINT WM_APP = 0x8000;
constexpr UINT WM_APP_DRAIN_LOG = WM_APP;            // pending log lines are waiting
constexpr UINT WM_APP_MONITOR_ENDED = WM_APP + 1;    // a monitor thread ended
constexpr UINT WM_APP_PING_ENDED = WM_APP + 2;       // the ping thread ended
constexpr UINT WM_APP_PING_MONITOR_ENDED = WM_APP + 3;  // the ping monitor ended

class ViewWindow {
 public:
  virtual ~ViewWindow() = default;

  // Any thread. False once the window is being destroyed.
  virtual bool WindowExists() const = 0;

  // Any thread. Queues `message` for the window's thread, which then calls
  // the view's handler for it (WM_APP_DRAIN_LOG: CVN32TestView::OnDrainLog).
  virtual void PostMessage(UINT message) = 0;

  // The window's thread only. Appends one batch of complete lines ("\n"
  // terminated) at the end of the log, keeps a selection the user made
  // elsewhere (scrolls to the new text when the caret was at the end) and
  // marks the document modified.
  virtual void AppendText(const std::string& text) = 0;
};
