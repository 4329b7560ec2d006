// The Parameters dialog's logic: the live MAC filter, the enabling rules,
// and every refusal of OK with its control, title and text, for both
// interfaces, on a host with adapters eth0 (10.1.2.3, 02-00-00-00-00-10)
// and lab1 (198.51.100.7, 00-11-22-33-44-55).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shell_host.h"

namespace shell_test {
namespace {

// Types the characters one by one into an edit holding `start`, as the
// filter sees each change; returns what the edit shows and how many beeps.
struct Typed {
  std::string text;
  int beeps = 0;
};
Typed Type(const std::string& keys, std::string start = "") {
  std::string remembered = start;
  Typed t{start, 0};
  for (char key : keys) {
    MACEditResult r = FilterMACEdit(t.text + key, &remembered);
    if (!r.bAccepted) ++t.beeps;
    t.text = r.strText;
    EXPECT_EQ(remembered, t.text);
  }
  return t;
}

TEST(MACFilter, InsertsTheSeparatorAndKeepsTheFirstOneChosen) {
  EXPECT_EQ(Type("0200").text, "02-00");
  EXPECT_EQ(Type("020000000000").text, "02-00-00-00-00-00");
  EXPECT_EQ(Type("02:00:5e:80:00:04").text, "02:00:5e:80:00:04");
  EXPECT_EQ(Type("02:00-").text, "02:00");  // "-" after ":" beeps and is dropped
  EXPECT_EQ(Type("02:00-").beeps, 1);
  EXPECT_EQ(Type("02:0011").text, "02:00:11");  // the established separator is inserted
  EXPECT_EQ(Type("0g2x").text, "02");
  EXPECT_EQ(Type("0g2x").beeps, 2);
  EXPECT_EQ(Type("02-00-00-00-00-001").text, "02-00-00-00-00-00");  // at most 17 characters
  EXPECT_EQ(Type("02--").text, "02-");

  // Whole texts (a paste, an opening value): a digit where a separator
  // belongs, other than at the end, is refused with the last accepted text back.
  std::string remembered = "02-00";
  MACEditResult r = FilterMACEdit("020000", &remembered);
  EXPECT_FALSE(r.bAccepted);
  EXPECT_TRUE(r.bReplaced);
  EXPECT_EQ(r.strText, "02-00");
  EXPECT_EQ(remembered, "02-00");
  r = FilterMACEdit("020", &remembered);
  EXPECT_TRUE(r.bAccepted);
  EXPECT_TRUE(r.bReplaced);  // the edit gets "02-0", caret at the end
  EXPECT_EQ(r.strText, "02-0");
  // Only blanks: accepted, remembered as empty.
  r = FilterMACEdit("  ", &remembered);
  EXPECT_TRUE(r.bAccepted);
  EXPECT_FALSE(r.bReplaced);
  EXPECT_EQ(remembered, "");
}

TEST(IPControl, HoldsFourDecimalFieldsOrNothing) {
  const int fields[4] = {10, 1, 0, 111};
  EXPECT_EQ(IPControlText(fields, true), "10.1.0.111");
  EXPECT_EQ(IPControlText(fields, false), "");
  EXPECT_EQ(IPControlTextOf(" 010.001.0.111 "), "10.1.0.111");  // decimal fields, never octal
  for (const char* bad : {"10.1.0", "10.1.0.256", "10.1..1", "10.1.0.1.", "0x0a.1.0.1", "1.2.3.4.5", "", "1234.1.1.1"}) {
    EXPECT_EQ(IPControlTextOf(bad), "") << bad;
  }
}

class Parameters : public ShellTest {
 protected:
  void SetUp() override {
    ShellTest::SetUp();
    UseHost(kTwoAdapterHost);
    LoadInterfaceSettings();
    dialog.Open();
  }

  // OK's verdict: "ok", or "control: title: text".
  std::string Ok() {
    DialogError e;
    if (dialog.Validate(&e)) return "ok";
    EXPECT_EQ(e.kind, DialogError::Kind::kBalloon);
    return std::to_string(e.nControlId) + ": " + e.strTitle + ": " + e.strText;
  }

  void SetInterface(int i, const char* guestIP, const char* guestMAC, const char* adapterIP, const char* adapterMAC) {
    ParametersFields& f = dialog.Fields(i);
    f.strGuestIP = guestIP;
    f.strGuestMAC = guestMAC;
    f.strAdapterIP = adapterIP;
    f.strAdapterMAC = adapterMAC;
  }

