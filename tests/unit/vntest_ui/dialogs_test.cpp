// The Test commands' dialogs on the simulated host (adapter sim0,
// 192.0.2.10/24, MAC 02-00-00-00-00-10): the live MAC filter, every refusal
// of the Parameters dialog at its control, the pre-test warnings and their
// answers, the Ping who, gateway, buffer and debug dialogs, and a whole run
// (start, ping test, stop) through the menu commands.
#include <QCheckBox>
#include <QCommandLinkButton>
#include <QFile>
#include <QLineEdit>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include "engine/debug_mode.h"
#include "engine/engine.h"
#include "engine/engine_state.h"
#include "platform/sim/sim_host.h"
#include "shell/buffer_sizes.h"
#include "shell/commands.h"
#include "shell/default_gateway.h"
#include "shell/discovery.h"
#include "shell/parameters_model.h"
#include "shell/pretest.h"
#include "shell/settings_store.h"
#include "shell/vn32test_view.h"
#include "ui/dialogs.h"
#include "ui/ip_address_edit.h"
#include "ui/log_view.h"
#include "ui/main_frame.h"
#include "ui/task_dialog.h"
#include "ui/ui_helpers.h"
#include "ui_test.h"

namespace {

// The refusal shown: where, its title and text.
struct Shown {
  QWidget* control = nullptr;
  QString title, text;
};
Shown CurrentBalloon() {
  Balloon* b = Balloon::Current();
  return b == nullptr ? Shown{} : Shown{b->Control(), b->Title(), b->Text()};
}

template <typename W>
W* ControlOf(QWidget* dialog, int id) {
  return qobject_cast<W*>(static_cast<ModelDialog*>(dialog)->Control(id));
}

// Selects a simulated host described by the built-in one with `change`
// applied to its text.
void UseHost(const QString& from, const QString& to, QTemporaryDir& dir) {
  QFile base(QStringLiteral(VNTEST_SIM_HOSTS_DIR "/default.host"));
  QVERIFY(base.open(QIODevice::ReadOnly));
  QString text = QString::fromUtf8(base.readAll());
  if (!from.isEmpty()) text.replace(from, to);
  const QString path = dir.filePath(QStringLiteral("test.host"));
  QFile out(path);
  QVERIFY(out.open(QIODevice::WriteOnly));
  out.write(text.toUtf8());
  out.close();
  std::vector<platform::sim::DescriptionError> errors;
  QVERIFY(platform::sim::SelectHostFile(path.toStdString(), &errors));
}

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT
 private slots:
  void init() {
    ResetSettingsForTesting();
    m_pFrame = new CMainFrame;
    m_pFrame->InitialUpdate();
    // The report found the simulated router; these tests start without a
    // gateway known.
    AcceptDefaultGateway(GatewayCheck{});
    m_pFrame->show();
    DeliverPosted(m_pFrame->Log());
    LoadInterfaceSettings();
    m_nBeeps = 0;
    SetBeepHookForTesting([this] { ++m_nBeeps; });
  }
  void cleanup() {
    StopGorlan(m_pFrame->View());
    DeliverPosted(m_pFrame->Log());
    m_pFrame->Log()->document()->setModified(false);
    delete m_pFrame;
    SetBeepHookForTesting(nullptr);
  }

