// The Test menu's commands of the main window.
#include "engine/engine.h"
#include "shell/vn32test_view.h"
#include "ui/main_frame.h"

void CMainFrame::OnTestStart() {}

void CMainFrame::OnTestPing() {}

void CMainFrame::OnTestStopPing() { StopPingTest(*m_pView); }

void CMainFrame::OnTestStop() { StopGorlan(*m_pView); }

void CMainFrame::OnTestBuffers() {}

void CMainFrame::OnTestGateway() {}

void CMainFrame::OnTestRedetect() {}

void CMainFrame::OnTestSocketNotify() { m_pView->SocketNotifyMode = !m_pView->SocketNotifyMode; }

void CMainFrame::OnTestDebugFlags() {}
