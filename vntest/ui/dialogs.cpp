#include "ui/dialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "engine/debug_mode.h"
#include "engine/engine_state.h"
#include "shell/buffer_sizes.h"
#include "shell/commands.h"
#include "shell/debug_flags.h"
#include "shell/default_gateway.h"
#include "shell/pretest.h"
#include "ui/ip_address_edit.h"
#include "ui/task_dialog.h"

namespace {

QString Q(const std::string& text) { return QString::fromStdString(text); }
QString Q(const char* text) { return QString::fromUtf8(text); }

QSpinBox* Spin(int minimum, int maximum, long long value, QWidget* parent) {
  auto* spin = new QSpinBox(parent);
  spin->setRange(minimum, maximum);
  spin->setValue(static_cast<int>(value));
  spin->setMinimumWidth(90);
  return spin;
}

}  // namespace

void ShowDialogError(QDialog* dialog, const DialogError& error, QWidget* control) {
  if (control == nullptr) control = dialog;
  if (error.kind == DialogError::Kind::kBalloon) {
    ErrorBalloon(control, Q(error.strTitle), Q(error.strText));
    return;
  }
  QMessageBox::warning(dialog, QString::fromLatin1(kProgramName), Q(error.strText));
  control->setFocus(Qt::OtherFocusReason);
}

QWidget* ModelDialog::Control(int id) const {
  auto it = m_controls.find(id);
  return it == m_controls.end() ? nullptr : it->second;
}

void ModelDialog::AddButtons(QBoxLayout* layout) {
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, [this] { OnOk(); });
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

// --- Parameters --------------------------------------------------------------

ParametersDialog::ParametersDialog(QWidget* parent) : ModelDialog(parent, 6200) {
  setObjectName(QStringLiteral("ParametersDialog"));
  setWindowTitle(Q(kParametersTitle));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(MakeGroup(0));
  m_pUseTwo = Register(kUseTwoInterfacesBox, new QCheckBox(Q(kUseTwoInterfacesText), this), 6207);
  layout->addWidget(m_pUseTwo);
  layout->addWidget(MakeGroup(1));
  AddButtons(layout);

  m_model.Open();
  Refresh();
  connect(m_pUseTwo, &QCheckBox::toggled, this, [this](bool on) {
    if (m_bRefreshing) return;
    m_model.SetUseTwoInterfaces(on);
    Refresh();
  });
  for (int i = 0; i < 2; ++i) {
    Group& g = m_groups[i];
    connect(g.tap, &QRadioButton::toggled, this, [this, i](bool tap) {
      if (!m_bRefreshing) m_model.SetMode(i, tap ? 1 : 0);
    });
    connect(g.guestIP, &IpAddressEdit::Changed, this, [this, i] {
      if (m_bRefreshing) return;
      m_model.SetGuestIP(i, m_groups[i].guestIP->Text());
      Refresh();
    });
    connect(g.adapterIP, &IpAddressEdit::Changed, this, [this, i] {
      if (m_bRefreshing) return;
      m_model.SetAdapterIP(i, m_groups[i].adapterIP->Text());
      Refresh();
    });
    connect(g.guestMAC, &QLineEdit::textEdited, this, [this, i](const QString& t) { OnMACEdited(i, false, t); });
    connect(g.adapterMAC, &QLineEdit::textEdited, this, [this, i](const QString& t) { OnMACEdited(i, true, t); });
  }
}

