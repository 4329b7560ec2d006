// A tour of VNTest64UD's windows on the simulated host, for people without a
// display: the main window with its report, a test and a ping test started
// through the Test menu, and every dialog, each written as a PNG picture of
// what the X server shows. Run it under Xvfb (scripts/screenshot). Exits 0
// when every picture was written and the ping test succeeded.
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPixmap>
#include <QScreen>
#include <QTextStream>
#include <QToolButton>
#include <QtTest>
#include <cstdio>
#include <functional>

#include "engine/engine.h"
#include "platform/machine.h"
#include "shell/commands.h"
#include "shell/pretest.h"
#include "shell/vn32test_view.h"
#include "ui/dialogs.h"
#include "ui/ip_address_edit.h"
#include "ui/log_view.h"
#include "ui/main_frame.h"
#include "ui/ping_chart.h"
#include "ui/task_dialog.h"
#include "ui/ui_helpers.h"
#include "ui_test.h"

namespace {

class Tour {
 public:
  Tour(CMainFrame& frame, const QString& dir) : m_frame(frame), m_dir(dir) {}

  bool Run();

 private:
  // Handles events (the log's batches, the engine's messages) until `done`
  // holds, or a generous minute has passed.
  bool WaitFor(const std::function<bool()>& done) {
    bool expired = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, [&] { expired = true; });
    deadline.start(60000);
    while (!done() && !expired) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
  }
  bool LogHas(const char* text) const { return m_frame.Log()->toPlainText().contains(QString::fromUtf8(text)); }

  // The window's pixels as the X server has them (with any balloon or popup
  // that `extra` covers).
  void Snap(QWidget* window, const char* name, QRect extra = QRect()) {
    if (!QTest::qWaitForWindowExposed(window)) {
      std::fprintf(stderr, "%s: the window was never shown\n", name);
      m_bFailed = true;
      return;
    }
    // Drawn and flushed before the picture is asked for: the server answers
    // one client's requests in order.
    window->repaint();
    QCoreApplication::processEvents();
    QRect area = window->frameGeometry();
    if (extra.isValid()) area = area.united(extra);
    QScreen* screen = window->screen();
    const QPixmap picture = screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
    const QString path = QDir(m_dir).filePath(QString::fromLatin1(name) + QStringLiteral(".png"));
    if (picture.save(path)) {
      ++m_nPictures;
      std::printf("%s\n", qPrintable(path));
    } else {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
      m_bFailed = true;
    }
  }
  void SnapDialog(QWidget* dialog, const char* name) { Snap(dialog, name); }

  CMainFrame& m_frame;
  QString m_dir;
  ModalScript m_user;
  int m_nPictures = 0;
  bool m_bFailed = false;
};

