// The log window: a read-only plain-text view without word wrap, in a 10-point
// fixed-pitch font. It is the window of the shell's view (CVN32TestView):
// messages that any thread posts arrive here as Qt events on the window's
// thread; the log-drain message hands the whole pending batch to AppendText
// in one update.
#pragma once

#include <QPlainTextEdit>
#include <atomic>
#include <string>

#include "shell/view_window.h"

class CVN32TestView;

class LogView : public QPlainTextEdit, public ViewWindow {
  Q_OBJECT
 public:
  // The log keeps its last kMaxLines lines: the oldest go when more arrive,
  // so a test left running for days neither slows the window nor grows
  // without bound. A saved log holds what the window holds.
  static constexpr int kMaxLines = 200000;

  explicit LogView(QWidget* parent = nullptr);
  ~LogView() override;

  // Becomes the view's window (null: none). The view must outlive the link.
  void Attach(CVN32TestView* view);

  // ViewWindow.
  bool WindowExists() const override;
  void PostMessage(UINT message) override;
  void AppendText(const std::string& text) override;

  // Empties the log for a new document.
  void ClearLog();
  bool HasSelection() const { return textCursor().hasSelection(); }
  bool HasText() const { return !document()->isEmpty(); }
  // Lines dropped from the top so far.
  qint64 DroppedLines() const { return m_nDroppedLines; }

  // The font the log uses: "Courier New" when the machine has it, else the
  // system's fixed-pitch font; 10 points.
  static QFont LogFont();

 signals:
  // A message of the test engine (a thread ended) reached the window.
  void EngineMessage(unsigned message);
  // A batch of lines was appended.
  void Drained();

 protected:
  bool event(QEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  CVN32TestView* m_pView = nullptr;
  std::atomic<bool> m_bExists{true};
  qint64 m_nDroppedLines = 0;
};