QWidget* ParametersDialog::MakeGroup(int i) {
  auto* box = new QGroupBox(Q(i == 0 ? kInterface1GroupTitle : kInterface2GroupTitle), this);
  Group& g = m_groups[i];
  auto* grid = new QGridLayout(box);
  auto* modes = new QHBoxLayout;
  g.tun = Register(kTunRadio[i], new QRadioButton(QStringLiteral("Tun"), box), 6201);
  g.tap = Register(kTapRadio[i], new QRadioButton(QStringLiteral("Tap"), box), 6202);
  modes->addWidget(g.tun);
  modes->addWidget(g.tap);
  modes->addStretch(1);
  grid->addWidget(new QLabel(QStringLiteral("Device type:"), box), 0, 0);
  grid->addLayout(modes, 0, 1, 1, 3);

  g.guestIP = Register(kGuestIPControl[i], new IpAddressEdit(box), 6203);
  g.guestMAC = Register(kGuestMACControl[i], new QLineEdit(box), 6204);
  g.adapterIP = Register(kAdapterIPControl[i], new IpAddressEdit(box), 6205);
  g.adapterMAC = Register(kAdapterMACControl[i], new QLineEdit(box), 6206);
  const int macWidth = fontMetrics().horizontalAdvance(QStringLiteral("MM-MM-MM-MM-MM-MM")) + 16;
  for (QLineEdit* mac : {g.guestMAC, g.adapterMAC}) mac->setMinimumWidth(macWidth);
  grid->addWidget(new QLabel(QStringLiteral("Guest IP address:"), box), 1, 0);
  grid->addWidget(g.guestIP, 1, 1);
  grid->addWidget(new QLabel(QStringLiteral("Guest MAC address:"), box), 1, 2);
  grid->addWidget(g.guestMAC, 1, 3);
  grid->addWidget(new QLabel(QStringLiteral("Host IP address:"), box), 2, 0);
  grid->addWidget(g.adapterIP, 2, 1);
  grid->addWidget(new QLabel(QStringLiteral("or host MAC address:"), box), 2, 2);
  grid->addWidget(g.adapterMAC, 2, 3);
  grid->setColumnStretch(4, 1);
  return box;
}

void ParametersDialog::OnMACEdited(int i, bool adapter, const QString& text) {
  if (m_bRefreshing) return;
  const MACEditResult r = adapter ? m_model.EditAdapterMAC(i, text.toStdString())
                                  : m_model.EditGuestMAC(i, text.toStdString());
  if (!r.bAccepted) MyMessageBeep();
  QLineEdit* edit = adapter ? m_groups[i].adapterMAC : m_groups[i].guestMAC;
  if (!r.bAccepted || r.bReplaced) {
    m_bRefreshing = true;
    edit->setText(Q(r.strText));
    edit->end(false);
    m_bRefreshing = false;
  }
  Refresh();
}

void ParametersDialog::Refresh() {
  m_bRefreshing = true;
  const ParametersControlStates s = m_model.ControlStates();
  m_pUseTwo->setChecked(m_model.UseTwoInterfaces());
  // An address the model dropped is cleared; fields the user is still
  // filling in stay, unless the control is disabled.
  auto showIP = [](IpAddressEdit* edit, const std::string& text, bool enabled) {
    if (!text.empty()) {
      if (edit->Text() != text) edit->SetText(text);
    } else if (!enabled || !edit->Text().empty()) {
      edit->Clear();
    }
  };
  for (int i = 0; i < 2; ++i) {
    Group& g = m_groups[i];
    const ParametersFields& f = m_model.Fields(i);
    (f.nMode == 1 ? g.tap : g.tun)->setChecked(true);
    showIP(g.guestIP, f.strGuestIP, s.bGuestIP[i]);
    showIP(g.adapterIP, f.strAdapterIP, s.bAdapterIP[i]);
    if (g.guestMAC->text() != Q(f.strGuestMAC)) g.guestMAC->setText(Q(f.strGuestMAC));
    if (g.adapterMAC->text() != Q(f.strAdapterMAC)) g.adapterMAC->setText(Q(f.strAdapterMAC));
    g.tun->setEnabled(s.bMode[i]);
    g.tap->setEnabled(s.bMode[i]);
    g.guestIP->setEnabled(s.bGuestIP[i]);
    g.guestMAC->setEnabled(s.bGuestMAC[i]);
    g.adapterIP->setEnabled(s.bAdapterIP[i]);
    g.adapterMAC->setEnabled(s.bAdapterMAC[i]);
  }
  m_bRefreshing = false;
}

void ParametersDialog::OnOk() {
  DialogError error;
  const bool ok = m_model.Validate(&error);
  Refresh();  // the checks may have completed fields (a derived guest MAC)
  if (!ok) {
    ShowError(error);
    return;
  }
  m_model.Accept();
  accept();
}

// --- Ping who ----------------------------------------------------------------

