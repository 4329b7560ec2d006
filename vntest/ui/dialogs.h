// The dialogs of the Test commands: Parameters, Ping who, Define default
// gateway, Define buffer sizes and Set debug flags, and the warnings before a
// test. Each shows what the shell's model of it says and hands every check
// and every decision to that model; a refusal is shown at its control.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QSpinBox>
#include <map>

#include "shell/dialog_error.h"
#include "shell/parameters_model.h"
#include "shell/ping_who.h"
#include "ui/ui_helpers.h"

class CVN32TestEngineState;
class IpAddressEdit;
struct TestWarning;

// Shows a refusal of a dialog's check: the balloon at the control, or a
// message box after which the control has the focus.
void ShowDialogError(QDialog* dialog, const DialogError& error, QWidget* control);

// A dialog whose controls are known by their ids, as the shell's models name
// them.
class ModelDialog : public HelpButtonDialog {
  Q_OBJECT
 public:
  ModelDialog(QWidget* parent, UINT helpId) : HelpButtonDialog(parent, helpId) {}
  QWidget* Control(int id) const;

 protected:
  // Registers a control under its id with its help text (0: none).
  template <typename W>
  W* Register(int id, W* widget, UINT helpId) {
    m_controls[id] = widget;
    widget->setObjectName(QStringLiteral("Control%1").arg(id));
    if (helpId != 0) SetControlHelp(widget, helpId);
    return widget;
  }
  void ShowError(const DialogError& error) { ShowDialogError(this, error, Control(error.nControlId)); }
  // The OK and Cancel row.
  void AddButtons(class QBoxLayout* layout);
  virtual void OnOk() = 0;

 private:
  std::map<int, QWidget*> m_controls;
};

class ParametersDialog : public ModelDialog {
  Q_OBJECT
 public:
  explicit ParametersDialog(QWidget* parent);
  ParametersModel& Model() { return m_model; }

 protected:
  void OnOk() override;

 private:
  struct Group {
    QRadioButton* tun;
    QRadioButton* tap;
    IpAddressEdit* guestIP;
    QLineEdit* guestMAC;
    IpAddressEdit* adapterIP;
    QLineEdit* adapterMAC;
  };
  QWidget* MakeGroup(int i);
  void OnMACEdited(int i, bool adapter, const QString& text);
  // Shows the model's fields and enabled states.
  void Refresh();

  ParametersModel m_model;
  Group m_groups[2];
  QCheckBox* m_pUseTwo = nullptr;
  bool m_bRefreshing = false;
};

class PingWhoDialog : public ModelDialog {
  Q_OBJECT
 public:
  PingWhoDialog(QWidget* parent, CVN32TestEngineState& view);

 protected:
  void OnOk() override;

 private:
  CVN32TestEngineState& m_view;
  PingWhoValues m_values;
  QRadioButton* m_pFrom1;
  QRadioButton* m_pFrom2;
  QLineEdit* m_pTo;
  QSpinBox* m_pSize;
  QSpinBox* m_pCount;
  QSpinBox* m_pTimeout;
  QSpinBox* m_pDelay;
};

class DefaultGatewayDialog : public ModelDialog {
  Q_OBJECT
 public:
  explicit DefaultGatewayDialog(QWidget* parent);

 protected:
  void OnOk() override;

 private:
  IpAddressEdit* m_pAddress;
};

class BufferSizesDialog : public ModelDialog {
  Q_OBJECT
 public:
  explicit BufferSizesDialog(QWidget* parent);

 protected:
  void OnOk() override;

 private:
  QSpinBox* m_pDriver;
  QSpinBox* m_pDll;
};

class DebugFlagsDialog : public ModelDialog {
  Q_OBJECT
 public:
  DebugFlagsDialog(QWidget* parent, CVN32TestEngineState& view);

 protected:
  void OnOk() override;

 private:
  void EnableBoxes();
  CVN32TestEngineState& m_view;
  QCheckBox* m_pMaster;
  std::vector<QCheckBox*> m_boxes;
  DWORD m_dwFlags;
};

// A warning before a test: Proceed (6) or Cancel (2).
int ShowTestWarning(QWidget* owner, const TestWarning& warning);
