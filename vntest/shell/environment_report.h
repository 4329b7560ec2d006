// The environment report: what a test depends on, written into the log once
// at start-up (after InitGlobals) and, for its Detected Adapters block, again
// whenever the adapters are re-detected. The program and its components with
// their versions, the system, the packet-capture installation, the capture
// devices defined, the network information with the route table and the
// default gateway test, and every adapter the packet-driver library lists,
// each test-opened once. Conditions that make tests fail are called out with
// the framed banners of banner.h.
//
// Runs on the window's thread. It changes nothing on the system beyond
// opening and closing each adapter once; it sets the default gateway
// (DefaultGateway(), discovery.h) and makes the next test start load the
// interface settings again.
#pragma once

#include <string>

#include "platform/wintypes.h"

class CVN32TestEngineState;

// Which banners a report wrote.
struct ReportOutcome {
  bool bErrorBanner = false;
  bool bWarningBanner = false;
};

// The program's own version text, as the report's first line gives it.
inline constexpr const char* kVNTestVersionText = "3.9.0.6222-UD";

// The whole report, in order: program line, running mode, packet-capture
// line, component lines, capture devices, network information, detected
// adapters. Call once per process, after InitGlobals.
ReportOutcome WriteEnvironmentReport(const CVN32TestEngineState& view);

// The Detected Adapters block alone (also the adapter re-detection command).
// Does nothing while a test runs. Fetches the adapter list only when there is
// none yet.
ReportOutcome ReportDetectedAdapters(const CVN32TestEngineState& view);

// The blocks of the report that stand alone.
void LogRunningMode();
void ReportDosDevices();
// Also sets the default gateway from the route table and its ARP test.
void ReportNetworkInformation();

// The segment-offload keywords of an adapter ("NPF_" + interface name) in the
// machine registry's adapter class; 0 when its key is not found.
constexpr BYTE kLsoV1Ipv4Enabled = 0x80;
constexpr BYTE kLsoV1Ipv6Enabled = 0x40;
constexpr BYTE kLsoV1Ipv4Present = 0x20;
constexpr BYTE kLsoV1Ipv6Present = 0x10;
constexpr BYTE kLsoV2Ipv4Enabled = 0x08;
constexpr BYTE kLsoV2Ipv6Enabled = 0x04;
constexpr BYTE kLsoV2Ipv4Present = 0x02;
constexpr BYTE kLsoV2Ipv6Present = 0x01;
constexpr BYTE kLsoAnyEnabled = 0xCC;
BYTE GetLsoFlags(const std::string& adapterName);

// "on <weekday>, <month> <day>, <year>, hh:mm:ss AM|PM" of the local time now:
// the time text of the report's first line.
std::string ReportTimeText();
