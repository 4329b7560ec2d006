// The IP address control: four number fields of 0 to 255 separated by dots.
// Typing a dot or a third digit moves to the next field, Backspace in an
// empty field to the previous one. Its text is the dotted address when all
// four fields are filled, else empty.
#pragma once

#include <QFrame>
#include <string>

class QLineEdit;

class IpAddressEdit : public QFrame {
  Q_OBJECT
 public:
  explicit IpAddressEdit(QWidget* parent = nullptr);

  // "%d.%d.%d.%d" when all four fields are filled, else empty.
  std::string Text() const;
  // Shows a dotted address; anything that is not one leaves the control blank.
  void SetText(const std::string& text);
  bool IsBlank() const;
  void Clear();
  QLineEdit* Field(int i) const { return m_pFields[i]; }

 signals:
  // A field changed (by the user or by SetText).
  void Changed();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  QLineEdit* m_pFields[4];
};
