// The settings store on a simulated host whose settings live in a file: the
// defaults a first run offers with and without a default host adapter, the
// values a later run reads back, the order of the writes, and a damaged
// settings file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/debug_mode.h"
#include "shell/debug_flags.h"
#include "shell_host.h"

namespace shell_test {
namespace {

struct Loaded {
  bool tap1, tap2;
  std::string guestIP1, guestIP2, adapterIP1, adapterIP2, guestMAC1, guestMAC2, adapterMAC1, adapterMAC2;
  bool operator==(const Loaded&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Loaded& l) {
  return out << l.tap1 << " " << l.guestIP1 << " " << l.guestMAC1 << " " << l.adapterIP1 << " " << l.adapterMAC1
             << " | " << l.tap2 << " " << l.guestIP2 << " " << l.guestMAC2 << " " << l.adapterIP2 << " "
             << l.adapterMAC2;
}

Loaded Records() {
  const INTERFACEREC& a = Interface1();
  const INTERFACEREC& b = Interface2();
  return {a.bTAPMode,           b.bTAPMode,           a.strInterface_IPAddr,  b.strInterface_IPAddr,
          a.strAdapter_IPAddr,  b.strAdapter_IPAddr,  a.strInterface_MACAddr, b.strInterface_MACAddr,
          a.strAdapter_MACAddr, b.strAdapter_MACAddr};
}

using Settings = ShellTest;

TEST_F(Settings, FirstRunOffersTheDefaultAdaptersNetwork) {
  UseHost(kTwoAdapterHost);
  ASSERT_TRUE(LoadInterfaceSettings());
  // The adapter 10.1.2.3/16 gives guests 10.1.0.111 and 10.1.0.222, whose
  // MACs the emulator derives from their addresses.
  EXPECT_EQ(Records(), (Loaded{false, true, "10.1.0.111", "10.1.0.222", "10.1.2.3", "10.1.2.3", "02-00-0A-01-00-6F",
                               "02-00-0A-01-00-DE", "", ""}));
  EXPECT_EQ(Interface1().binInterface_IPAddr, Ip("10.1.0.111"));
  EXPECT_EQ(Interface2().binAdapter_IPAddr, Ip("10.1.2.3"));
  EXPECT_FALSE(std::filesystem::exists(SettingsFile()));  // loading writes nothing
}

TEST_F(Settings, FirstRunWithoutADefaultAdapterOffersTheFixedAddresses) {
  UseHost(kNoDefaultAdapterHost);
  ASSERT_FALSE(Discovery().bDefaultHostAdapter);
  ASSERT_TRUE(LoadInterfaceSettings());
  EXPECT_EQ(Records(), (Loaded{false, true, "192.168.0.111", "192.168.0.222", "192.168.0.1", "192.168.0.1",
                               "02-00-C0-A8-00-6F", "02-00-C0-A8-00-DE", "", ""}));
}

TEST_F(Settings, StoredValuesWinAndAGuestMACDefaultsToTheStoredGuestIP) {
  UseHost(kTwoAdapterHost);
  WriteFile(SettingsFile(),
            "[Settings]\n"
            "Interface1_bTAPMode=dword:00000001\n"
            "Interface2_bTAPMode=dword:00000000\n"
            "Interface1_strInterface_IPAddr=text:\"10.1.7.9\"\n"
            "Interface2_strAdapter_IPAddr=text:\"\"\n"
            "Interface2_strAdapter_MACAddr=text:\"00-11-22-33-44-55\"\n"
            "Interface2_strInterface_MACAddr=text:\"02-00-5E-80-00-04\"\n");
  ASSERT_TRUE(LoadInterfaceSettings());
  EXPECT_EQ(Records(), (Loaded{true, false, "10.1.7.9", "10.1.0.222", "10.1.2.3", "", "02-00-0A-01-07-09",
                               "02-00-5E-80-00-04", "", "00-11-22-33-44-55"}));

  // Loaded once per process: a changed file is not read again ...
  WriteFile(SettingsFile(), "[Settings]\nInterface1_strInterface_IPAddr=text:\"10.1.7.10\"\n");
  EXPECT_FALSE(LoadInterfaceSettings());
  EXPECT_EQ(Interface1().strInterface_IPAddr, "10.1.7.9");
  // ... until the adapters are detected again.
  ForgetInterfaceSettings();
  EXPECT_TRUE(LoadInterfaceSettings());
  EXPECT_EQ(Interface1().strInterface_IPAddr, "10.1.7.10");
  EXPECT_FALSE(Interface1().bTAPMode);
}

TEST_F(Settings, AcceptedParametersAreStoredInTheirOrderAndReadBackNextTime) {
  UseHost(kTwoAdapterHost);
  LoadInterfaceSettings();
  ParametersModel dialog;
  dialog.Open();
  dialog.SetMode(0, 1);
  dialog.SetGuestIP(0, "10.1.5.5");
  dialog.EditGuestMAC(0, "");
  DialogError error;
  ASSERT_TRUE(dialog.Validate(&error)) << error.strText;
  dialog.Accept();
  // Interface 2 was not used: its texts are stored empty, every one of them.
  EXPECT_EQ(StoredLines(), (std::vector<std::string>{
                               "Interface1_bTAPMode=dword:00000001",
                               "Interface1_strInterface_IPAddr=text:\"10.1.5.5\"",
                               "Interface1_strAdapter_IPAddr=text:\"10.1.2.3\"",
                               "Interface1_strInterface_MACAddr=text:\"02-00-0A-01-05-05\"",
                               "Interface1_strAdapter_MACAddr=text:\"\"",
                               "Interface2_bTAPMode=dword:00000001",
                               "Interface2_strInterface_IPAddr=text:\"\"",
                               "Interface2_strAdapter_IPAddr=text:\"\"",
                               "Interface2_strInterface_MACAddr=text:\"\"",
                               "Interface2_strAdapter_MACAddr=text:\"\"",
                           }));
  EXPECT_FALSE(Interface2InUse());

  // The next process reads them back: interface 2 stays unused.
  ResetSettingsForTesting();
  ASSERT_TRUE(LoadInterfaceSettings());
  EXPECT_EQ(Records(), (Loaded{true, true, "10.1.5.5", "", "10.1.2.3", "", "02-00-0A-01-05-05", "", "", ""}));
}

TEST_F(Settings, WritesOffStoreNothing) {
  UseHost(kTwoAdapterHost);
  LoadInterfaceSettings();
  SetSettingsWritesEnabled(false);
  StoreInterfaceSettings();
  StorePingSettings(PingSettings{});
  StoreDebugSettings(true, 1);
  StoreSocketNotifyMode(true);
  EXPECT_FALSE(std::filesystem::exists(SettingsFile()));
}

TEST_F(Settings, ADamagedFileReadsAsEmptyAndIsKeptAsideWholeAtTheNextWrite) {
  UseHost(kTwoAdapterHost);
  const std::string damaged =
      "[Settings]\nInterface1_strInterface_IPAddr=text:\"10.1.9.9\"\nInterface1_bTAPMode=1\n\x01\xff garbage";
  WriteFile(SettingsFile(), damaged);
  ASSERT_TRUE(LoadInterfaceSettings());
  EXPECT_EQ(Interface1().strInterface_IPAddr, "10.1.0.111");  // nothing of the file is used
  EXPECT_FALSE(Interface1().bTAPMode);
  EXPECT_EQ(ReadFile(SettingsFile()), damaged);  // reading leaves it alone

  ParametersModel dialog;
  dialog.Open();
  DialogError error;
  ASSERT_TRUE(dialog.Validate(&error)) << error.strText;
  dialog.Accept();
  EXPECT_EQ(ReadFile(SettingsFile().string() + ".bad"), damaged);
  EXPECT_EQ(StoredLines().size(), 10u);
  EXPECT_EQ(StoredLines()[1], "Interface1_strInterface_IPAddr=text:\"10.1.0.111\"");
}

TEST_F(Settings, PingSettingsLoadOnceWithTheBuiltInTarget) {
  UseHost(kTwoAdapterHost);
  CVN32TestEngineState view;
  ASSERT_TRUE(LoadPingSettings(view));
  EXPECT_EQ(TheEngineGlobals().dwPingTargetIP, BuiltInPingAddress());
  EXPECT_EQ(FormatIPAddr(BuiltInPingAddress()), "203.0.113.10");
  EXPECT_EQ(TheEngineGlobals().strPingTargetName, "www.example.com");
  EXPECT_EQ(view.PingDataSize, 32);
  EXPECT_EQ(view.NumPings, 3);
  EXPECT_EQ(view.PingTimeout, 500);
  EXPECT_EQ(view.PingDelay, 1000);

  PingSettings stored;
  stored.dwWhoPingIPAddr = Ip("10.1.0.1");
  stored.strWhoPingName = "";
  stored.PingDataSize = 64;
  stored.NumPings = 5;
  stored.PingTimeout = 250;
  stored.PingDelay = 10;
  StorePingSettings(stored);
  EXPECT_EQ(StoredLines(), (std::vector<std::string>{
                               "WhoPingIPAddr=dword:0100010a",
                               "WhoPingName=text:\"\"",
                               "PingDataSize=dword:00000040",
                               "NumPings=dword:00000005",
                               "PingTimeout=dword:000000fa",
                               "PingDelay=dword:0000000a",
                           }));
  EXPECT_FALSE(LoadPingSettings(view));  // once per process
  EXPECT_EQ(view.NumPings, 3);

  ResetSettingsForTesting();
  ASSERT_TRUE(LoadPingSettings(view));
  // An empty stored name shows the stored address's text.
  EXPECT_EQ(TheEngineGlobals().dwPingTargetIP, Ip("10.1.0.1"));
  EXPECT_EQ(TheEngineGlobals().strPingTargetName, "10.1.0.1");
  EXPECT_EQ(view.PingDataSize, 64);
  EXPECT_EQ(view.NumPings, 5);
  EXPECT_EQ(view.PingTimeout, 250);
  EXPECT_EQ(view.PingDelay, 10);
}

TEST_F(Settings, DebugSettingsAreReadWhenTheViewIsBuiltAndStoredByTheirCommands) {
  UseHost(kTwoAdapterHost);
  CVN32TestEngineState view;
  view.DebugFlags = 0;
  LoadDebugSettings(view);
  EXPECT_EQ(view.DebugFlags, 0x80008080u);
  EXPECT_FALSE(view.SocketNotifyMode);
  EXPECT_FALSE(DebugMode.load());

  // The debug flags dialog: a box cleared, one set, the master box on.
  DWORD flags = view.DebugFlags;
  flags = ToggleDebugFlag(flags, 0x80000000, false);
  flags = ToggleDebugFlag(flags, 0x00004000, true);
  flags = ToggleDebugFlag(flags, 0x00004000, true);  // setting a set bit keeps it
  EXPECT_EQ(flags, 0x0000C080u);
  ApplyDebugSettings(view, true, flags);
  EXPECT_TRUE(DebugMode.load());
  EXPECT_EQ(view.DebugFlags, 0x0000C080u);
  ToggleSocketNotifyMode(view);
  EXPECT_TRUE(view.SocketNotifyMode);
  EXPECT_EQ(StoredLines(), (std::vector<std::string>{"DebugMode=dword:00000001", "DebugFlags=dword:0000c080",
                                                     "SocketNotifyMode=dword:00000001"}));

  CVN32TestEngineState next;
  SetDebugMode(false);
  LoadDebugSettings(next);
  EXPECT_EQ(next.DebugFlags, 0x0000C080u);
  EXPECT_TRUE(next.SocketNotifyMode);
  EXPECT_TRUE(DebugMode.load());
  SetDebugMode(false);
}

}  // namespace
}  // namespace shell_test
