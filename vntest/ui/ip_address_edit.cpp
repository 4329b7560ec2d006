#include "ui/ip_address_edit.h"

#include <QEvent>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QRegularExpressionValidator>

#include "shell/parameters_model.h"

IpAddressEdit::IpAddressEdit(QWidget* parent) : QFrame(parent) {
  setFrameShape(QFrame::StyledPanel);
  setFrameShadow(QFrame::Sunken);
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Base);
  setFocusPolicy(Qt::StrongFocus);
  auto* row = new QHBoxLayout(this);
  row->setContentsMargins(2, 1, 2, 1);
  row->setSpacing(0);
  // Up to three digits of 0..255; the validator refuses anything else.
  auto* validator =
      new QRegularExpressionValidator(QRegularExpression(QStringLiteral("^(25[0-5]|2[0-4]\\d|1?\\d?\\d)?$")), this);
  const int digitWidth = fontMetrics().horizontalAdvance(QStringLiteral("000")) + 6;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      auto* dot = new QLabel(QStringLiteral("."), this);
      dot->setBackgroundRole(QPalette::Base);
      row->addWidget(dot);
    }
    auto* field = new QLineEdit(this);
    field->setObjectName(QStringLiteral("Field%1").arg(i));
    field->setFrame(false);
    field->setAlignment(Qt::AlignCenter);
    field->setValidator(validator);
    field->setFixedWidth(digitWidth);
    field->installEventFilter(this);
    connect(field, &QLineEdit::textEdited, this, [this, i](const QString& text) {
      if (text.size() == 3 && i < 3) {
        m_pFields[i + 1]->setFocus();
        m_pFields[i + 1]->selectAll();
      }
    });
    connect(field, &QLineEdit::textChanged, this, &IpAddressEdit::Changed);
    m_pFields[i] = field;
    row->addWidget(field);
  }
  row->addStretch(1);
  setFocusProxy(m_pFields[0]);
}

bool IpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::KeyPress) return false;
  auto* key = static_cast<QKeyEvent*>(event);
  for (int i = 0; i < 4; ++i) {
    if (watched != m_pFields[i]) continue;
    if ((key->key() == Qt::Key_Period || key->key() == Qt::Key_Space) && i < 3) {
      if (!m_pFields[i]->text().isEmpty()) {
        m_pFields[i + 1]->setFocus();
        m_pFields[i + 1]->selectAll();
      }
      return true;
    }
    if (key->key() == Qt::Key_Backspace && i > 0 && m_pFields[i]->cursorPosition() == 0 &&
        !m_pFields[i]->hasSelectedText()) {
      m_pFields[i - 1]->setFocus();
      m_pFields[i - 1]->end(false);
      return true;
    }
  }
  return false;
}

void IpAddressEdit::changeEvent(QEvent* event) {
  if (event->type() == QEvent::EnabledChange) setBackgroundRole(isEnabled() ? QPalette::Base : QPalette::Window);
  QFrame::changeEvent(event);
}

std::string IpAddressEdit::Text() const {
  int fields[4];
  bool all = true;
  for (int i = 0; i < 4; ++i) {
    all = all && !m_pFields[i]->text().isEmpty();
    fields[i] = m_pFields[i]->text().toInt();
  }
  return IPControlText(fields, all);
}

void IpAddressEdit::SetText(const std::string& text) {
  const QStringList parts = QString::fromStdString(IPControlTextOf(text)).split(QLatin1Char('.'));
  for (int i = 0; i < 4; ++i) {
    const QString part = parts.size() == 4 ? parts[i] : QString();
    if (m_pFields[i]->text() != part) m_pFields[i]->setText(part);
  }
}

bool IpAddressEdit::IsBlank() const {
  for (QLineEdit* f : m_pFields) {
    if (!f->text().isEmpty()) return false;
  }
  return true;
}

void IpAddressEdit::Clear() { SetText(std::string()); }
