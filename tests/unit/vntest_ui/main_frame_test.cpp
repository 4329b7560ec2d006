// The main window: title, menus and prompts, the About item, the save prompt's
// answers and loops, the enabling rules with the check marks, New, Find, the
// About box and the help.
#include <QDir>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QToolButton>
#include <QtTest>

#include "engine/debug_mode.h"
#include "platform/sim/sim_host.h"
#include "shell/commands.h"
#include "shell/log.h"
#include "shell/vn32test_view.h"
#include "ui/about_dialog.h"
#include "ui/find_dialog.h"
#include "ui/log_view.h"
#include "ui/main_frame.h"
#include "ui/ping_chart.h"
#include "ui/task_dialog.h"
#include "ui_test.h"

class MainFrameTest : public QObject {
  Q_OBJECT
 private slots:
  void init() {
    m_pFrame = new CMainFrame;
    m_pFrame->InitialUpdate();
    m_pFrame->show();
    DeliverPosted(m_pFrame->Log());
    m_pFrame->Log()->document()->setModified(false);
  }
  void cleanup() {
    m_pFrame->Log()->document()->setModified(false);
    delete m_pFrame;
  }

  void titleMenusPromptsAndTheAboutItem() {
    QCOMPARE(m_pFrame->windowTitle(), QStringLiteral("Untitled - VNTest"));
    QStringList titles;
    for (QAction* a : m_pFrame->menuBar()->actions()) titles << a->text();
    QCOMPARE(titles, (QStringList{"&File", "&Edit", "&View", "&Test", "&Help"}));
    QMenu* test = m_pFrame->menuBar()->actions()[3]->menu();
    QStringList items;
    for (QAction* a : test->actions()) items << (a->isSeparator() ? QStringLiteral("-") : a->data().toString());
    QCOMPARE(items, (QStringList{"32772", "32775", "32788", "32773", "-", "32782", "32780", "-", "32778", "32786",
                                 "32783"}));
    QAction* start = m_pFrame->CommandAction(ID_TEST_START);
    QCOMPARE(start->statusTip(), QStringLiteral("Start a simulated \"Gorlan\" instance..."));
    QCOMPARE(start->toolTip(), QStringLiteral("Start Gorlan..."));
    QCOMPARE(m_pFrame->CommandAction(ID_EDIT_COPY)->shortcuts(),
             (QList<QKeySequence>{QKeySequence("Ctrl+C"), QKeySequence("Ctrl+Ins")}));
    QCOMPARE(m_pFrame->CommandAction(ID_FILE_NEW)->shortcut(), QKeySequence("Ctrl+N"));

    QAction* about = m_pFrame->CommandAction(ID_APP_ABOUT);
    QCOMPARE(about->text(), QStringLiteral("&About VN32Test..."));
    QMenu* help = m_pFrame->menuBar()->actions()[4]->menu();
    for (int i = 0; i < 3; ++i) {
      emit help->aboutToShow();
      QCOMPARE(about->text(), QStringLiteral("&About VNTest64UD..."));
    }
  }

  void savePromptCancelKeepsTheWindowOpen() {
    WriteSomething();
    ModalScript user;
    QString title, instruction;
    int defaultResult = 0;
    user.Then([&](QWidget* d) {
      title = d->windowTitle();
      instruction = TaskInstruction(d);
      for (QPushButton* b : d->findChildren<QPushButton*>()) {
        if (b->isDefault()) defaultResult = b->property("taskDialogResult").toInt();
      }
      ClickTaskButton(d, TaskDialogConfig::kResultCancel);
    });
    QVERIFY(!m_pFrame->close());
    QVERIFY(m_pFrame->isVisible());
    QCOMPARE(title, QStringLiteral("VNTest64UD"));
    QCOMPARE(instruction, QStringLiteral("Do you want to save changes to Untitled?"));
    QCOMPARE(defaultResult, TaskDialogConfig::kResultCancel);
  }

  void savePromptDontSaveCloses() {
    WriteSomething();
    ModalScript user;
    user.Then([](QWidget* d) { ClickTaskButton(d, 7); });
    QVERIFY(m_pFrame->close());
    QVERIFY(user.Finished());
  }

