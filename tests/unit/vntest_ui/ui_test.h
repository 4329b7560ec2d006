// Shared pieces of the window tests: registration of the test classes, a
// scripted user who answers the modal dialogs as they open, and the drain of
// the log's posted messages.
#pragma once

#include <QApplication>
#include <QObject>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <deque>
#include <functional>
#include <vector>

class LogView;

// Each test class registers itself; the program runs one class (by name, its
// first argument) or all of them.
struct UiTestRegistry {
  using Factory = std::function<QObject*()>;
  static std::vector<std::pair<const char*, Factory>>& Entries();
  UiTestRegistry(const char* name, Factory factory) { Entries().emplace_back(name, std::move(factory)); }
};
#define REGISTER_UI_TEST(Class) \
  static UiTestRegistry g_register_##Class(#Class, [] { return static_cast<QObject*>(new Class); })

// Runs the next step on each modal dialog as it opens (one step per dialog).
class ModalScript : public QObject {
 public:
  using Step = std::function<void(QWidget* dialog)>;
  void Then(Step step);
  int Done() const { return m_nDone; }
  bool Finished() const { return m_steps.empty(); }

 private:
  void Poll();
  std::deque<Step> m_steps;
  QPointer<QWidget> m_last;
  bool m_bArmed = false;
  int m_nDone = 0;
};

// Clicks the task dialog button with this result.
void ClickTaskButton(QWidget* dialog, int result);
// Clicks a dialog's OK button.
void ClickOk(QWidget* dialog);
// The task dialog's main instruction text.
QString TaskInstruction(QWidget* dialog);

// Delivers every message posted to the log window (drains the pending lines).
void DeliverPosted(LogView* log);
