#include "ui/log_view.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QFontDatabase>
#include <QFontInfo>
#include <QMenu>
#include <QScrollBar>
#include <QTextBlock>
#include <algorithm>
#include <string_view>

#include "shell/commands.h"
#include "shell/vn32test_view.h"

namespace {

// The event that carries one posted message of the view.
class ViewMessageEvent : public QEvent {
 public:
  explicit ViewMessageEvent(UINT message) : QEvent(Type()), m_message(message) {}
  static QEvent::Type Type() {
    static const QEvent::Type type = static_cast<QEvent::Type>(QEvent::registerEventType());
    return type;
  }
  UINT message() const { return m_message; }

 private:
  UINT m_message;
};

// The tail of `text` that holds its last `maxLines` lines; counts the rest.
// Cut in UTF-8, before the conversion, so that a batch larger than the log
// is converted only as far as it is kept ("\n" is one byte in UTF-8).
std::string_view LastLines(std::string_view text, int maxLines, qint64* dropped) {
  const qint64 lines = std::count(text.begin(), text.end(), '\n');
  if (lines <= maxLines) return text;
  std::size_t from = 0;
  for (qint64 skip = lines - maxLines; skip > 0; --skip) from = text.find('\n', from) + 1;
  *dropped += lines - maxLines;
  return text.substr(from);
}

}  // namespace

LogView::LogView(QWidget* parent) : QPlainTextEdit(parent) {
  setObjectName(QStringLiteral("LogView"));
  setReadOnly(true);
  setLineWrapMode(QPlainTextEdit::NoWrap);
  setUndoRedoEnabled(false);
  setFont(LogFont());
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // The caret stays visible in the read-only log, so that a user sees where
  // a selection starts.
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  QPalette pal = palette();
  pal.setColor(QPalette::Base, Qt::white);
  pal.setColor(QPalette::Text, Qt::black);
  setPalette(pal);
  // The trailing empty block after the last "\n" counts as one.
  setMaximumBlockCount(kMaxLines + 1);
}

LogView::~LogView() {
  m_bExists.store(false);
  Attach(nullptr);
  QCoreApplication::removePostedEvents(this, ViewMessageEvent::Type());
}

QFont LogView::LogFont() {
  QFont font(QStringLiteral("Courier New"), 10);
  font.setStyleHint(QFont::TypeWriter);
  if (!QFontInfo(font).fixedPitch()) {
    font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    font.setPointSize(10);
  }
  return font;
}

void LogView::Attach(CVN32TestView* view) {
  if (m_pView != nullptr && m_pView->Window() == this) m_pView->SetWindow(nullptr);
  m_pView = view;
  if (m_pView != nullptr) m_pView->SetWindow(this);
}

bool LogView::WindowExists() const { return m_bExists.load(); }

void LogView::PostMessage(UINT message) {
  if (!m_bExists.load()) return;
  QCoreApplication::postEvent(this, new ViewMessageEvent(message));
}

bool LogView::event(QEvent* event) {
  if (event->type() != ViewMessageEvent::Type()) return QPlainTextEdit::event(event);
  const UINT message = static_cast<ViewMessageEvent*>(event)->message();
  if (message == WM_APP_DRAIN_LOG) {
    if (m_pView != nullptr) m_pView->OnDrainLog();
    emit Drained();
  } else {
    emit EngineMessage(message);
  }
  return true;
}

void LogView::AppendText(const std::string& utf8) {
  const std::string_view kept = LastLines(utf8, kMaxLines, &m_nDroppedLines);
  const QString text = QString::fromUtf8(kept.data(), static_cast<qsizetype>(kept.size()));
  QTextDocument* doc = document();

  // Where the user is: the caret at the very end follows the new text;
  // anything else (a selection, the caret elsewhere) stays where it is.
  QTextCursor user = textCursor();
  const int end = doc->characterCount() - 1;
  const bool caretAtEnd = user.anchor() == end && user.position() == end;
  QScrollBar* vbar = verticalScrollBar();
  const int firstLine = vbar->value();
  const int blocksBefore = doc->blockCount();
  const int added = static_cast<int>(text.count(QLatin1Char('\n')));

  setUpdatesEnabled(false);
  // Room for the new lines first: the oldest lines go in one edit, selected
  // by position. Left to the document's own limit, they would go by a cursor
  // stepping block by block, which lays out every line it passes.
  const int excess = blocksBefore - 1 + added - kMaxLines;  // the last block is the empty one after "\n"
  if (excess > 0) {
    QTextCursor top(doc);
    const QTextBlock firstKept = doc->findBlockByNumber(std::min(excess, blocksBefore - 1));
    top.setPosition(firstKept.position(), QTextCursor::KeepAnchor);
    top.removeSelectedText();
  }
  QTextCursor tail(doc);
  tail.movePosition(QTextCursor::End);
  tail.insertText(text);
  const int removed = std::max(0, blocksBefore + added - doc->blockCount());
  m_nDroppedLines += removed;
  if (caretAtEnd) {
    user.movePosition(QTextCursor::End);
    setTextCursor(user);
    vbar->setValue(vbar->maximum());
  } else {
    // The user's cursor moved with the text it marks; lines dropped at the
    // top shift the view up by as many lines.
    setTextCursor(user);
    vbar->setValue(std::max(0, firstLine - removed));
  }
  setUpdatesEnabled(true);
  doc->setModified(true);
}

void LogView::ClearLog() {
  clear();
  m_nDroppedLines = 0;
  document()->setModified(false);
}

void LogView::contextMenuEvent(QContextMenuEvent* event) {
  QMenu menu(this);
  for (const MenuItem& item : LogContextMenu()) {
    QAction* action = menu.addAction(QString::fromUtf8(item.text));
    action->setData(item.id);
    action->setStatusTip(QString::fromStdString(PromptStatusText(item.prompt)));
    if (item.id == ID_EDIT_COPY) {
      action->setEnabled(HasSelection());
      connect(action, &QAction::triggered, this, &QPlainTextEdit::copy);
    } else {
      connect(action, &QAction::triggered, this, &QPlainTextEdit::selectAll);
    }
  }
  activateWindow();
  menu.exec(event->globalPos());
}
