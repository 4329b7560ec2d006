#include "ui/task_dialog.h"

#include <QCommandLinkButton>
#include <QDialogButtonBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

QLabel* WrappedLabel(const QString& text, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setWordWrap(true);
  label->setTextFormat(Qt::PlainText);
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  return label;
}

}  // namespace

TaskDialog::TaskDialog(QWidget* owner, const TaskDialogConfig& config)
    : QDialog(owner), m_config(config), m_nResult(TaskDialogConfig::kResultCancel) {
  setWindowTitle(config.windowTitle);
  setObjectName(QStringLiteral("TaskDialog"));

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  outer->setSpacing(0);

  // The main area: icon, instruction, content, command links.
  auto* main = new QWidget(this);
  main->setMinimumWidth(config.commandLinks ? 500 : 400);
  main->setAutoFillBackground(true);
  QPalette pal = main->palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Base));
  main->setPalette(pal);
  auto* mainRow = new QHBoxLayout(main);
  mainRow->setContentsMargins(16, 16, 16, 16);
  mainRow->setSpacing(12);
  if (config.warningIcon) {
    auto* icon = new QLabel(main);
    icon->setObjectName(QStringLiteral("WarningIcon"));
    icon->setPixmap(style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(32, 32));
    icon->setAlignment(Qt::AlignTop);
    mainRow->addWidget(icon, 0, Qt::AlignTop);
  }
  auto* texts = new QVBoxLayout;
  texts->setSpacing(10);
  auto* instruction = WrappedLabel(config.mainInstruction, main);
  instruction->setObjectName(QStringLiteral("MainInstruction"));
  QFont big = instruction->font();
  big.setPointSizeF(big.pointSizeF() * 1.25);
  instruction->setFont(big);
  QPalette blue = instruction->palette();
  blue.setColor(QPalette::WindowText, QColor(0x00, 0x33, 0x99));
  instruction->setPalette(blue);
  texts->addWidget(instruction);
  if (!config.content.isEmpty()) {
    auto* content = WrappedLabel(config.content, main);
    content->setObjectName(QStringLiteral("Content"));
    texts->addWidget(content);
  }

  auto makeButton = [this](const TaskDialogButton& b, QWidget* parent) -> QPushButton* {
    QPushButton* button;
    if (m_config.commandLinks) {
      const int nl = b.text.indexOf('\n');
      button = new QCommandLinkButton(nl < 0 ? b.text : b.text.left(nl), nl < 0 ? QString() : b.text.mid(nl + 1),
                                      parent);
    } else {
      button = new QPushButton(b.text, parent);
    }
    button->setProperty("taskDialogResult", b.result);
    button->setAutoDefault(false);
    if (b.result == m_config.defaultButton) button->setDefault(true);
    connect(button, &QPushButton::clicked, this, [this, r = b.result] { Choose(r); });
    return button;
  };

  if (config.commandLinks) {
    for (const TaskDialogButton& b : config.buttons) texts->addWidget(makeButton(b, main));
  }
  texts->addStretch(1);
  mainRow->addLayout(texts, 1);
  outer->addWidget(main, 1);

  // The button row: the expander on the left, buttons on the right.
  auto* row = new QHBoxLayout;
  row->setContentsMargins(12, 10, 12, 10);
  if (!config.expandedInformation.isEmpty()) {
    m_pExpander = new QToolButton(this);
    m_pExpander->setObjectName(QStringLiteral("Expander"));
    m_pExpander->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_pExpander->setAutoRaise(true);
    connect(m_pExpander, &QToolButton::clicked, this, [this] { SetExpanded(!m_bExpanded); });
    row->addWidget(m_pExpander);
  }
  row->addStretch(1);
  if (!config.commandLinks) {
    for (const TaskDialogButton& b : config.buttons) row->addWidget(makeButton(b, this));
  }
  struct Common {
    int flag;
    int result;
    const char* text;
  };
  static const Common kCommon[] = {{TaskDialogConfig::kOk, TaskDialogConfig::kResultOk, "OK"},
                                   {TaskDialogConfig::kYes, TaskDialogConfig::kResultYes, "&Yes"},
                                   {TaskDialogConfig::kNo, TaskDialogConfig::kResultNo, "&No"},
                                   {TaskDialogConfig::kCancel, TaskDialogConfig::kResultCancel, "Cancel"}};
  for (const Common& c : kCommon) {
    if (config.commonButtons & c.flag) row->addWidget(makeButton({c.result, QString::fromLatin1(c.text)}, this));
  }
  // Command links alone need no button row.
  if (row->count() > 1) {
    outer->addLayout(row);
  } else {
    delete row;
  }

  if (m_pExpander != nullptr) {
    auto* line = new QFrame(this);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    outer->addWidget(line);
    m_pExpandedText = WrappedLabel(config.expandedInformation, this);
    m_pExpandedText->setObjectName(QStringLiteral("ExpandedInformation"));
    m_pExpandedText->setContentsMargins(16, 8, 16, 12);
    outer->addWidget(m_pExpandedText);
    SetExpanded(false);
  }

  // A task dialog takes the size its texts need.
  outer->setSizeConstraint(QLayout::SetFixedSize);
  // Focus on the default button, so that Enter chooses it.
  for (QPushButton* b : findChildren<QPushButton*>()) {
    if (b->isDefault()) b->setFocus();
  }
}

void TaskDialog::SetExpanded(bool expanded) {
  m_bExpanded = expanded;
  if (m_pExpander == nullptr) return;
  m_pExpander->setArrowType(expanded ? Qt::UpArrow : Qt::DownArrow);
  m_pExpander->setText(expanded ? m_config.expandedControlText : m_config.collapsedControlText);
  m_pExpandedText->setVisible(expanded);
}

void TaskDialog::Choose(int result) {
  m_nResult = result;
  accept();
}

int TaskDialog::Run() {
  m_nResult = TaskDialogConfig::kResultCancel;
  exec();
  return m_nResult;
}

int ShowTaskDialog(QWidget* owner, const TaskDialogConfig& config) {
  TaskDialog dialog(owner, config);
  return dialog.Run();
}
