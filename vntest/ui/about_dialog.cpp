#include "ui/about_dialog.h"

#include <QDialogButtonBox>
#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPixmap>

#include "shell/about_box.h"

namespace {

QLabel* LinkLabel(const std::string& text, const std::string& url, QWidget* parent) {
  auto* label = new QLabel(
      QStringLiteral("<a href=\"%1\">%2</a>")
          .arg(QString::fromStdString(url).toHtmlEscaped(), QString::fromStdString(text).toHtmlEscaped()),
      parent);
  label->setTextFormat(Qt::RichText);
  label->setOpenExternalLinks(true);
  label->setTextInteractionFlags(Qt::TextBrowserInteraction);
  return label;
}

}  // namespace

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    // A screen with a link between two stations: the guest and its host.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1f, 0x4e, 0x8c));
    p.drawRoundedRect(QRectF(s * 0.04, s * 0.08, s * 0.92, s * 0.70), s * 0.08, s * 0.08);
    p.setBrush(QColor(0xe8, 0xf1, 0xfb));
    p.drawRect(QRectF(s * 0.12, s * 0.16, s * 0.76, s * 0.54));
    p.setBrush(QColor(0x1f, 0x4e, 0x8c));
    p.drawRect(QRectF(s * 0.40, s * 0.78, s * 0.20, s * 0.10));
    p.drawRect(QRectF(s * 0.24, s * 0.88, s * 0.52, s * 0.07));
    p.setBrush(QColor(0x2e, 0x9d, 0x4e));
    p.drawEllipse(QPointF(s * 0.30, s * 0.43), s * 0.09, s * 0.09);
    p.drawEllipse(QPointF(s * 0.70, s * 0.43), s * 0.09, s * 0.09);
    QPen link(QColor(0x2e, 0x9d, 0x4e), std::max(1.0, s * 0.05));
    p.setPen(link);
    p.drawLine(QPointF(s * 0.39, s * 0.43), QPointF(s * 0.61, s * 0.43));
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

AboutDialog::AboutDialog(QWidget* parent) : HelpButtonDialog(parent, 6000) {
  const AboutBoxTexts& t = AboutBox();
  setObjectName(QStringLiteral("AboutDialog"));
  setWindowTitle(QString::fromStdString(t.title));

  auto* grid = new QGridLayout(this);
  grid->setContentsMargins(16, 16, 16, 12);
  grid->setHorizontalSpacing(16);
  grid->setVerticalSpacing(8);

  auto* icon = new QLabel(this);
  icon->setObjectName(QStringLiteral("ProductIcon"));
  icon->setPixmap(AppIcon().pixmap(48, 48));
  SetControlHelp(icon, 6001);
  grid->addWidget(icon, 0, 0, 3, 1, Qt::AlignTop);

  QLabel* product = LinkLabel(t.productLine, t.productUrl, this);
  product->setObjectName(QStringLiteral("ProductLine"));
  SetControlHelp(product, 6002);
  grid->addWidget(product, 0, 1, 1, 2);

  auto* legal = new QLabel(QString::fromStdString(t.legalNotice), this);
  legal->setObjectName(QStringLiteral("LegalNotice"));
  SetControlHelp(legal, 6003);
  grid->addWidget(legal, 1, 1, 1, 2);

  grid->addWidget(new QLabel(QString::fromStdString(t.supportLabel), this), 2, 1);
  QLabel* support = LinkLabel(t.supportAddress, t.supportMailUrl, this);
  support->setObjectName(QStringLiteral("SupportAddress"));
  SetControlHelp(support, 6004);
  grid->addWidget(support, 2, 2);
  grid->setColumnStretch(2, 1);

  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  grid->addWidget(buttons, 3, 0, 1, 3);
  setFixedSize(sizeHint());
}

void AboutDialog::showEvent(QShowEvent* event) {
  if (!m_bPlaced) {
    m_bPlaced = true;
    RestoreWindowPlacement(this, kAboutPlacementName);
  }
  HelpButtonDialog::showEvent(event);
}

void AboutDialog::done(int result) {
  SaveWindowPlacement(this, kAboutPlacementName);
  HelpButtonDialog::done(result);
}
