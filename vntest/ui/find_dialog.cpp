#include "ui/find_dialog.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

FindDialog::FindDialog(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("FindDialog"));
  setWindowTitle(QStringLiteral("Find"));
  auto* grid = new QGridLayout(this);
  auto* label = new QLabel(QStringLiteral("Fi&nd what:"), this);
  m_pText = new QLineEdit(this);
  m_pText->setObjectName(QStringLiteral("FindText"));
  m_pText->setMinimumWidth(220);
  label->setBuddy(m_pText);
  grid->addWidget(label, 0, 0);
  grid->addWidget(m_pText, 0, 1, 1, 2);

  auto* switches = new QVBoxLayout;
  m_pWholeWord = new QCheckBox(QStringLiteral("Match &whole word only"), this);
  m_pMatchCase = new QCheckBox(QStringLiteral("Match &case"), this);
  switches->addWidget(m_pWholeWord);
  switches->addWidget(m_pMatchCase);
  switches->addStretch(1);
  grid->addLayout(switches, 1, 0, 1, 2);

  auto* direction = new QGroupBox(QStringLiteral("Direction"), this);
  auto* dirRow = new QHBoxLayout(direction);
  m_pUp = new QRadioButton(QStringLiteral("&Up"), direction);
  auto* down = new QRadioButton(QStringLiteral("&Down"), direction);
  down->setChecked(true);
  dirRow->addWidget(m_pUp);
  dirRow->addWidget(down);
  grid->addWidget(direction, 1, 2);

  auto* buttons = new QVBoxLayout;
  m_pFindNext = new QPushButton(QStringLiteral("&Find Next"), this);
  m_pFindNext->setDefault(true);
  auto* cancel = new QPushButton(QStringLiteral("Cancel"), this);
  buttons->addWidget(m_pFindNext);
  buttons->addWidget(cancel);
  buttons->addStretch(1);
  grid->addLayout(buttons, 0, 3, 2, 1);

  m_pFindNext->setEnabled(false);
  connect(m_pText, &QLineEdit::textChanged, this, [this](const QString& t) { m_pFindNext->setEnabled(!t.isEmpty()); });
  connect(m_pFindNext, &QPushButton::clicked, this, [this] { emit FindNext(Request()); });
  connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

FindRequest FindDialog::Request() const {
  FindRequest r{m_pText->text(), {}};
  if (m_pWholeWord->isChecked()) r.flags |= QTextDocument::FindWholeWords;
  if (m_pMatchCase->isChecked()) r.flags |= QTextDocument::FindCaseSensitively;
  if (m_pUp->isChecked()) r.flags |= QTextDocument::FindBackward;
  return r;
}

void FindDialog::SetText(const QString& text) {
  m_pText->setText(text);
  m_pText->selectAll();
}