PingWhoDialog::PingWhoDialog(QWidget* parent, CVN32TestEngineState& view)
    : ModelDialog(parent, 6100), m_view(view), m_values(OpenPingWho(view)) {
  setObjectName(QStringLiteral("PingWhoDialog"));
  setWindowTitle(Q(kPingWhoDialogTitle));
  auto* layout = new QVBoxLayout(this);
  auto* form = new QGridLayout;
  m_pFrom1 = Register(kPingFromInterface1Radio, new QRadioButton(QStringLiteral("Interface1"), this), 6101);
  m_pFrom2 = Register(kPingFromInterface2Radio, new QRadioButton(QStringLiteral("Interface2"), this), 6102);
  auto* from = new QHBoxLayout;
  from->addWidget(m_pFrom1);
  from->addWidget(m_pFrom2);
  from->addStretch(1);
  form->addWidget(new QLabel(QStringLiteral("From:"), this), 0, 0);
  form->addLayout(from, 0, 1, 1, 2);
  m_pTo = Register(kPingToEdit, new QLineEdit(Q(m_values.strTo), this), 6103);
  m_pTo->setMinimumWidth(240);
  form->addWidget(new QLabel(QStringLiteral("To:"), this), 1, 0);
  form->addWidget(m_pTo, 1, 1, 1, 2);
  m_pSize = Register(kPingSizeEdit, Spin(kMinPingDataSize, kMaxPingDataSize, m_values.nSize, this), 6104);
  m_pCount = Register(kPingCountEdit, Spin(kMinNumPings, kMaxNumPings, m_values.nCount, this), 6105);
  m_pTimeout = Register(kPingTimeoutEdit, Spin(kMinPingTimeout, kMaxPingTimeout, m_values.nTimeout, this), 6106);
  m_pDelay = Register(kPingDelayEdit, Spin(kMinPingDelay, kMaxPingDelay, m_values.nDelay, this), 6107);
  struct Row {
    const char* label;
    QSpinBox* spin;
    const char* unit;
  } rows[] = {{"Size:", m_pSize, ""},
              {"Count:", m_pCount, ""},
              {"Timeout:", m_pTimeout, "(milliseconds)"},
              {"Delay:", m_pDelay, "(milliseconds)"}};
  int r = 2;
  for (const Row& row : rows) {
    form->addWidget(new QLabel(Q(row.label), this), r, 0);
    form->addWidget(row.spin, r, 1);
    form->addWidget(new QLabel(Q(row.unit), this), r, 2);
    ++r;
  }
  form->setColumnStretch(2, 1);
  layout->addLayout(form);
  AddButtons(layout);

  (m_values.bFromInterface1 || !m_values.bInterface2Available ? m_pFrom1 : m_pFrom2)->setChecked(true);
  m_pFrom1->setEnabled(m_values.bInterface2Available);
  m_pFrom2->setEnabled(m_values.bInterface2Available);
}

void PingWhoDialog::OnOk() {
  m_values.bFromInterface1 = m_pFrom1->isChecked();
  m_values.strTo = m_pTo->text().toStdString();
  m_values.nSize = m_pSize->value();
  m_values.nCount = m_pCount->value();
  m_values.nTimeout = m_pTimeout->value();
  m_values.nDelay = m_pDelay->value();
  DialogError error;
  if (!CheckPingWho(&m_values, &error)) {
    ShowError(error);
    return;
  }
  AcceptPingWho(m_view, m_values);
  accept();
}

// --- Define default gateway ----------------------------------------------------

DefaultGatewayDialog::DefaultGatewayDialog(QWidget* parent) : ModelDialog(parent, 6300) {
  setObjectName(QStringLiteral("DefaultGatewayDialog"));
  setWindowTitle(Q(kDefaultGatewayDialogTitle));
  auto* layout = new QVBoxLayout(this);
  auto* note = Register(kDefaultGatewayNoteStatic, new QLabel(Q(kDefaultGatewayNote), this), 0);
  note->setWordWrap(true);
  note->setFixedWidth(460);
  layout->addWidget(note);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(Q(kDefaultGatewayLabel), this));
  m_pAddress = Register(kDefaultGatewayIPControl, new IpAddressEdit(this), 6301);
  m_pAddress->SetText(DefaultGatewayControlText());
  row->addWidget(m_pAddress);
  row->addStretch(1);
  layout->addLayout(row);
  AddButtons(layout);
}

void DefaultGatewayDialog::OnOk() {
  DialogError error;
  const GatewayCheck check = CheckDefaultGateway(m_pAddress->Text(), &error);
  switch (check.result) {
    case GatewayCheck::Result::kRefused:
      ShowError(error);
      return;
    case GatewayCheck::Result::kUnresponsive: {
      const UnresponsiveGatewayQuestion& q = kUnresponsiveGateway;
      TaskDialogConfig c;
      c.windowTitle = Q(q.title);
      c.mainInstruction = Q(q.mainInstruction);
      c.content = Q(q.content);
      c.commandLinks = true;
      c.buttons = {{q.useResult, Q(q.useText)}, {q.fixResult, Q(q.fixText)}};
      c.defaultButton = q.defaultResult;
      c.warningIcon = true;
      if (ShowTaskDialog(this, c) != q.useResult) return;
      break;
    }
    case GatewayCheck::Result::kResponsive:
      break;
  }
  AcceptDefaultGateway(check);
  accept();
}

