// Small helpers every window of the program uses: the beep, error balloons
// at a dialog's control, per-control help texts (What's This), dialogs with
// a caption help button, and window placement kept by name.
#pragma once

#include <QDialog>
#include <QFrame>
#include <QString>
#include <functional>

#include "platform/wintypes.h"

// The warning beep. Tests may replace what it does (null: the real beep).
void MyMessageBeep();
void SetBeepHookForTesting(std::function<void()> hook);

// A balloon pointing at a control: a title with an icon, and a text. It goes
// away at the next key press or click, or after a while.
class Balloon : public QFrame {
  Q_OBJECT
 public:
  Balloon(QWidget* control, const QString& title, const QString& text);
  ~Balloon() override;
  QWidget* Control() const { return m_pControl; }
  const QString& Title() const { return m_title; }
  const QString& Text() const { return m_text; }

  // The balloon on screen, or null.
  static Balloon* Current();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QWidget* m_pControl;
  QString m_title;
  QString m_text;
};

// Shows an error balloon at `control` (of a dialog) and puts the focus there.
// Returns false, so that a validation can end with it.
bool ErrorBalloon(QWidget* control, const QString& title, const QString& text);

// Gives `widget` the help text `helpId` as its context help.
void SetControlHelp(QWidget* widget, UINT helpId);
// The rich text shown for a help id: its title, then its body.
QString HelpHtml(UINT helpId);

// A dialog with a help button in its caption and help texts on its
// controls: the caption button turns the next click into a question about
// the control clicked; F1 shows the help of the control that has the focus,
// else the dialog's own.
class HelpButtonDialog : public QDialog {
  Q_OBJECT
 public:
  HelpButtonDialog(QWidget* parent, UINT dialogHelpId);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void ShowContextHelp();

 private:
  UINT m_nHelpId;
};

// Restores a window's placement saved under `name` (when it still fits on a
// screen) and saves it.
void RestoreWindowPlacement(QWidget* window, const char* name);
void SaveWindowPlacement(const QWidget* window, const char* name);