  void macFilterInsertsTheSeparatorAndRefusesAnother() {
    ParametersDialog dialog(m_pFrame);
    dialog.show();
    auto* mac = ControlOf<QLineEdit>(&dialog, kGuestMACControl[0]);
    mac->clear();
    mac->setFocus();
    QTest::keyClicks(mac, QStringLiteral("0200"));
    QCOMPARE(mac->text(), QStringLiteral("02-00"));
    QCOMPARE(m_nBeeps, 0);
    mac->clear();
    QTest::keyClicks(mac, QStringLiteral("02:00:5E"));
    QCOMPARE(mac->text(), QStringLiteral("02:00:5E"));
    QTest::keyClicks(mac, QStringLiteral("-"));  // a second separator that differs
    QCOMPARE(m_nBeeps, 1);
    QCOMPARE(mac->text(), QStringLiteral("02:00:5E"));
    QCOMPARE(mac->cursorPosition(), 8);
    QTest::keyClicks(mac, QStringLiteral("g"));  // not a hex digit
    QCOMPARE(m_nBeeps, 2);
    QCOMPARE(mac->text(), QStringLiteral("02:00:5E"));
    // The host adapter by IP or by MAC: the MAC edit is open only while the
    // IP control is blank, and a MAC typed there disables the IP control.
    auto* adapterIP = ControlOf<IpAddressEdit>(&dialog, kAdapterIPControl[0]);
    auto* adapterMAC = ControlOf<QLineEdit>(&dialog, kAdapterMACControl[0]);
    QVERIFY(!adapterIP->IsBlank());
    QVERIFY(!adapterMAC->isEnabled());
    adapterIP->Clear();
    QVERIFY(adapterMAC->isEnabled());
    QTest::keyClicks(adapterMAC, QStringLiteral("0"));
    QVERIFY(!adapterIP->isEnabled());
    adapterMAC->clear();
    QTest::keyClicks(adapterMAC, QStringLiteral("0"));
    QTest::keyClick(adapterMAC, Qt::Key_Backspace);
    QVERIFY(adapterIP->isEnabled());
  }

  void everyParametersRefusalIsShownAtItsControl() {
    struct Case {
      const char* what;
      std::function<void(ParametersDialog&)> change;
      int control;
      const char* title;
      const char* text;
    };
    auto setIP = [](ParametersDialog& d, int id, const char* text) {
      ControlOf<IpAddressEdit>(&d, id)->SetText(text);
    };
    auto typeMAC = [](ParametersDialog& d, int id, const char* text) {
      auto* edit = ControlOf<QLineEdit>(&d, id);
      edit->clear();
      QTest::keyClicks(edit, QString::fromLatin1(text));
    };
    const Case cases[] = {
        {"guest IP incomplete", [](ParametersDialog& d) { ControlOf<IpAddressEdit>(&d, 1000)->Field(3)->clear(); },
         kGuestIPControl[0], kIPAddressTitle, kBadGuestIPText},
        {"guest MAC a group address", [&](ParametersDialog& d) { typeMAC(d, 1007, "03-00-00-00-00-01"); },
         kGuestMACControl[0], kMACAddressTitle, kBadGuestMACText},
        {"guest MAC not local", [&](ParametersDialog& d) { typeMAC(d, 1007, "00-00-5E-00-00-01"); },
         kGuestMACControl[0], kMACAddressTitle, kBadGuestMACText},
        {"no host adapter", [&](ParametersDialog& d) { setIP(d, 1001, ""); }, kAdapterMACControl[0],
         kIPAddressTitle, kNoAdapterText},
        {"unknown adapter MAC",
         [&](ParametersDialog& d) {
           setIP(d, 1001, "");
           typeMAC(d, 1006, "00-11-22-33-44-55");
         },
         kAdapterMACControl[0], kMACAddressTitle, kNoAdapterWithMACText},
        {"unknown adapter IP", [&](ParametersDialog& d) { setIP(d, 1001, "192.0.2.99"); }, kAdapterIPControl[0],
         kIPAddressTitle, kNoAdapterWithIPText},
        {"both adapter keys",
         [](ParametersDialog& d) { d.Model().Fields(0).strAdapterMAC = "02-00-00-00-00-10"; },
         kAdapterMACControl[0], kMACAddressTitle, kBothAdapterKeysText},
        {"interface 2 guest IP",
         [&](ParametersDialog& d) {
           ControlOf<QCheckBox>(&d, kUseTwoInterfacesBox)->click();
           ControlOf<IpAddressEdit>(&d, 1002)->Field(0)->clear();
         },
         kGuestIPControl[1], kIPAddressTitle, kBadGuestIPText},
        {"interface 2 adapter IP",
         [&](ParametersDialog& d) {
           ControlOf<QCheckBox>(&d, kUseTwoInterfacesBox)->click();
           setIP(d, 1003, "198.51.100.1");
         },
         kAdapterIPControl[1], kIPAddressTitle, kNoAdapterWithIPText},
    };
    for (const Case& c : cases) {
      ParametersDialog dialog(m_pFrame);
      dialog.show();
      c.change(dialog);
      ClickOk(&dialog);
      const Shown shown = CurrentBalloon();
      QVERIFY2(dialog.isVisible() && dialog.result() != QDialog::Accepted, c.what);
      QVERIFY2(shown.control == dialog.Control(c.control), c.what);
      QCOMPARE(shown.title, QString::fromLatin1(c.title));
      QCOMPARE(shown.text, QString::fromLatin1(c.text));
      // The focus goes to the control (a disabled one cannot take it).
      QVERIFY2(!dialog.Control(c.control)->isEnabled() ||
                   dialog.Control(c.control)->isAncestorOf(dialog.focusWidget()) ||
                   dialog.Control(c.control) == dialog.focusWidget(),
               c.what);
      Balloon::Current()->close();
    }
  }