// --- Define buffer sizes -------------------------------------------------------

BufferSizesDialog::BufferSizesDialog(QWidget* parent) : ModelDialog(parent, 6400) {
  setObjectName(QStringLiteral("BufferSizesDialog"));
  setWindowTitle(Q(kBufferSizesDialogTitle));
  const BufferSizesK sizes = CurrentBufferSizesK();
  auto* layout = new QVBoxLayout(this);
  auto* grid = new QGridLayout;
  m_pDriver = Register(kDriverBufferEdit, Spin(kMinDriverBufferK, kMaxDriverBufferK, sizes.nDriverK, this), 6401);
  m_pDll = Register(kDllBufferEdit, Spin(kMinDllBufferK, kMaxDllBufferK, sizes.nDllK, this), 6402);
  grid->addWidget(new QLabel(QStringLiteral("Driver buffer size:"), this), 0, 0);
  grid->addWidget(m_pDriver, 0, 1);
  grid->addWidget(new QLabel(QStringLiteral("K bytes"), this), 0, 2);
  grid->addWidget(new QLabel(QStringLiteral("DLL buffer size:"), this), 1, 0);
  grid->addWidget(m_pDll, 1, 1);
  grid->addWidget(new QLabel(QStringLiteral("K bytes"), this), 1, 2);
  layout->addLayout(grid);
  AddButtons(layout);
}

void BufferSizesDialog::OnOk() {
  DialogError error;
  if (!ApplyBufferSizesK({m_pDriver->value(), m_pDll->value()}, &error)) {
    ShowError(error);
    return;
  }
  accept();
}

// --- Set debug flags -----------------------------------------------------------

DebugFlagsDialog::DebugFlagsDialog(QWidget* parent, CVN32TestEngineState& view)
    : ModelDialog(parent, 6500), m_view(view), m_dwFlags(view.DebugFlags) {
  setObjectName(QStringLiteral("DebugFlagsDialog"));
  setWindowTitle(Q(kDebugFlagsDialogTitle));
  auto* layout = new QVBoxLayout(this);
  m_pMaster = Register(kDebugModeBox, new QCheckBox(Q(kDebugModeText), this), 6501);
  m_pMaster->setChecked(DebugMode.load());
  layout->addWidget(m_pMaster);
  auto* boxes = new QVBoxLayout;
  boxes->setContentsMargins(24, 0, 0, 0);
  UINT help = 6502;
  for (const DebugFlagBox& b : kDebugFlagBoxes) {
    auto* box = Register(b.nControlId, new QCheckBox(Q(b.text), this), help++);
    box->setChecked((m_dwFlags & b.dwBit) != 0);
    connect(box, &QCheckBox::toggled, this, [this, bit = b.dwBit](bool on) { m_dwFlags = ToggleDebugFlag(m_dwFlags, bit, on); });
    boxes->addWidget(box);
    m_boxes.push_back(box);
  }
  layout->addLayout(boxes);
  AddButtons(layout);
  connect(m_pMaster, &QCheckBox::toggled, this, &DebugFlagsDialog::EnableBoxes);
  EnableBoxes();
}

void DebugFlagsDialog::EnableBoxes() {
  for (QCheckBox* box : m_boxes) box->setEnabled(m_pMaster->isChecked());
}

void DebugFlagsDialog::OnOk() {
  ApplyDebugSettings(m_view, m_pMaster->isChecked(), m_dwFlags);
  accept();
}

// --- Warnings ----------------------------------------------------------------

int ShowTestWarning(QWidget* owner, const TestWarning& w) {
  TaskDialogConfig c;
  c.windowTitle = Q(w.title);
  c.mainInstruction = Q(w.mainInstruction);
  c.content = Q(w.question);
  c.expandedInformation = Q(w.explanation);
  c.collapsedControlText = Q(kWarningMoreText);
  c.expandedControlText = Q(kWarningLessText);
  c.buttons = {{kWarningProceed, Q(kWarningProceedText)}};
  c.commonButtons = TaskDialogConfig::kCancel;
  c.defaultButton = kWarningCancel;
  c.warningIcon = true;
  return ShowTaskDialog(owner, c);
}
