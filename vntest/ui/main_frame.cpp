#include "ui/main_frame.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QUrl>

#include "engine/debug_mode.h"
#include "engine/engine.h"
#include "platform/process.h"
#include "shell/commands.h"
#include "shell/discovery.h"
#include "shell/environment_report.h"
#include "shell/log.h"
#include "shell/log_document.h"
#include "shell/settings_store.h"
#include "shell/vn32test_view.h"
#include "ui/about_dialog.h"
#include "ui/log_view.h"
#include "ui/ping_chart.h"
#include "ui/task_dialog.h"
#include "ui/ui_helpers.h"

namespace {
constexpr const char* kMainPlacementName = "MainFrame";

QString FromStd(const std::string& text) { return QString::fromStdString(text); }
}  // namespace

CMainFrame::CMainFrame(QWidget* parent)
    : QMainWindow(parent),
      m_pView(std::make_unique<CVN32TestView>()),
      m_nSettingsRefusalsTold(SettingsWritesRefused()) {
  setObjectName(QStringLiteral("MainFrame"));
  // The view's debug and notify switches come from the settings when it is
  // made.
  LoadDebugSettings(*m_pView);
  setWindowIcon(AppIcon());
  setWindowFlag(Qt::WindowContextHelpButtonHint, true);
  m_pLog = new LogView(this);
  setCentralWidget(m_pLog);
  resize(900, 600);
  RestoreWindowPlacement(this, kMainPlacementName);

  m_pChart = new PingChartDock(this, *m_pView);
  addDockWidget(Qt::BottomDockWidgetArea, m_pChart);
  m_pChart->hide();

  m_pIdleLabel = new QLabel(QString::fromLatin1(kIdleMessage), this);
  statusBar()->addWidget(m_pIdleLabel, 1);

  ChooseSavePath = [this]() -> std::optional<std::string> {
    QFileDialog dialog(this, QStringLiteral("Save As"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters(SaveDialogFilters());
    dialog.setDefaultSuffix(QString::fromLatin1(LogDocumentStrings().filterExt).mid(1));
    dialog.selectFile(FromStd(DocumentTitle(m_strPath)));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
    return dialog.selectedFiles().first().toStdString();
  };
  // The viewer starts without the signals the program keeps for its
  // control thread blocked.
  OpenUrl = [](const QUrl& url) {
    return platform::WithConsoleCtrlSignalsUnblocked([&url] { return QDesktopServices::openUrl(url); });
  };

  CreateMenus();
  CreateAccelerators();
  connect(m_pLog, &LogView::EngineMessage, this, &CMainFrame::OnEngineMessage);
  connect(m_pLog, &LogView::Drained, this, &CMainFrame::UpdateCommandUI);
  connect(m_pLog, &QPlainTextEdit::selectionChanged, this, &CMainFrame::UpdateCommandUI);
  setWindowTitle(FromStd(MainWindowTitle(m_strPath)));
  UpdateCommandUI();
}

CMainFrame::~CMainFrame() {
  // The guest's threads write to the view and post to the log window: they
  // end first, then nothing points at the view or the window any more.
  StopGorlan(*m_pView);
  if (GetLogView() == m_pView.get()) SetLogView(nullptr);
  m_pLog->Attach(nullptr);
}

QAction* CMainFrame::MakeAction(UINT id, const char* text, const char* prompt) {
  auto* action = new QAction(QString::fromUtf8(text), this);
  action->setData(id);
  if (prompt != nullptr) {
    action->setStatusTip(FromStd(PromptStatusText(prompt)));
    action->setToolTip(FromStd(PromptToolTip(prompt)));
  }
  connect(action, &QAction::triggered, this, [this, id] { RunCommand(id); });
  m_actions[id] = action;
  return action;
}

void CMainFrame::CreateMenus() {
  for (const Menu& m : MainMenus()) {
    QMenu* menu = menuBar()->addMenu(QString::fromUtf8(m.title));
    menu->setObjectName(QString::fromUtf8(m.title).remove(QLatin1Char('&')) + QStringLiteral("Menu"));
    for (const MenuItem& item : m.items) {
      if (item.id == 0) {
        menu->addSeparator();
        continue;
      }
      menu->addAction(MakeAction(item.id, item.text, item.prompt));
    }
    connect(menu, &QMenu::aboutToShow, this, &CMainFrame::OnMenuAboutToShow);
  }
}

void CMainFrame::CreateAccelerators() {
  std::map<UINT, QList<QKeySequence>> keys;
  for (const Accelerator& a : Accelerators()) keys[a.id].append(QKeySequence(QString::fromLatin1(a.keys)));
  for (auto& [id, sequences] : keys) {
    QAction* action = CommandAction(id);
    if (action == nullptr) {
      // Commands without a menu item live on the window itself.
      action = MakeAction(id, "", nullptr);
      addAction(action);
    }
    action->setShortcuts(sequences);
  }
}

QAction* CMainFrame::CommandAction(UINT id) const {
  auto it = m_actions.find(id);
  return it == m_actions.end() ? nullptr : it->second;
}

bool CMainFrame::IsModified() const { return m_pLog->document()->isModified(); }

void CMainFrame::OnMenuAboutToShow() {
  UpdateCommandUI();
  if (QAction* about = CommandAction(ID_APP_ABOUT)) about->setText(FromStd(AboutMenuText()));
}

void CMainFrame::UpdateCommandUI() {
  CommandFacts facts;
  facts.testRunning = m_pView->IsRunning();
  facts.pingRunning = m_pView->IsPinging();
  facts.socketNotifyMode = m_pView->SocketNotifyMode;
  facts.debugMode = DebugMode.load();
  facts.hasSelection = m_pLog->HasSelection();
  facts.hasText = m_pLog->HasText();
  facts.hasFindText = m_lastFind.has_value() && !m_lastFind->text.isEmpty();
  for (auto& [id, action] : m_actions) {
    const CommandState state = QueryCommandState(id, facts);
    action->setEnabled(state.enabled);
    action->setCheckable(state.checkable);
    if (state.checkable) action->setChecked(state.checked);
  }
  if (QAction* chart = CommandAction(ID_VIEW_PING_CHART)) {
    chart->setCheckable(true);
    chart->setChecked(m_pChart->isVisible());
  }
  if (facts.pingRunning != m_bChartPinging) {
    m_bChartPinging = facts.pingRunning;
    m_pChart->SetPinging(m_bChartPinging);
  }
}

bool CMainFrame::RunCommand(UINT id) {
  UpdateCommandUI();
  QAction* action = CommandAction(id);
  if (action != nullptr && !action->isEnabled()) return false;
  switch (id) {
    case ID_FILE_NEW: OnFileNew(); break;
    case ID_FILE_SAVE: OnFileSave(); break;
    case ID_APP_EXIT: close(); break;
    case ID_EDIT_COPY: m_pLog->copy(); break;
    case ID_EDIT_SELECT_ALL: m_pLog->selectAll(); break;
    case ID_EDIT_FIND: OnEditFind(); break;
    case ID_EDIT_REPEAT: OnEditFindNext(); break;
    case ID_VIEW_PING_CHART: m_pChart->setVisible(!m_pChart->isVisible()); break;
    case ID_NEXT_PANE: OnNextPane(true); break;
    case ID_PREV_PANE: OnNextPane(false); break;
    case ID_TEST_START: OnTestStart(); break;
    case ID_TEST_PING: OnTestPing(); break;
    case ID_TEST_STOP_PING: OnTestStopPing(); break;
    case ID_TEST_STOP: OnTestStop(); break;
    case ID_TEST_BUFFERS: OnTestBuffers(); break;
    case ID_TEST_GATEWAY: OnTestGateway(); break;
    case ID_TEST_REDETECT: OnTestRedetect(); break;
    case ID_TEST_SOCKET_NOTIFY: OnTestSocketNotify(); break;
    case ID_TEST_DEBUG_FLAGS: OnTestDebugFlags(); break;
    case ID_HELP_OSTREL: OnHelp(); break;
    case ID_APP_ABOUT: OnAbout(); break;
    default: return false;
  }
  UpdateCommandUI();
  TellSettingsRefused();
  return true;
}

// A settings write the store refused shows in the log only as an assertion
// line; the user hears it from the window itself, once for each command
// whose accepted values could not be remembered.
void CMainFrame::TellSettingsRefused() {
  const unsigned refused = SettingsWritesRefused();
  if (refused == m_nSettingsRefusalsTold) return;
  m_nSettingsRefusalsTold = refused;
  QMessageBox::warning(this, QString::fromLatin1(kProgramName),
                       QStringLiteral("The values you accepted could not be remembered: the settings file "
                                      "VNTest64UD.ini (in Morvane under $XDG_CONFIG_HOME, else under ~/.config) "
                                      "cannot be written. They apply until the program ends."));
}

void CMainFrame::OnEngineMessage(unsigned message) {
  ::OnEngineMessage(*m_pView, message);
  UpdateCommandUI();
}

// --- File ------------------------------------------------------------------

bool CMainFrame::SaveTo(const std::string& path) {
  std::string error;
  if (!SaveLogText(path, m_pLog->toPlainText().toStdString(), &error)) {
    QMessageBox::warning(this, QString::fromLatin1(kProgramName), FromStd(error));
    return false;
  }
  m_strPath = path;
  m_pLog->document()->setModified(false);
  setWindowTitle(FromStd(MainWindowTitle(m_strPath)));
  return true;
}

bool CMainFrame::SaveModified() {
  SavePromptCalls calls;
  calls.ask = [this](const std::string& instruction) {
    TaskDialogConfig c;
    c.windowTitle = QString::fromLatin1(kSavePromptTitle);
    c.mainInstruction = FromStd(instruction);
    c.buttons = {{static_cast<int>(SaveAnswer::kSave), QStringLiteral("Save")},
                 {static_cast<int>(SaveAnswer::kDontSave), QStringLiteral("Don't Save")}};
    c.commonButtons = TaskDialogConfig::kCancel;
    c.defaultButton = TaskDialogConfig::kResultCancel;
    return static_cast<SaveAnswer>(ShowTaskDialog(this, c));
  };
  calls.choosePath = [this] { return ChooseSavePath(); };
  calls.save = [this](const std::string& path) { return SaveTo(path); };
  return ::SaveModified(IsModified(), m_strPath, calls);
}

void CMainFrame::OnFileSave() {
  std::optional<std::string> path = m_strPath;
  if (m_strPath.empty()) path = ChooseSavePath();
  if (path) SaveTo(*path);
}

void CMainFrame::OnFileNew() {
  if (!SaveModified()) return;
  m_pLog->ClearLog();
  m_strPath.clear();
  setWindowTitle(FromStd(MainWindowTitle(m_strPath)));
  InitialUpdate();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (!SaveModified()) {
    event->ignore();
    return;
  }
  StopGorlan(*m_pView);
  SaveWindowPlacement(this, kMainPlacementName);
  event->accept();
}

QStringList CMainFrame::SaveDialogFilters() {
  // "Name (pattern)|pattern|..." pairs; "*.*" means every file, which is "*"
  // where names need no dot.
  const QStringList parts = FromStd(SaveFileFilter()).split(QLatin1Char('|'));
  QStringList filters;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    if (parts[i].isEmpty()) break;
    QString name = parts[i];
    const int paren = name.indexOf(QStringLiteral(" ("));
    if (paren >= 0) name.truncate(paren);
    const QString pattern = parts[i + 1] == QStringLiteral("*.*") ? QStringLiteral("*") : parts[i + 1];
    filters << QStringLiteral("%1 (%2)").arg(name, pattern);
  }
  return filters;
}

// --- Edit ------------------------------------------------------------------

void CMainFrame::OnEditFind() {
  if (!m_pFind) {
    m_pFind = new FindDialog(this);
    m_pFind->setAttribute(Qt::WA_DeleteOnClose);
    connect(m_pFind, &FindDialog::FindNext, this, [this](const FindRequest& r) {
      m_lastFind = r;
      FindInLog(r);
      UpdateCommandUI();
    });
  }
  const QString selected = m_pLog->textCursor().selectedText();
  if (!selected.isEmpty() && !selected.contains(QChar::ParagraphSeparator)) m_pFind->SetText(selected);
  m_pFind->show();
  m_pFind->raise();
  m_pFind->activateWindow();
}

void CMainFrame::OnEditFindNext() {
  if (!m_lastFind) {
    OnEditFind();
    return;
  }
  FindInLog(*m_lastFind);
}

bool CMainFrame::FindInLog(const FindRequest& request) {
  if (m_pLog->find(request.text, request.flags)) return true;
  // Not found before the end: go round once from the other end.
  QTextCursor saved = m_pLog->textCursor();
  QTextCursor wrap(m_pLog->document());
  wrap.movePosition(request.flags & QTextDocument::FindBackward ? QTextCursor::End : QTextCursor::Start);
  m_pLog->setTextCursor(wrap);
  if (m_pLog->find(request.text, request.flags)) return true;
  m_pLog->setTextCursor(saved);
  MyMessageBeep();
  return false;
}

void CMainFrame::OnNextPane(bool forward) {
  QList<QWidget*> panes{m_pLog};
  if (m_pChart != nullptr && m_pChart->isVisible()) panes << m_pChart;
  int at = 0;
  for (int i = 0; i < panes.size(); ++i) {
    if (panes[i]->isAncestorOf(focusWidget()) || panes[i] == focusWidget()) at = i;
  }
  const int next = (at + (forward ? 1 : panes.size() - 1)) % panes.size();
  panes[next]->setFocus(Qt::OtherFocusReason);
}

// --- Help ------------------------------------------------------------------

QString CMainFrame::HelpFilePath() {
  const QString base = QCoreApplication::applicationDirPath();
  for (const QString& candidate : {base + QStringLiteral("/../share/morvane/help/index.html"),
                                   base + QStringLiteral("/help/index.html")}) {
    QFileInfo info(candidate);
    if (info.isFile()) return info.canonicalFilePath();
  }
  return {};
}

void CMainFrame::OnHelp() {
  const QString path = HelpFilePath();
  if (path.isEmpty() || !OpenUrl(QUrl::fromLocalFile(path))) {
    QMessageBox::warning(this, QString::fromLatin1(kProgramName),
                         path.isEmpty() ? QStringLiteral("The help files were not installed with the program.")
                                        : QStringLiteral("No program could be started to show %1.").arg(path));
  }
}

void CMainFrame::OnAbout() {
  AboutDialog about(this);
  about.exec();
}

void CMainFrame::InitialUpdate() {
  SetLogView(m_pView.get());
  m_pLog->Attach(m_pView.get());
  InitGlobals();
  WriteEnvironmentReport(*m_pView);
  UpdateCommandUI();
}
