#include "ui/ui_helpers.h"

#include <QApplication>
#include <QEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPointer>
#include <QScreen>
#include <QStyle>
#include <QTimer>
#include <QVBoxLayout>
#include <QWhatsThis>

#include "shell/help_texts.h"
#include "shell/window_placement.h"

namespace {
std::function<void()> g_beepHook;
QPointer<Balloon> g_currentBalloon;
constexpr int kBalloonMilliseconds = 10000;
}  // namespace

void MyMessageBeep() {
  if (g_beepHook) {
    g_beepHook();
  } else {
    QApplication::beep();
  }
}

void SetBeepHookForTesting(std::function<void()> hook) { g_beepHook = std::move(hook); }

Balloon::Balloon(QWidget* control, const QString& title, const QString& text)
    : QFrame(control->window(), Qt::ToolTip | Qt::FramelessWindowHint),
      m_pControl(control),
      m_title(title),
      m_text(text) {
  setObjectName(QStringLiteral("ErrorBalloon"));
  setAttribute(Qt::WA_DeleteOnClose);
  setFrameShape(QFrame::Box);
  setStyleSheet(QStringLiteral("Balloon { background: #ffffe1; border: 1px solid #767676; }"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(10, 8, 10, 10);
  auto* head = new QHBoxLayout;
  auto* icon = new QLabel(this);
  icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxCritical).pixmap(16, 16));
  head->addWidget(icon);
  auto* titleLabel = new QLabel(title, this);
  titleLabel->setTextFormat(Qt::PlainText);
  QFont bold = titleLabel->font();
  bold.setBold(true);
  titleLabel->setFont(bold);
  head->addWidget(titleLabel, 1);
  layout->addLayout(head);
  auto* textLabel = new QLabel(text, this);
  textLabel->setTextFormat(Qt::PlainText);
  textLabel->setWordWrap(true);
  textLabel->setMaximumWidth(360);
  layout->addWidget(textLabel);
  adjustSize();
  // Below the control, its tip pointing at the control's middle.
  const QPoint at = control->mapToGlobal(QPoint(control->width() / 2 - 20, control->height()));
  move(at);
  qApp->installEventFilter(this);
  QTimer::singleShot(kBalloonMilliseconds, this, &QWidget::close);
  if (g_currentBalloon) g_currentBalloon->close();
  g_currentBalloon = this;
}

Balloon::~Balloon() { qApp->removeEventFilter(this); }

Balloon* Balloon::Current() { return g_currentBalloon.data(); }

bool Balloon::eventFilter(QObject*, QEvent* event) {
  switch (event->type()) {
    case QEvent::KeyPress:
    case QEvent::MouseButtonPress:
      close();
      break;
    default:
      break;
  }
  return false;
}

bool ErrorBalloon(QWidget* control, const QString& title, const QString& text) {
  control->setFocus(Qt::OtherFocusReason);
  auto* balloon = new Balloon(control, title, text);
  balloon->show();
  return false;
}

QString HelpHtml(UINT helpId) {
  const HelpTopic topic = SplitHelpText(HelpText(helpId));
  QString body = QString::fromStdString(topic.body).toHtmlEscaped();
  body.replace(QLatin1Char('\n'), QStringLiteral("<br>"));
  return QStringLiteral("<b>%1</b><br>%2").arg(QString::fromStdString(topic.title).toHtmlEscaped(), body);
}

void SetControlHelp(QWidget* widget, UINT helpId) {
  widget->setWhatsThis(HelpHtml(helpId));
  widget->setProperty("helpId", helpId);
}

HelpButtonDialog::HelpButtonDialog(QWidget* parent, UINT dialogHelpId) : QDialog(parent), m_nHelpId(dialogHelpId) {
  setWindowFlag(Qt::WindowContextHelpButtonHint, true);
  SetControlHelp(this, dialogHelpId);
}

void HelpButtonDialog::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_F1) {
    ShowContextHelp();
    return;
  }
  QDialog::keyPressEvent(event);
}

void HelpButtonDialog::ShowContextHelp() {
  QWidget* target = this;
  for (QWidget* w = focusWidget(); w != nullptr && w != this; w = w->parentWidget()) {
    if (!w->whatsThis().isEmpty()) {
      target = w;
      break;
    }
  }
  QWhatsThis::showText(target->mapToGlobal(QPoint(target->width() / 2, target->height())), target->whatsThis(),
                       target);
}

void RestoreWindowPlacement(QWidget* window, const char* name) {
  std::optional<WindowPlacement> p = RestoreWindowPlacement(std::string(name));
  if (!p) return;
  const QRect rect(p->x, p->y, p->width, p->height);
  // Only where a screen still shows its title: screens come and go.
  for (QScreen* screen : QGuiApplication::screens()) {
    if (screen->availableGeometry().contains(rect.topLeft() + QPoint(20, 10))) {
      window->setGeometry(rect);
      return;
    }
  }
}

void SaveWindowPlacement(const QWidget* window, const char* name) {
  const QRect r = window->geometry();
  SaveWindowPlacement(std::string(name), WindowPlacement{r.x(), r.y(), r.width(), r.height()});
}