  void uncheckedSecondInterfaceIsEmptiedOnOk() {
    ParametersDialog dialog(m_pFrame);
    dialog.show();
    QVERIFY(!ControlOf<IpAddressEdit>(&dialog, kGuestIPControl[1])->isEnabled());
    ClickOk(&dialog);
    QCOMPARE(dialog.result(), static_cast<int>(QDialog::Accepted));
    QVERIFY(Interface2().strInterface_IPAddr.empty());
    QVERIFY(Interface2().strAdapter_IPAddr.empty());
    QCOMPARE(Interface1().strInterface_IPAddr, std::string("192.0.2.111"));
  }

  void warningsAndTheirAnswers_data() {
    QTest::addColumn<QString>("routing");
    QTest::addColumn<bool>("gateway");
    QTest::addColumn<QString>("guest");
    QTest::addColumn<QStringList>("warnings");
    QTest::newRow("W1 alone") << "routing off" << false << "192.0.2.111" << QStringList{"Your default gateway is undefined!"};
    QTest::newRow("W1 then W2") << "routing off" << false << "198.51.100.111"
                                << QStringList{"Your default gateway is undefined!", "Your default gateway is undefined!"};
    QTest::newRow("W3") << "routing on" << false << "198.51.100.111" << QStringList{"Your guest IP is in a different subnet!"};
    QTest::newRow("W4") << "routing off" << true << "198.51.100.111" << QStringList{"Your guest IP is in a different subnet!"};
  }
  void warningsAndTheirAnswers() {
    QFETCH(QString, routing);
    QFETCH(bool, gateway);
    QFETCH(QString, guest);
    QFETCH(QStringList, warnings);
    QTemporaryDir dir;
    UseHost(QStringLiteral("routing off"), routing, dir);
    m_pFrame->Log()->document()->setModified(false);
    m_pFrame->RunCommand(ID_FILE_NEW);  // the snapshot of that host
    AcceptDefaultGateway(GatewayCheck{});
    if (gateway) {
      GatewayCheck known;
      known.result = GatewayCheck::Result::kResponsive;
      known.dwAddress = 0x010200C0;  // 192.0.2.1
      known.mac[0] = 0x02;
      known.mac[5] = 0x01;
      AcceptDefaultGateway(known);
    }
    // First pass: Cancel at the last warning goes back to the Parameters
    // dialog, which shows the values just entered; cancelling it starts
    // nothing. Second pass: Proceed at every warning starts the guest.
    for (bool proceed : {false, true}) {
      ModalScript user;
      QStringList seen;
      user.Then([&](QWidget* d) {
        ControlOf<IpAddressEdit>(d, kGuestIPControl[0])->SetText(guest.toStdString());
        ClickOk(d);
      });
      for (int i = 0; i < warnings.size(); ++i) {
        const bool last = i == warnings.size() - 1;
        user.Then([&, last](QWidget* d) {
          seen << TaskInstruction(d);
          QCOMPARE(d->findChild<QLabel*>(QStringLiteral("Content"))->text(),
                   QStringLiteral("Do you wish to proceed anyway?"));
          auto* expander = d->findChild<QToolButton*>(QStringLiteral("Expander"));
          QCOMPARE(expander->text(), QStringLiteral("More information"));
          expander->click();
          QCOMPARE(expander->text(), QStringLiteral("Less information"));
          QVERIFY(d->findChild<QLabel*>(QStringLiteral("ExpandedInformation"))->isVisible());
          ClickTaskButton(d, proceed || !last ? kWarningProceed : kWarningCancel);
        });
      }
      if (!proceed) {
        user.Then([&](QWidget* d) {
          QCOMPARE(ControlOf<IpAddressEdit>(d, kGuestIPControl[0])->Text(), guest.toStdString());
          static_cast<QDialog*>(d)->reject();
        });
      }
      QVERIFY(m_pFrame->RunCommand(ID_TEST_START));
      QVERIFY(user.Finished());
      QCOMPARE(seen, warnings);
      QCOMPARE(m_pFrame->View().IsRunning(), proceed);
    }
    StopGorlan(m_pFrame->View());
    UseHost(QString(), QString(), dir);
  }

