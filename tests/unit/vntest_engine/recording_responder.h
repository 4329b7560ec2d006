// A responder that records what classification handed on.
#pragma once

#include <string>
#include <vector>

#include "engine/packet_responder.h"

class RecordingResponder : public PacketResponder {
 public:
  struct Call {
    std::string what;  // "arp", "rarp", "echo-request", "echo-reply"
    const BYTE* data;  // where the handed span starts
    std::vector<BYTE> bytes;
  };

  void HandleTapARPPacket(CVN32TestView*, INTERFACEREC&, wire::EthernetFrame frame) override {
    Record("arp", frame.bytes());
  }
  void HandleTapRARPPacket(CVN32TestView*, INTERFACEREC&, wire::EthernetFrame frame) override {
    Record("rarp", frame.bytes());
  }
  void AnswerEchoRequest(CVN32TestView*, INTERFACEREC&, wire::Ipv4Packet packet) override {
    Record("echo-request", packet.bytes());
  }
  void MatchEchoReply(CVN32TestView*, INTERFACEREC&, wire::Ipv4Packet packet) override {
    Record("echo-reply", packet.bytes());
  }

  std::vector<Call> calls;

 private:
  void Record(const char* what, std::span<BYTE> bytes) {
    calls.push_back({what, bytes.data(), std::vector<BYTE>(bytes.begin(), bytes.end())});
  }
};