bool Tour::Run() {
  CVN32TestView& view = m_frame.View();
  m_frame.resize(1000, 640);
  m_frame.move(20, 20);
  QCoreApplication::sendPostedEvents(m_frame.Log(), 0);  // the start-up report
  m_frame.Log()->moveCursor(QTextCursor::Start);
  Snap(&m_frame, "01-main-window");

  // The Test menu, open.
  QMenu* test = m_frame.menuBar()->actions()[3]->menu();
  m_frame.menuBar()->setActiveAction(m_frame.menuBar()->actions()[3]);
  WaitFor([&] { return test->isVisible(); });
  Snap(&m_frame, "02-test-menu", test->geometry());
  test->close();
  m_frame.menuBar()->setActiveAction(nullptr);

  // Start "Gorlan": the Parameters dialog (with a refusal first), then OK.
  std::printf("tour: Start \"Gorlan\"\n");
  m_user.Then([&](QWidget* d) {
    SnapDialog(d, "03-parameters");
    auto* dialog = static_cast<ParametersDialog*>(d);
    auto* guest = static_cast<IpAddressEdit*>(dialog->Control(kGuestIPControl[0]));
    const std::string kept = guest->Text();
    guest->Field(3)->clear();
    ClickOk(dialog);
    if (Balloon* b = Balloon::Current()) Snap(d, "04-parameters-balloon", b->frameGeometry());
    guest->SetText(kept);
    ClickOk(dialog);
  });
  // Warnings, as many as this host's set-up gives: pictured and proceeded.
  QTimer proceed;
  int warnings = 0;
  QObject::connect(&proceed, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr || modal->objectName() != QStringLiteral("TaskDialog") || !modal->isVisible()) return;
    const QByteArray name = "05-pretest-warning-" + QByteArray::number(++warnings);
    SnapDialog(modal, name.constData());
    ClickTaskButton(modal, kWarningProceed);
  });
  proceed.start(0);
  m_frame.RunCommand(ID_TEST_START);
  proceed.stop();
  if (!WaitFor([&] { return view.IsRunning() && LogHas("enabled/up"); })) {
    std::fprintf(stderr, "the simulated guest did not come up\n");
    return false;
  }
  Snap(&m_frame, "06-guest-running");

  std::printf("tour: Start ping test\n");
  // Start ping test: the Ping who dialog, to the simulated router.
  m_user.Then([&](QWidget* d) {
    d->findChild<QLineEdit*>(QStringLiteral("Control1020"))->setText(QStringLiteral("192.0.2.1"));
    SnapDialog(d, "07-ping-who");
    ClickOk(d);
  });
  m_frame.RunCommand(ID_VIEW_PING_CHART);  // the round-trip chart, shown
  m_frame.RunCommand(ID_TEST_PING);
  if (!WaitFor([&] { return !view.IsPinging() && LogHas("END PING TEST"); })) {
    std::fprintf(stderr, "the ping test did not end\n");
    return false;
  }
  const bool pingOk = LogHas(" Ping test successful.");
  m_frame.Log()->moveCursor(QTextCursor::End);
  Snap(&m_frame, "08-ping-test-done");

  m_frame.RunCommand(ID_TEST_STOP);
  WaitFor([&] { return !view.IsRunning(); });
  m_frame.RunCommand(ID_VIEW_PING_CHART);
  Snap(&m_frame, "09-guest-stopped");

  std::printf("tour: the other dialogs\n");
  // The other dialogs, each looked at and cancelled.
  auto cancel = [](QWidget* d) { static_cast<QDialog*>(d)->reject(); };
  m_user.Then([&](QWidget* d) { SnapDialog(d, "10-buffer-sizes"); cancel(d); });
  m_frame.RunCommand(ID_TEST_BUFFERS);
  m_user.Then([&](QWidget* d) {
    SnapDialog(d, "11-default-gateway");
    static_cast<IpAddressEdit*>(static_cast<ModelDialog*>(d)->Control(1015))->SetText("192.0.2.77");
    ClickOk(d);
  });
  m_user.Then([&](QWidget* d) { SnapDialog(d, "12-unresponsive-gateway"); ClickTaskButton(d, 2); });
  m_user.Then([&](QWidget* d) { cancel(d); });  // back in the gateway dialog
  m_frame.RunCommand(ID_TEST_GATEWAY);
  m_user.Then([&](QWidget* d) { SnapDialog(d, "13-debug-flags"); cancel(d); });
  m_frame.RunCommand(ID_TEST_DEBUG_FLAGS);
  m_user.Then([&](QWidget* d) {
    auto* expander = d->findChild<QToolButton*>(QStringLiteral("Expander"));
    if (expander != nullptr) expander->click();
    SnapDialog(d, "14-warning-w1");
    ClickTaskButton(d, kWarningCancel);
  });
  ShowTestWarning(&m_frame, kGatewayUndefinedWarning);
  m_user.Then([&](QWidget* d) { SnapDialog(d, "15-warning-w4"); ClickTaskButton(d, kWarningCancel); });
  ShowTestWarning(&m_frame, kSubnetGatewayWarning);
  m_user.Then([&](QWidget* d) { SnapDialog(d, "16-about"); cancel(d); });
  m_frame.RunCommand(ID_APP_ABOUT);
  m_frame.RunCommand(ID_EDIT_FIND);
  if (QWidget* find = m_frame.findChild<QDialog*>(QStringLiteral("FindDialog"))) {
    SnapDialog(find, "17-find");
    find->close();
  }
  // Leaving: the save prompt; "Don't Save".
  m_user.Then([&](QWidget* d) { SnapDialog(d, "18-save-prompt"); ClickTaskButton(d, 7); });
  m_frame.close();
  std::printf("%d pictures in %s\n", m_nPictures, qPrintable(m_dir));
  return pingOk && !m_bFailed && m_user.Finished();
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc < 2) {
    std::fprintf(stderr, "usage: vntest_screenshot_tour DIR\n");
    return 2;
  }
  const QString dir = QString::fromLocal8Bit(argv[1]);
  if (!platform::SelectMachine("sim")) return 2;
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("VNTest64UD"));
  QDir().mkpath(dir);
  CMainFrame frame;
  frame.InitialUpdate();
  frame.show();
  Tour tour(frame, dir);
  return tour.Run() ? 0 : 1;
}