  void wholeRunThroughTheMenus() {
    CVN32TestView& view = m_pFrame->View();
    ModalScript user;
    user.Then([](QWidget* d) {  // Parameters: a guest on the adapter's subnet
      ControlOf<IpAddressEdit>(d, kGuestIPControl[0])->SetText("192.0.2.111");
      ClickOk(d);
    });
    user.Then([](QWidget* d) { ClickTaskButton(d, kWarningProceed); });  // W1 on this host
    QVERIFY(m_pFrame->RunCommand(ID_TEST_START));
    QVERIFY(view.IsRunning());
    QVERIFY(WaitForLog(" enabled/up..."));
    QVERIFY(m_pFrame->CommandAction(ID_TEST_PING)->isEnabled());
    QVERIFY(!m_pFrame->CommandAction(ID_TEST_START)->isEnabled());

    // Ping who: an empty target is refused at the To edit; then the router.
    user.Then([&](QWidget* d) {
      auto* to = ControlOf<QLineEdit>(d, kPingToEdit);
      to->setText(QStringLiteral("   "));
      ClickOk(d);
      const Shown shown = CurrentBalloon();
      QCOMPARE(shown.control, static_cast<QWidget*>(to));
      QCOMPARE(shown.title, QStringLiteral("Ping Who"));
      QCOMPARE(shown.text, QStringLiteral("Please enter a valid IP address or name."));
      QVERIFY(!ControlOf<QRadioButton>(d, kPingFromInterface2Radio)->isEnabled());
      QCOMPARE(ControlOf<QSpinBox>(d, kPingSizeEdit)->maximum(), 65507);
      to->setText(QStringLiteral("192.0.2.1"));
      ControlOf<QSpinBox>(d, kPingDelayEdit)->setValue(10);
      ClickOk(d);
    });
    QVERIFY(m_pFrame->RunCommand(ID_TEST_PING));
    QVERIFY(view.IsPinging());
    m_pFrame->UpdateCommandUI();
    QVERIFY(m_pFrame->CommandAction(ID_TEST_STOP_PING)->isEnabled());
    QVERIFY(!m_pFrame->CommandAction(ID_TEST_PING)->isEnabled());
    QVERIFY(WaitForLog("** END PING TEST **"));
    QVERIFY(WaitFor([&] { return !view.IsPinging(); }));
    QVERIFY(m_pFrame->CommandAction(ID_TEST_PING)->isEnabled());
    const QString log = m_pFrame->Log()->toPlainText();
    QVERIFY(log.contains(QStringLiteral(" Reply to ping #3 received from 192.0.2.1")));
    QVERIFY(log.contains(QStringLiteral("      3 Pings Sent")));
    QVERIFY(log.contains(QStringLiteral(" Ping test successful.")));

    QVERIFY(m_pFrame->RunCommand(ID_TEST_STOP));
    QVERIFY(!view.IsRunning());
    DeliverPosted(m_pFrame->Log());
    QVERIFY(m_pFrame->Log()->toPlainText().contains(QStringLiteral("*** Statistics for Interface")));
    QVERIFY(m_pFrame->CommandAction(ID_TEST_START)->isEnabled());
  }

