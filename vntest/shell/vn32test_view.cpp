#include "shell/vn32test_view.h"

#include <utility>

#include "mestralib/trace.h"
#include "shell/log.h"

CVN32TestView::~CVN32TestView() {
  // The engine's threads use the view until they end: stop the ping test and
  // the guest before anything of the view goes.
  if (m_pfnStopThreads != nullptr) m_pfnStopThreads(*this);
  if (GetLogView() == this) SetLogView(nullptr);
}

bool CVN32TestView::WindowExists() const {
  ViewWindow* window = m_pWindow.load();
  return window != nullptr && window->WindowExists();
}

bool CVN32TestView::PostMessage(UINT message) {
  ViewWindow* window = m_pWindow.load();
  if (window == nullptr || !window->WindowExists()) return false;
  window->PostMessage(message);
  return true;
}

void CVN32TestView::QueueLogLines(std::list<std::string>&& lines) {
  if (lines.empty()) return;
  bool wasEmpty;
  {
    platform::Guard guard(m_csDebugMsgs);
    wasEmpty = m_DebugMsgsList.empty();
    m_DebugMsgsList.splice(m_DebugMsgsList.end(), lines);
  }
  if (wasEmpty) PostMessage(WM_APP_DRAIN_LOG);
}

long CVN32TestView::OnDrainLog() {
  std::list<std::string> WorkDebugMsgsList;
  {
    platform::Guard guard(m_csDebugMsgs);
    WorkDebugMsgsList.swap(m_DebugMsgsList);
  }
  ViewWindow* window = m_pWindow.load();
  if (window == nullptr || !window->WindowExists()) return 0;

  std::size_t size = 0;
  for (const std::string& line : WorkDebugMsgsList) size += line.size();
  std::string text;
  text.reserve(size);
  for (const std::string& line : WorkDebugMsgsList) {
    MestraLibAfxTrace("%s", line.c_str());
    text += line;
  }
  if (!text.empty()) window->AppendText(text);
  return 0;
}
