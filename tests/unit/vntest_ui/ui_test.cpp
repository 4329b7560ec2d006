#include "ui_test.h"

#include <QLabel>
#include <QtTest>
#include <cstring>

#include "platform/machine.h"
#include "ui/log_view.h"

std::vector<std::pair<const char*, UiTestRegistry::Factory>>& UiTestRegistry::Entries() {
  static std::vector<std::pair<const char*, Factory>> entries;
  return entries;
}

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

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (!platform::SelectMachine("sim")) return 2;
  const char* only = argc > 1 && argv[1][0] != '-' ? argv[1] : nullptr;
  int failures = 0;
  bool ran = false;
  for (auto& [name, factory] : UiTestRegistry::Entries()) {
    if (only != nullptr && std::strcmp(only, name) != 0) continue;
    ran = true;
    QObject* test = factory();
    char* args[] = {argv[0], nullptr};
    failures += QTest::qExec(test, 1, args);
    delete test;
  }
  return ran ? failures : 1;
}
