#include "ui_test.h"

#include <QDialogButtonBox>
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
  Step step;
  if (modal != nullptr && modal != m_last && modal->isVisible() && !m_steps.empty()) {
    m_last = modal;
    step = std::move(m_steps.front());
    m_steps.pop_front();
    ++m_nDone;
  }
  // The next look is due before the step runs: a step may open a dialog of
  // its own, whose loop runs inside it.
  if (m_steps.empty()) {
    m_bArmed = false;
  } else {
    QTimer::singleShot(0, this, &ModalScript::Poll);
  }
  if (step) step(modal);
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

void ClickOk(QWidget* dialog) {
  auto* box = dialog->findChild<QDialogButtonBox*>();
  QVERIFY(box != nullptr);
  box->button(QDialogButtonBox::Ok)->click();
}

QString TaskInstruction(QWidget* dialog) {
  auto* label = dialog->findChild<QLabel*>(QStringLiteral("MainInstruction"));
  return label != nullptr ? label->text() : QString();
}

void DeliverPosted(LogView* log) { QCoreApplication::sendPostedEvents(log, 0); }