  void savePromptCancelledFileDialogAsksAgain() {
    WriteSomething();
    int chooserCalls = 0;
    m_pFrame->ChooseSavePath = [&]() -> std::optional<std::string> {
      ++chooserCalls;
      return std::nullopt;
    };
    ModalScript user;
    user.Then([](QWidget* d) { ClickTaskButton(d, 6); });
    user.Then([](QWidget* d) { ClickTaskButton(d, TaskDialogConfig::kResultCancel); });
    QVERIFY(!m_pFrame->close());
    QCOMPARE(user.Done(), 2);
    QCOMPARE(chooserCalls, 1);
  }

  void savePromptSaveWritesThePlainLogAndRenames() {
    WriteSomething();
    QTemporaryDir dir;
    const std::string path = QDir(dir.path()).filePath(QStringLiteral("run.ttt")).toStdString();
    m_pFrame->ChooseSavePath = [&] { return std::optional<std::string>(path); };
    ModalScript user;
    user.Then([](QWidget* d) { ClickTaskButton(d, 6); });
    QVERIFY(m_pFrame->close());
    QFile saved(QString::fromStdString(path));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(QString::fromUtf8(saved.readAll()), m_pFrame->Log()->toPlainText());
    QVERIFY(m_pFrame->Log()->toPlainText().endsWith(QStringLiteral(" something to keep\n")));
    QCOMPARE(m_pFrame->windowTitle(), QStringLiteral("run.ttt - VNTest"));
    QVERIFY(!m_pFrame->IsModified());
    // Saved: a later close asks nothing; File > Save uses the known path.
    WriteSomething();
    QVERIFY(m_pFrame->RunCommand(ID_FILE_SAVE));
    QVERIFY(!m_pFrame->IsModified());
  }

  void enablingRulesInTheThreeStatesKeepTheCheckMarks() {
    CVN32TestView& view = m_pFrame->View();
    view.SocketNotifyMode = true;
    SetDebugMode(true);
    auto enabledTestCommands = [&] {
      m_pFrame->UpdateCommandUI();
      QList<int> ids;
      for (UINT id : {ID_TEST_START, ID_TEST_PING, ID_TEST_STOP_PING, ID_TEST_STOP, ID_TEST_BUFFERS,
                      ID_TEST_GATEWAY, ID_TEST_REDETECT, ID_TEST_SOCKET_NOTIFY, ID_TEST_DEBUG_FLAGS}) {
        if (m_pFrame->CommandAction(id)->isEnabled()) ids << static_cast<int>(id);
      }
      return ids;
    };
    QCOMPARE(enabledTestCommands(), (QList<int>{32772, 32782, 32780, 32778, 32786, 32783}));
    // A running guest and a running ping, as the engine's handles show them.
    int token = 0;
    view.hMonitorThread1 = &token;
    QCOMPARE(enabledTestCommands(), (QList<int>{32775, 32773}));
    view.hPingThread = &token;
    QCOMPARE(enabledTestCommands(), (QList<int>{32788, 32773}));
    QVERIFY(m_pFrame->CommandAction(ID_TEST_SOCKET_NOTIFY)->isChecked());
    QVERIFY(m_pFrame->CommandAction(ID_TEST_DEBUG_FLAGS)->isChecked());
    QVERIFY(!m_pFrame->CommandAction(ID_FILE_NEW)->isEnabled());
    QVERIFY(!m_pFrame->RunCommand(ID_TEST_START));  // grey commands do not run
    view.hPingThread = nullptr;
    view.hMonitorThread1 = nullptr;
    SetDebugMode(false);
    QCOMPARE(enabledTestCommands().size(), 6);
    QVERIFY(!m_pFrame->CommandAction(ID_TEST_DEBUG_FLAGS)->isChecked());
    // The toggle flips the view's switch.
    QVERIFY(m_pFrame->RunCommand(ID_TEST_SOCKET_NOTIFY));
    QVERIFY(!view.SocketNotifyMode);
    QVERIFY(!m_pFrame->CommandAction(ID_TEST_SOCKET_NOTIFY)->isChecked());
  }

  void newAsksFirstThenStartsAnEmptyLog() {
    WriteSomething();
    ModalScript user;
    user.Then([](QWidget* d) { ClickTaskButton(d, TaskDialogConfig::kResultCancel); });
    QVERIFY(m_pFrame->RunCommand(ID_FILE_NEW));
    QVERIFY(m_pFrame->Log()->toPlainText().contains(QStringLiteral("something to keep")));
    user.Then([](QWidget* d) { ClickTaskButton(d, 7); });
    QVERIFY(m_pFrame->RunCommand(ID_FILE_NEW));
    QVERIFY(!m_pFrame->Log()->toPlainText().contains(QStringLiteral("something to keep")));
    QCOMPARE(m_pFrame->windowTitle(), QStringLiteral("Untitled - VNTest"));
  }