  void gatewayDialogRefusesAsksAndKeeps() {
    ModalScript user;
    user.Then([&](QWidget* d) {
      auto* address = ControlOf<IpAddressEdit>(d, kDefaultGatewayIPControl);
      address->SetText("192.0.2");
      ClickOk(d);
      QCOMPARE(CurrentBalloon().title, QStringLiteral("Default Gateway"));
      QCOMPARE(CurrentBalloon().text, QStringLiteral("Invalid IP Address"));
      address->SetText("192.0.2.77");  // nobody answers there
      ClickOk(d);  // the question below runs inside
      QVERIFY(d->isVisible());
      ClickOk(d);
    });
    QStringList links;
    user.Then([&](QWidget* d) {  // first: "Let me fix the error."
      QCOMPARE(d->windowTitle(), QStringLiteral(" Unresponsive Default Gateway"));
      QCOMPARE(TaskInstruction(d), QStringLiteral("That IP address appears to be invalid!"));
      for (auto* link : d->findChildren<QCommandLinkButton*>()) links << link->text();
      ClickTaskButton(d, 2);
    });
    user.Then([&](QWidget* d) { ClickTaskButton(d, 5); });  // then: "Use the entered value."
    QVERIFY(m_pFrame->RunCommand(ID_TEST_GATEWAY));
    QVERIFY(user.Finished());
    QCOMPARE(links, (QStringList{"Use the entered value.", "Let me fix the error."}));
    QCOMPARE(DefaultGatewayControlText(), std::string("192.0.2.77"));
    QVERIFY(!GatherPreTestFacts().bDefaultGatewayKnown);  // unanswered: still unknown
  }

  void bufferSizesAndDebugFlags() {
    ModalScript user;
    user.Then([](QWidget* d) {
      auto* driver = ControlOf<QSpinBox>(d, 1017);
      QCOMPARE(driver->value(), 1024);
      QCOMPARE(driver->minimum(), 64);
      QCOMPARE(ControlOf<QSpinBox>(d, 1018)->minimum(), 16);
      driver->setValue(64);
      ControlOf<QSpinBox>(d, 1018)->setValue(16);
      QVERIFY(driver->whatsThis().contains(QStringLiteral("<b>Driver Buffer Size</b>")));
      ClickOk(d);
    });
    QVERIFY(m_pFrame->RunCommand(ID_TEST_BUFFERS));
    QCOMPARE(TheEngineGlobals().dwDriverBufferSize, 65536u);
    QCOMPARE(TheEngineGlobals().dwDllBufferSize, 16384u);

    SetDebugMode(false);
    user.Then([](QWidget* d) {
      auto* master = ControlOf<QCheckBox>(d, 1027);
      auto* contents = ControlOf<QCheckBox>(d, 1022);
      QVERIFY(!contents->isEnabled());
      master->click();
      QVERIFY(contents->isEnabled());
      contents->click();                         // sets 0x40000000
      ControlOf<QCheckBox>(d, 1021)->click();    // clears 0x80000000
      ClickOk(d);
    });
    QVERIFY(m_pFrame->RunCommand(ID_TEST_DEBUG_FLAGS));
    QVERIFY(DebugMode.load());
    QCOMPARE(m_pFrame->View().DebugFlags, 0x40008080u);
    m_pFrame->UpdateCommandUI();
    QVERIFY(m_pFrame->CommandAction(ID_TEST_DEBUG_FLAGS)->isChecked());
    SetDebugMode(false);
  }

 private:
  bool WaitFor(const std::function<bool()>& done) {
    bool expired = false;
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, [&] { expired = true; });
    deadline.start(60000);
    while (!done() && !expired) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
  }
  bool WaitForLog(const char* text) {
    return WaitFor([&] { return m_pFrame->Log()->toPlainText().contains(QString::fromLatin1(text)); });
  }

  CMainFrame* m_pFrame = nullptr;
  int m_nBeeps = 0;
};

REGISTER_UI_TEST(DialogsTest);
#include "dialogs_test.moc"
