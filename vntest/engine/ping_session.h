// The ping test's pieces that the monitor thread reaches.
#pragma once

#include "engine/interface_rec.h"
#include "engine/wire/ipv4_packet.h"
#include "platform/wintypes.h"

class CVN32TestView;

// Writes one IPv4 packet through the record's interface: as it is on TUN, in
// an Ethernet frame on TAP (destination: the host's neighbour on the adapter's
// subnet, else the default gateway, else the host adapter). True when all of
// it was written.
bool WritePingIPPacket(CVN32TestView* view, INTERFACEREC& record, const BYTE* packet, int length);

// An echo reply to the guest: matched against the requests of the test.
void MatchPingReply(CVN32TestView* view, INTERFACEREC& record, const wire::Ipv4Packet& packet);

DWORD PingThread(void* view);
DWORD PingMonitorThread(void* view);
bool SendPing(CVN32TestView& view, INTERFACEREC& record, DWORD target, const char* targetName, WORD sequence);