  void findAndFindNextGoRound() {
    for (int i = 0; i < 3; ++i) LogMsg("needle %d\nhay\n", i);
    DeliverPosted(m_pFrame->Log());
    QVERIFY(!m_pFrame->CommandAction(ID_EDIT_REPEAT)->isEnabled());
    QVERIFY(m_pFrame->RunCommand(ID_EDIT_FIND));
    auto* find = m_pFrame->findChild<FindDialog*>();
    QVERIFY(find != nullptr && find->isVisible());
    find->SetText(QStringLiteral("needle"));
    emit find->FindNext(find->Request());
    QVERIFY(m_pFrame->Log()->textCursor().block().text().endsWith(QStringLiteral("needle 0")));
    QVERIFY(m_pFrame->CommandAction(ID_EDIT_REPEAT)->isEnabled());
    QVERIFY(m_pFrame->RunCommand(ID_EDIT_REPEAT));
    QVERIFY(m_pFrame->Log()->textCursor().block().text().endsWith(QStringLiteral("needle 1")));
    QVERIFY(m_pFrame->RunCommand(ID_EDIT_REPEAT));
    QVERIFY(m_pFrame->RunCommand(ID_EDIT_REPEAT));  // round to the first again
    QVERIFY(m_pFrame->Log()->textCursor().block().text().endsWith(QStringLiteral("needle 0")));
    QCOMPARE(m_pFrame->Log()->textCursor().selectedText(), QStringLiteral("needle"));
  }

  void aboutBoxShowsItsTextsAndComesBackWhereItWas() {
    QPoint movedTo;
    ModalScript user;
    user.Then([&](QWidget* d) {
      QCOMPARE(d->windowTitle(), QStringLiteral("About VNTest64UD"));
      auto* product = d->findChild<QLabel*>(QStringLiteral("ProductLine"));
      QVERIFY(product->text().contains(
          QStringLiteral(">Vifnet for Windows Testing Program -- Version 3.9.0.6222-UD</a>")));
      QVERIFY(product->text().contains(QStringLiteral("href=\"https://")));
      auto* support = d->findChild<QLabel*>(QStringLiteral("SupportAddress"));
      QVERIFY(support->text().contains(QStringLiteral("href=\"mailto:")));
      QVERIFY(support->text().contains(QStringLiteral("subject=VNTest64UD")));
      QVERIFY(d->findChild<QLabel*>(QStringLiteral("LegalNotice"))->text().startsWith(QStringLiteral("Copyright")));
      QVERIFY(d->whatsThis().contains(QStringLiteral("<b>About</b>")));
      d->move(d->pos() + QPoint(37, 23));
      movedTo = d->pos();
      static_cast<QDialog*>(d)->accept();
    });
    QVERIFY(m_pFrame->RunCommand(ID_APP_ABOUT));
    QPoint reopenedAt;
    user.Then([&](QWidget* d) {
      reopenedAt = d->pos();
      static_cast<QDialog*>(d)->accept();
    });
    QVERIFY(m_pFrame->RunCommand(ID_APP_ABOUT));
    QCOMPARE(reopenedAt, movedTo);
  }

  void helpOpensTheInstalledContentsPage() {
    QUrl opened;
    m_pFrame->OpenUrl = [&](const QUrl& url) {
      opened = url;
      return true;
    };
    QVERIFY(m_pFrame->RunCommand(ID_HELP_OSTREL));
    QVERIFY(opened.isLocalFile());
    QFile page(opened.toLocalFile());
    QVERIFY(opened.toLocalFile().endsWith(QStringLiteral("/share/morvane/help/index.html")));
    QVERIFY(page.open(QIODevice::ReadOnly));
    const QString html = QString::fromUtf8(page.readAll());
    QVERIFY(html.contains(QStringLiteral("<title>Ostrel Help</title>")));
    // Every page it links to is installed beside it.
    const QRegularExpression link(QStringLiteral("href=\"([a-z]+\\.html)"));
    for (auto it = link.globalMatch(html); it.hasNext();) {
      const QString target = QFileInfo(page).dir().filePath(it.next().captured(1));
      QVERIFY2(QFileInfo::exists(target), qPrintable(target));
    }
  }

