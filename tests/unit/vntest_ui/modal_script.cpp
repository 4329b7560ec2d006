#include "ui_test.h"

#include <QLabel>
#include <QtTest>

#include "ui/log_view.h"

void ModalScript::Then(Step step) {
  m_steps.push_back(std::move(step));
  if (!m_bArmed) {
    m_bArmed = true;
    QTimer::singleShot(0, this, &ModalScript::Poll);
  }
}

void ModalScript::Poll() {
  QWidget* modal = QApplication::activeModalWidget();
  if (modal != nullptr && modal != m_last && modal->isVisible() && !m_steps.empty()) {
    m_last = modal;
    Step step = std::move(m_steps.front());
    m_steps.pop_front();
    ++m_nDone;
    step(modal);
  }
  if (m_steps.empty()) {
    m_bArmed = false;
    return;
  }
  QTimer::singleShot(0, this, &ModalScript::Poll);
}

void ClickTaskButton(QWidget* dialog, int result) {
  for (QPushButton* b : dialog->findChildren<QPushButton*>()) {
    if (b->property("taskDialogResult").toInt() == result) {
      b->click();
      return;
    }
  }
  QFAIL("no such task dialog button");
}

QString TaskInstruction(QWidget* dialog) {
  auto* label = dialog->findChild<QLabel*>(QStringLiteral("MainInstruction"));
  return label != nullptr ? label->text() : QString();
}

void DeliverPosted(LogView* log) { QCoreApplication::sendPostedEvents(log, 0); }

