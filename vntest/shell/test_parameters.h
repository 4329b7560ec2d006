// The test parameters: the defaults a first run offers (from the discovered
// default host adapter) and the checks the Parameters dialog makes before a
// test starts, with the dialog's titles and texts.
#pragma once

#include <string>

#include "engine/interface_rec.h"

// Rule A: adapter and guest IP defaults of both interfaces.
struct InterfaceIPDefaults {
  std::string strAdapter_IPAddr[2];
  std::string strInterface_IPAddr[2];  // host parts 111 and 222
};
InterfaceIPDefaults ComputeInterfaceIPDefaults();

// Rule B: the MAC the emulator derives from a guest IP text; empty when the
// text is not an address.
std::string DefaultGuestMAC(const std::string& guestIP);

// A refused value: the balloon's title and text.
struct ParamError {
  std::string title;
  std::string text;
};

// The OK checks of one interface's texts (guest IP, guest MAC, host adapter
// by IP or by MAC). An empty guest MAC is first derived from the guest IP; the
// unused adapter text is emptied. False with *error set on the first failure.
bool ValidateInterfaceParams(INTERFACEREC& record, ParamError* error);

// The ping dialog's ranges.
constexpr int kMinPingDataSize = 8, kMaxPingDataSize = 65507;
constexpr int kMinNumPings = 1, kMaxNumPings = 65535;
constexpr int kMinPingTimeout = 0, kMaxPingTimeout = 10000;
constexpr int kMinPingDelay = 0, kMaxPingDelay = 10000;

// The ping dialog's texts.
inline constexpr const char* kPingWhoTitle = "Ping Who";
inline constexpr const char* kPingWhoText = "Please enter a valid IP address or name.";