  void viewMenuShowsAndHidesTheRoundTripChart() {
    PingChartDock* chart = m_pFrame->Chart();
    QVERIFY(!chart->isVisible());
    QVERIFY(m_pFrame->RunCommand(ID_VIEW_PING_CHART));
    QVERIFY(chart->isVisible());
    QVERIFY(m_pFrame->CommandAction(ID_VIEW_PING_CHART)->isChecked());
    // What the chart shows is the ping list: replies with their round trip,
    // requests that timed out, requests still waiting.
    CVN32TestView& view = m_pFrame->View();
    {
      platform::Guard lock(view.csPingList);
      CPing replied;
      replied.dwSendTime = 1000;
      replied.dwReplyTime = 1007;
      replied.nReplies = 1;
      CPing lost;
      lost.nTimedOut = 1;
      view.PingList.push_back(replied);
      view.PingList.push_back(lost);
      view.PingList.push_back(CPing{});
    }
    chart->Refresh();
    QCOMPARE(chart->Points(), (QList<double>{7, -2, -1}));
    QVERIFY(m_pFrame->RunCommand(ID_VIEW_PING_CHART));
    QVERIFY(!chart->isVisible());
    QVERIFY(!m_pFrame->CommandAction(ID_VIEW_PING_CHART)->isChecked());
    platform::Guard lock(view.csPingList);
    view.PingList.clear();
  }

  void startUpReportAndAdapterRedetection() {
    const QString log = m_pFrame->Log()->toPlainText();
    QVERIFY(log.contains(QStringLiteral(" Begin ")));
    QCOMPARE(log.count(QStringLiteral("Detected Adapters")), 1);
    QVERIFY(m_pFrame->RunCommand(ID_TEST_REDETECT));
    DeliverPosted(m_pFrame->Log());
    QCOMPARE(m_pFrame->Log()->toPlainText().count(QStringLiteral("Detected Adapters")), 2);
  }

  // The settings folder's place is taken by a file, so the store refuses
  // every write: the window says so after each command whose accepted values
  // were not remembered, and a later window does not repeat old news.
  void aRefusedSettingsWriteIsToldByTheWindow() {
    QTemporaryDir dir;
    const QString blocked = QDir(dir.path()).filePath(QStringLiteral("config"));
    QFile file(blocked);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
    const bool hadConfig = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", blocked.toLocal8Bit());
    platform::sim::HostModel model = platform::sim::DefaultHost();
    model.settingsInFiles = true;
    platform::sim::InstallHost(model);

    QString warning;
    ModalScript user;
    user.Then([](QWidget* d) { ClickOk(d); });  // the debug flags dialog, accepted
    user.Then([&](QWidget* d) {
      auto* box = qobject_cast<QMessageBox*>(d);
      QVERIFY(box != nullptr);
      warning = box->text();
      box->button(QMessageBox::Ok)->click();
    });
    QVERIFY(m_pFrame->RunCommand(ID_TEST_DEBUG_FLAGS));
    QCOMPARE(user.Done(), 2);
    QVERIFY2(warning.startsWith(QStringLiteral("The values you accepted could not be remembered")),
             qPrintable(warning));

    CMainFrame later;  // knows of the refusals before it
    QVERIFY(later.RunCommand(ID_VIEW_PING_CHART));  // stores nothing: no message box waits

    if (hadConfig) {
      qputenv("XDG_CONFIG_HOME", oldConfig);
    } else {
      qunsetenv("XDG_CONFIG_HOME");
    }
    platform::sim::InstallHost(platform::sim::DefaultHost());
  }

  void saveDialogFilters() {
    QCOMPARE(CMainFrame::SaveDialogFilters(),
             (QStringList{"VNTest Reports (*.ttt)", "Text Files (*.txt)", "All Files (*)"}));
  }

 private:
  void WriteSomething() {
    LogMsg("something to keep\n");
    DeliverPosted(m_pFrame->Log());
    QVERIFY(m_pFrame->IsModified());
  }

  CMainFrame* m_pFrame = nullptr;
};

REGISTER_UI_TEST(MainFrameTest);
#include "main_frame_test.moc"
