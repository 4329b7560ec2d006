// The log window: the drain with the caret at the end and with a selection
// elsewhere, one update per burst, lines of concurrent callers, the line
// limit, the context menu and the font.
#include <QFontInfo>
#include <QMenu>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTextBlock>
#include <QtTest>
#include <thread>

#include "shell/log.h"
#include "shell/vn32test_view.h"
#include "ui/log_view.h"
#include "ui_test.h"

namespace {

QString Line(QPlainTextEdit* log, int n) { return log->document()->findBlockByNumber(n).text(); }
// The text after the "hh:mm:ss.mmm " stamp.
QString Rest(const QString& line) { return line.mid(13); }

}  // namespace

class LogViewTest : public QObject {
  Q_OBJECT
 private slots:
  void init() {
    m_pView = new CVN32TestView;
    m_pLog = new LogView;
    m_pLog->Attach(m_pView);
    SetLogView(m_pView);
    QVERIFY(AttachLogSink());
    m_pLog->resize(500, 200);
    m_pLog->show();
  }
  void cleanup() {
    SetLogView(nullptr);
    delete m_pLog;
    delete m_pView;
  }

  void linesCarryTheirStampAndMarkTheDocument() {
    QVERIFY(!m_pLog->document()->isModified());
    LogOutput("abc\n\n  indented   \n");
    DeliverPosted(m_pLog);
    QCOMPARE(m_pLog->toPlainText().count('\n'), 3);
    const QRegularExpression stamp(QStringLiteral("^\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d$"));
    QCOMPARE(Rest(Line(m_pLog, 0)), QStringLiteral("abc"));
    QVERIFY(stamp.match(Line(m_pLog, 1)).hasMatch());  // the stamp alone
    QCOMPARE(Rest(Line(m_pLog, 2)), QStringLiteral("  indented"));
    QVERIFY(m_pLog->document()->isModified());
  }

  void caretAtTheEndFollowsTheNewText() {
    Fill(300);
    m_pLog->moveCursor(QTextCursor::End);
    Fill(300);
    QTextCursor c = m_pLog->textCursor();
    QCOMPARE(c.position(), m_pLog->document()->characterCount() - 1);
    QCOMPARE(m_pLog->verticalScrollBar()->value(), m_pLog->verticalScrollBar()->maximum());
    QVERIFY(m_pLog->verticalScrollBar()->maximum() > 500);
  }

  void selectionElsewhereStaysAndStaysInView() {
    Fill(300);
    QTextCursor sel(m_pLog->document()->findBlockByNumber(20));
    sel.movePosition(QTextCursor::Down, QTextCursor::KeepAnchor, 2);
    m_pLog->setTextCursor(sel);
    m_pLog->verticalScrollBar()->setValue(15);
    const QString selected = m_pLog->textCursor().selectedText();
    Fill(300);
    QCOMPARE(m_pLog->textCursor().selectedText(), selected);
    QCOMPARE(m_pLog->textCursor().anchor(), sel.anchor());
    QCOMPARE(m_pLog->verticalScrollBar()->value(), 15);
  }

  void aBurstIsOneUpdate() {
    QSignalSpy drained(m_pLog, &LogView::Drained);
    for (int i = 0; i < 1000; ++i) LogOutput("burst line\n");
    DeliverPosted(m_pLog);
    QCOMPARE(drained.count(), 1);
    QCOMPARE(m_pLog->document()->blockCount(), 1001);
  }

  void linesOfConcurrentCallersStayTogether() {
    constexpr int kThreads = 4, kCalls = 500;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([t] {
        for (int i = 0; i < kCalls; ++i) LogMsg("thread %d call %d first\nthread %d call %d second\n", t, i, t, i);
      });
    }
    for (std::thread& th : threads) th.join();
    DeliverPosted(m_pLog);
    const QStringList lines = m_pLog->toPlainText().split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), kThreads * kCalls * 2);
    std::vector<int> next(kThreads, 0);
    for (int i = 0; i < lines.size(); i += 2) {
      const QStringList first = Rest(lines[i]).split(' ');
      const QStringList second = Rest(lines[i + 1]).split(' ');
      QCOMPARE(first.value(4), QStringLiteral("first"));
      QCOMPARE(second.value(4), QStringLiteral("second"));
      QCOMPARE(first.mid(0, 4), second.mid(0, 4));
      const int t = first.value(1).toInt();
      QCOMPARE(first.value(3).toInt(), next[t]++);  // each thread's calls in order
    }
  }

  void oldestLinesLeaveAtTheLimit() {
    std::string batch;
    for (int i = 0; i < LogView::kMaxLines + 10; ++i) batch += "12:00:00.000 line " + std::to_string(i) + "\n";
    m_pLog->AppendText(batch);
    QCOMPARE(m_pLog->document()->blockCount(), LogView::kMaxLines + 1);
    QCOMPARE(Rest(Line(m_pLog, 0)), QStringLiteral("line 10"));
    m_pLog->AppendText("12:00:00.000 one more\n12:00:00.000 and another\n");
    QCOMPARE(m_pLog->document()->blockCount(), LogView::kMaxLines + 1);
    QCOMPARE(Rest(Line(m_pLog, 0)), QStringLiteral("line 12"));
    QCOMPARE(Rest(Line(m_pLog, LogView::kMaxLines - 1)), QStringLiteral("and another"));
    QCOMPARE(m_pLog->DroppedLines(), 12);
  }

  void contextMenuGreysCopyWithoutASelection() {
    Fill(5);
    for (bool select : {false, true}) {
      if (select) m_pLog->selectAll();
      bool seen = false;
      QTimer::singleShot(0, this, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        QVERIFY(menu != nullptr);
        const QList<QAction*> actions = menu->actions();
        QCOMPARE(actions.size(), 2);
        QCOMPARE(actions[0]->text(), QStringLiteral("&Copy\tCtrl+C"));
        QCOMPARE(actions[1]->text(), QStringLiteral("Select &All\tCtrl+A"));
        QCOMPARE(actions[0]->isEnabled(), select);
        QVERIFY(actions[1]->isEnabled());
        seen = true;
        menu->close();
      });
      QContextMenuEvent event(QContextMenuEvent::Mouse, QPoint(10, 10), m_pLog->mapToGlobal(QPoint(10, 10)));
      QApplication::sendEvent(m_pLog->viewport(), &event);
      QVERIFY(seen);
    }
  }

  void readOnlyTenPointFixedPitchWithoutWrap() {
    QVERIFY(m_pLog->isReadOnly());
    QCOMPARE(m_pLog->lineWrapMode(), QPlainTextEdit::NoWrap);
    QFontInfo info(m_pLog->font());
    QVERIFY(info.fixedPitch());
    QCOMPARE(m_pLog->font().pointSize(), 10);
  }

 private:
  void Fill(int lines) {
    std::string text;
    for (int i = 0; i < lines; ++i) text += "fill " + std::to_string(i) + "\n";
    LogOutput(text.c_str());
    DeliverPosted(m_pLog);
  }

  CVN32TestView* m_pView = nullptr;
  LogView* m_pLog = nullptr;
};

REGISTER_UI_TEST(LogViewTest);
#include "log_view_test.moc"
