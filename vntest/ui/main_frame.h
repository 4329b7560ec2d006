// VNTest's main window: one log document shown by the log view, the menus and
// accelerators of the command table, the status line, and the commands. The
// Test commands act on the shell's view (CVN32TestView), which holds the test
// engine's state; the window only asks and shows.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/wintypes.h"
#include "ui/find_dialog.h"

class CVN32TestView;
class LogView;
class QAction;
class QLabel;
class QMenu;
class PingChartDock;

class CMainFrame : public QMainWindow {
  Q_OBJECT
 public:
  explicit CMainFrame(QWidget* parent = nullptr);
  ~CMainFrame() override;

  // The log view's initial update: the log is attached, the network
  // environment gathered and reported. Runs at start and for every new log.
  void InitialUpdate();

  // Runs the command `id` as its menu item or accelerator would (nothing when
  // it is not enabled). Returns whether it ran.
  bool RunCommand(UINT id);
  // The action of a command (menu item or accelerator), or null.
  QAction* CommandAction(UINT id) const;
  // Applies the enabling rules and check marks to every command.
  void UpdateCommandUI();

  LogView* Log() const { return m_pLog; }
  PingChartDock* Chart() const { return m_pChart; }
  CVN32TestView& View() const { return *m_pView; }
  const std::string& DocumentPath() const { return m_strPath; }
  bool IsModified() const;

  // The save dialog; tests replace it. Returns the chosen path or nothing.
  std::function<std::optional<std::string>()> ChooseSavePath;
  // Opens a URL in the desktop's programs; tests replace it.
  std::function<bool(const QUrl&)> OpenUrl;

  // The help file's location: "help/index.html" under the program's shared
  // data folder (../share/morvane beside bin/), empty when it is missing.
  static QString HelpFilePath();
  // The save dialog's filters in Qt's form, from the shell's filter text.
  static QStringList SaveDialogFilters();

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateMenus();
  void CreateAccelerators();
  QAction* MakeAction(UINT id, const char* text, const char* prompt);
  void OnMenuAboutToShow();
  void OnEngineMessage(unsigned message);

  // File.
  bool SaveTo(const std::string& path);
  bool SaveModified();
  void TellSettingsRefused();
  void OnFileSave();
  void OnFileNew();
  // Edit.
  void OnEditFind();
  void OnEditFindNext();
  bool FindInLog(const FindRequest& request);
  void OnNextPane(bool forward);
  // Test (test_commands.cpp).
  void OnTestStart();
  void OnTestPing();
  void OnTestStopPing();
  void OnTestStop();
  void OnTestBuffers();
  void OnTestGateway();
  void OnTestRedetect();
  void OnTestSocketNotify();
  void OnTestDebugFlags();
  // Help.
  void OnHelp();
  void OnAbout();

  std::unique_ptr<CVN32TestView> m_pView;
  LogView* m_pLog = nullptr;
  QLabel* m_pIdleLabel = nullptr;
  PingChartDock* m_pChart = nullptr;
  bool m_bChartPinging = false;
  unsigned m_nSettingsRefusalsTold;  // refused settings writes the user has heard of
  std::map<UINT, QAction*> m_actions;
  std::string m_strPath;
  QPointer<FindDialog> m_pFind;
  std::optional<FindRequest> m_lastFind;
};
