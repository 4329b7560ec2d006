// Where ProcessPacket hands the frames and packets it does not ignore: the
// ARP and RARP responders, the echo responder and the ping test's reply
// matching. Each call runs on the interface's monitor thread and may change
// the bytes in place (answers are built in the read buffer).
#pragma once

#include "engine/interface_rec.h"
#include "engine/wire/ethernet_frame.h"
#include "engine/wire/ipv4_packet.h"

class CVN32TestView;

class PacketResponder {
 public:
  virtual ~PacketResponder() = default;

  // TAP only: a whole frame of Ethernet type ARP or RARP, of any length of at
  // least the Ethernet header (the responder checks the rest).
  virtual void HandleTapARPPacket(CVN32TestView* view, INTERFACEREC& record, wire::EthernetFrame frame) = 0;
  virtual void HandleTapRARPPacket(CVN32TestView* view, INTERFACEREC& record, wire::EthernetFrame frame) = 0;

  // An echo request or reply to the guest's IP that passed every check. The
  // packet spans the IPv4 bytes received (on TAP, Ethernet padding included);
  // its total length lies between 28 and that span's size.
  virtual void AnswerEchoRequest(CVN32TestView* view, INTERFACEREC& record, wire::Ipv4Packet packet) = 0;
  virtual void MatchEchoReply(CVN32TestView* view, INTERFACEREC& record, wire::Ipv4Packet packet) = 0;
};
