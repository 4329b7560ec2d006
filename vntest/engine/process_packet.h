// Classification of every frame or packet read from an interface: answered,
// handed to the ping test, or ignored with a reason.
#pragma once

#include "engine/interface_rec.h"
#include "engine/packet_responder.h"
#include "platform/wintypes.h"

class CVN32TestView;

// Why a packet was ignored.
enum PacketIgnoreReason : int {
  kIgnoreUnknownPacket = 0,
  kIgnoreTooTiny = 1,
  kIgnoreFragmented = 2,
  kIgnoreBadIPVersion = 3,
  kIgnoreBadIPHeaderLength = 4,
  kIgnoreNotICMP = 5,
  kIgnoreNotPing = 6,
  kIgnoreBadICMPCode = 7,
  kIgnoreBadIPChecksum = 8,
  kIgnoreBadICMPChecksum = 9,
  kIgnoreNotReplyForUs = 10,
  kIgnoreNotPingForUs = 11,
};

// "Too tiny", ... ; "(unknown)" for any other code.
const char* PacketIgnoredText(int reason);

// With DebugMode on, writes "Packet was ignored (<reason>)"; otherwise nothing.
void PacketIgnored(int reason);

// buffer holds one Ethernet frame (TAP record) or one IPv4 packet (TUN) of
// length bytes. Works in place; the checksum fields hold the received values
// again after verification.
void ProcessPacket(PacketResponder& responder, CVN32TestView* view, INTERFACEREC& record, BYTE* buffer,
                   int length);
