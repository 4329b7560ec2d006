// The Test menu's commands of the main window. Each asks through its dialog
// and leaves the decisions to the shell: the pre-test sequence, the ping
// start, the adapter re-detection, the switches.
#include "engine/engine.h"
#include "shell/debug_flags.h"
#include "shell/environment_report.h"
#include "shell/pretest.h"
#include "shell/settings_store.h"
#include "shell/vn32test_view.h"
#include "ui/dialogs.h"
#include "ui/main_frame.h"

void CMainFrame::OnTestStart() {
  // A cancelled warning goes back to the Parameters dialog, which shows the
  // values just entered.
  for (;;) {
    if (m_pView->IsRunning()) return;
    LoadInterfaceSettings();
    ParametersDialog parameters(this);
    if (parameters.exec() != QDialog::Accepted) return;
    bool proceed = true;
    for (const TestWarning* warning : DecidePreTest(GatherPreTestFacts())) {
      if (ShowTestWarning(this, *warning) != kWarningProceed) {
        proceed = false;
        break;
      }
    }
    if (!proceed) continue;
    StartGorlan(*m_pView);
    return;
  }
}

void CMainFrame::OnTestPing() {
  PingWhoDialog dialog(this, *m_pView);
  if (dialog.exec() != QDialog::Accepted) return;
  StartPingTest(*m_pView);
}

void CMainFrame::OnTestStopPing() { StopPingTest(*m_pView); }

void CMainFrame::OnTestStop() { StopGorlan(*m_pView); }

void CMainFrame::OnTestBuffers() {
  BufferSizesDialog dialog(this);
  dialog.exec();
}

void CMainFrame::OnTestGateway() {
  DefaultGatewayDialog dialog(this);
  dialog.exec();
}

void CMainFrame::OnTestRedetect() { ReportDetectedAdapters(*m_pView); }

void CMainFrame::OnTestSocketNotify() { ToggleSocketNotifyMode(*m_pView); }

void CMainFrame::OnTestDebugFlags() {
  DebugFlagsDialog dialog(this, *m_pView);
  dialog.exec();
}