  ParametersModel dialog;
};

TEST_F(Parameters, OpensWithTheRecordsAndTheUseTwoChoice) {
  const ParametersFields& f1 = dialog.Fields(0);
  EXPECT_EQ(f1.nMode, 0);
  EXPECT_EQ(f1.strGuestIP, "10.1.0.111");
  EXPECT_EQ(f1.strGuestMAC, "02-00-0A-01-00-6F");
  EXPECT_EQ(f1.strAdapterIP, "10.1.2.3");
  EXPECT_EQ(dialog.Fields(1).nMode, 1);
  EXPECT_FALSE(dialog.UseTwoInterfaces());

  // A text that does not parse leaves its control blank; an adapter IP shown
  // empties the adapter MAC.
  Interface1().strInterface_IPAddr = "10.1.0.300";
  Interface1().strAdapter_MACAddr = "00-11-22-33-44-55";
  Interface2().strAdapter_IPAddr = "";
  Interface2().strAdapter_MACAddr = "00-11-22-33-44-55";
  dialog.Open();
  EXPECT_EQ(dialog.Fields(0).strGuestIP, "");
  EXPECT_EQ(dialog.Fields(0).strAdapterMAC, "");
  EXPECT_EQ(dialog.Fields(1).strAdapterMAC, "00-11-22-33-44-55");
}

TEST_F(Parameters, EnablingRules) {
  ParametersControlStates s = dialog.ControlStates();
  EXPECT_TRUE(s.bMode[0] && s.bGuestIP[0] && s.bGuestMAC[0] && s.bAdapterIP[0]);
  EXPECT_FALSE(s.bAdapterMAC[0]);  // the adapter is given by its IP
  EXPECT_FALSE(s.bMode[1] || s.bGuestIP[1] || s.bGuestMAC[1] || s.bAdapterIP[1] || s.bAdapterMAC[1]);

  dialog.SetUseTwoInterfaces(true);
  s = dialog.ControlStates();
  EXPECT_TRUE(s.bMode[1] && s.bGuestIP[1] && s.bGuestMAC[1]);
  EXPECT_TRUE(s.bAdapterIP[1]);
  EXPECT_FALSE(s.bAdapterMAC[1]);  // interface 2 also names 10.1.2.3

  // Clearing the adapter IP enables the MAC edit; typing a MAC there clears
  // and disables the IP control.
  dialog.SetAdapterIP(0, "");
  EXPECT_TRUE(dialog.ControlStates().bAdapterMAC[0]);
  dialog.EditAdapterMAC(0, "00");
  EXPECT_FALSE(dialog.ControlStates().bAdapterIP[0]);
  dialog.EditAdapterMAC(0, "");
  EXPECT_TRUE(dialog.ControlStates().bAdapterIP[0]);
  dialog.EditAdapterMAC(0, "0");
  dialog.SetAdapterIP(0, "198.51.100.7");  // not reachable in the window, but the rule holds
  EXPECT_EQ(dialog.Fields(0).strAdapterMAC, "");
  EXPECT_FALSE(dialog.ControlStates().bAdapterMAC[0]);
}

TEST_F(Parameters, EveryRefusalInItsOrderForBothInterfaces) {
  for (int i : {0, 1}) {
    SCOPED_TRACE(i);
    dialog.SetUseTwoInterfaces(true);
    if (i == 1) SetInterface(0, "10.1.0.111", "", "10.1.2.3", "");
    const std::string guestIP = std::to_string(kGuestIPControl[i]) + ": IP Address: ";
    const std::string guestMAC = std::to_string(kGuestMACControl[i]) + ": MAC Address: ";
    const std::string adapterIP = std::to_string(kAdapterIPControl[i]) + ": ";
    const std::string adapterMAC = std::to_string(kAdapterMACControl[i]) + ": ";

    // The guest IP is checked first, whatever else is wrong.
    SetInterface(i, "10.1.0", "03-00-00-00-00-01", "", "");
    EXPECT_EQ(Ok(), guestIP + "The IP Address you entered is invalid. Please enter a valid IP address.");
    SetInterface(i, "255.255.255.255", "", "10.1.2.3", "");
    EXPECT_EQ(Ok(), guestIP + "The IP Address you entered is invalid. Please enter a valid IP address.");
    for (const char* mac : {"03-00-00-00-00-01", "00-00-5E-00-00-01", "02-00-5E-80-00", "02-00-5E-80-00-04-05"}) {
      SetInterface(i, "10.1.0.111", mac, "", "");
      EXPECT_EQ(Ok(), guestMAC + "The hardware address you entered is invalid. Please enter a valid hardware address")
          << mac;
    }
    SetInterface(i, "10.1.0.111", "", "", " ");
    EXPECT_EQ(Ok(), adapterMAC + "IP Address: You must identify which host adapter should be used by specifying "
                                 "either its IP address or MAC address.");
    EXPECT_EQ(dialog.Fields(i).strGuestMAC, "02-00-0A-01-00-6F");  // derived on the way
    SetInterface(i, "10.1.0.111", "", "10.1.2.3", "02-00-00-00-00-10");
    EXPECT_EQ(Ok(), adapterMAC + "MAC Address: You must identify the host adapter by either its IP address or its "
                                 "MAC address, but not both.");
    for (const char* mac : {"02-00-00-00-00-99", "03-00-00-00-00-10", "not a mac"}) {
      SetInterface(i, "10.1.0.111", "", "", mac);
      EXPECT_EQ(Ok(), adapterMAC + "MAC Address: No such host adapter exists with this MAC address.") << mac;
    }
    for (const char* ip : {"10.1.2.4", "10.1.2", "255.255.255.255"}) {
      SetInterface(i, "10.1.0.111", "", ip, "");
      EXPECT_EQ(Ok(), adapterIP + "IP Address: No such host adapter exists with this IP address.") << ip;
    }
    // A listed adapter's own MAC need not be locally administered.
    SetInterface(i, "10.1.0.111", "02-00-5E-80-00-04", "", "00-11-22-33-44-55");
    EXPECT_EQ(Ok(), "ok");
    EXPECT_EQ(dialog.Fields(i).strGuestMAC, "02-00-5E-80-00-04");
  }
}

TEST_F(Parameters, UncheckedBoxEmptiesInterfaceTwoWhateverItHeld) {
  SetInterface(1, "garbage", "03-00-00-00-00-01", "10.1.2.3", "02-00-00-00-00-10");
  EXPECT_EQ(Ok(), "ok");
  dialog.Accept();
  EXPECT_FALSE(Interface2InUse());
  EXPECT_EQ(Interface2().strInterface_IPAddr, "");
  EXPECT_EQ(Interface2().strInterface_MACAddr, "");
  EXPECT_FALSE(UseTwoInterfacesChoice());
}

TEST_F(Parameters, AcceptFillsTheRecordsAfresh) {
  // First interface 1 bound by IP, interface 2 in use; the numbers derived.
  dialog.SetUseTwoInterfaces(true);
  SetInterface(1, "198.51.100.222", "", "198.51.100.7", "");
  ASSERT_EQ(Ok(), "ok");
  dialog.Accept();
  EXPECT_TRUE(UseTwoInterfacesChoice());
  EXPECT_TRUE(Interface2InUse());
  EXPECT_EQ(Interface1().binAdapter_IPAddr, Ip("10.1.2.3"));
  EXPECT_EQ(Interface2().binInterface_IPAddr, Ip("198.51.100.222"));
  EXPECT_TRUE(Interface2().bTAPMode);
  ResolveAdapterValues(Interface1());
  EXPECT_EQ(Interface1().strBcastAddr, "10.1.255.255");

  // Then interface 1 bound by MAC to the other adapter, in another network:
  // nothing of the first binding survives, so the adapter's address is
  // looked up again and the broadcast follows the new guest.
  dialog.Open();
  EXPECT_TRUE(dialog.UseTwoInterfaces());
  dialog.SetGuestIP(0, "198.51.100.111");
  dialog.EditGuestMAC(0, "");
  dialog.SetAdapterIP(0, "");
  dialog.EditAdapterMAC(0, "00-11-22-33-44-55");
  ASSERT_EQ(Ok(), "ok");
  dialog.Accept();
  EXPECT_EQ(Interface1().strAdapter_IPAddr, "");
  EXPECT_EQ(Interface1().binAdapter_IPAddr, 0u);
  EXPECT_EQ(Interface1().strInterface_MACAddr, "02-00-C6-33-64-6F");
  ResolveAdapterValues(Interface1());
  EXPECT_EQ(Interface1().binAdapter_IPAddr, Ip("198.51.100.7"));
  EXPECT_TRUE(Interface1().bSameSubnet);
  EXPECT_EQ(Interface1().strBcastAddr, "198.51.100.255");
}

}  // namespace
}  // namespace shell_test
