// The About box: the program's icon, the product line (a link to the
// product's web address), the legal notice and the support address (a link
// that starts a mail). It reopens where it was last closed.
#pragma once

#include <QIcon>

#include "ui/ui_helpers.h"

class AboutDialog : public HelpButtonDialog {
  Q_OBJECT
 public:
  explicit AboutDialog(QWidget* parent);

  void done(int result) override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  bool m_bPlaced = false;
};

// The program's icon, drawn rather than shipped as a picture file.
QIcon AppIcon();
