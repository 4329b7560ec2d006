// Runs the registered window test classes: all, or the one named by the
// first argument.
#include <QApplication>
#include <QtTest>
#include <cstring>

#include "platform/machine.h"
#include "ui_test.h"

std::vector<std::pair<const char*, UiTestRegistry::Factory>>& UiTestRegistry::Entries() {
  static std::vector<std::pair<const char*, Factory>> entries;
  return entries;
}

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
