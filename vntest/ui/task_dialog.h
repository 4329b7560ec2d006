// The task dialog: a main instruction, optional content, a collapsible
// explanation with its two control texts, custom buttons or command links,
// the common buttons, a default button and an optional warning icon. Every
// decision the program asks of the user goes through it. exec() returns the
// chosen button's result.
#pragma once

#include <QDialog>
#include <QString>
#include <vector>

class QLabel;
class QToolButton;

struct TaskDialogButton {
  int result;
  QString text;  // command links: the link's text, "\n", its explanation
};

struct TaskDialogConfig {
  // Common buttons (the platform's results): OK 1, Cancel 2, Yes 6, No 7.
  enum CommonButton { kOk = 0x1, kYes = 0x2, kNo = 0x4, kCancel = 0x8 };
  static constexpr int kResultOk = 1, kResultCancel = 2, kResultYes = 6, kResultNo = 7;

  QString windowTitle;
  QString mainInstruction;
  QString content;
  QString expandedInformation;  // shown in the footer area when expanded
  QString collapsedControlText = QStringLiteral("More information");
  QString expandedControlText = QStringLiteral("Less information");
  std::vector<TaskDialogButton> buttons;
  int commonButtons = 0;
  bool commandLinks = false;
  int defaultButton = 0;  // a result; 0: the first button
  bool warningIcon = false;
};

class TaskDialog : public QDialog {
  Q_OBJECT
 public:
  TaskDialog(QWidget* owner, const TaskDialogConfig& config);

  // Shows the dialog modally; the chosen button's result (Cancel when the
  // dialog is closed otherwise, as the platform does).
  int Run();
  bool IsExpanded() const { return m_bExpanded; }
  void SetExpanded(bool expanded);

 private:
  void Choose(int result);

  TaskDialogConfig m_config;
  QToolButton* m_pExpander = nullptr;
  QLabel* m_pExpandedText = nullptr;
  bool m_bExpanded = false;
  int m_nResult;
};

// Shows a task dialog owned by `owner` and returns the chosen button.
int ShowTaskDialog(QWidget* owner, const TaskDialogConfig& config);
