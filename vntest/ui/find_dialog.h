// The log's Find dialog: the text to find, whole word and case switches, the
// direction, and "Find Next". Modeless; the frame keeps the last search for
// Find Next (F3).
#pragma once

#include <QDialog>
#include <QTextDocument>

class QCheckBox;
class QLineEdit;
class QPushButton;
class QRadioButton;

struct FindRequest {
  QString text;
  QTextDocument::FindFlags flags;
};

class FindDialog : public QDialog {
  Q_OBJECT
 public:
  explicit FindDialog(QWidget* parent);
  FindRequest Request() const;
  void SetText(const QString& text);

 signals:
  void FindNext(const FindRequest& request);

 private:
  QLineEdit* m_pText;
  QCheckBox* m_pWholeWord;
  QCheckBox* m_pMatchCase;
  QRadioButton* m_pUp;
  QPushButton* m_pFindNext;
};
