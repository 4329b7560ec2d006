// An ARP or RARP packet for Ethernet and IPv4 (28 bytes after the Ethernet
// header; a complete frame is 42 bytes).
#pragma once

#include <optional>

#include "engine/wire/field.h"
#include "engine/wire/mac_address.h"

namespace wire {

namespace arp {
constexpr WORD kHardwareEthernet = 1;
constexpr WORD kProtocolIPv4 = 0x0800;
constexpr BYTE kHardwareLen = 6;
constexpr BYTE kProtocolLen = 4;
constexpr WORD kRequest = 1;
constexpr WORD kReply = 2;
constexpr WORD kRarpRequest = 3;
constexpr WORD kRarpReply = 4;
constexpr std::size_t kFrameLen = 42;
}  // namespace arp

class ArpPacket {
 public:
  struct field {
    static constexpr Field HTYPE{0, 2};
    static constexpr Field PTYPE{2, 4};
    static constexpr std::size_t HLEN = 4;
    static constexpr std::size_t PLEN = 5;
    static constexpr Field OPER{6, 8};
    static constexpr Field SHA{8, 14};
    static constexpr Field SPA{14, 18};
    static constexpr Field THA{18, 24};
    static constexpr Field TPA{24, 28};
  };
  static constexpr std::size_t kPacketLen = field::TPA.end;

  // bytes: what follows the Ethernet header (padding allowed).
  static Checked<ArpPacket> New(std::span<BYTE> bytes) {
    if (bytes.size() < kPacketLen) return Checked<ArpPacket>::Fail(kTruncated);
    return Checked<ArpPacket>::Ok(ArpPacket(bytes.first(kPacketLen)));
  }

  std::span<BYTE> bytes() const { return bytes_; }
  WORD hardware_type() const { return ReadU16(bytes_, field::HTYPE.start); }
  WORD protocol_type() const { return ReadU16(bytes_, field::PTYPE.start); }
  BYTE hardware_len() const { return bytes_[field::HLEN]; }
  BYTE protocol_len() const { return bytes_[field::PLEN]; }
  WORD operation() const { return ReadU16(bytes_, field::OPER.start); }
  MacAddress sender_hardware_addr() const { return ReadMac(bytes_, field::SHA); }
  DWORD sender_protocol_addr() const { return ReadAddress(bytes_, field::SPA.start); }
  MacAddress target_hardware_addr() const { return ReadMac(bytes_, field::THA); }
  DWORD target_protocol_addr() const { return ReadAddress(bytes_, field::TPA.start); }

  void set_hardware_type(WORD v) { WriteU16(bytes_, field::HTYPE.start, v); }
  void set_protocol_type(WORD v) { WriteU16(bytes_, field::PTYPE.start, v); }
  void set_hardware_len(BYTE v) { bytes_[field::HLEN] = v; }
  void set_protocol_len(BYTE v) { bytes_[field::PLEN] = v; }
  void set_operation(WORD v) { WriteU16(bytes_, field::OPER.start, v); }
  void set_sender_hardware_addr(const MacAddress& mac) { WriteMac(bytes_, field::SHA, mac); }
  void set_sender_protocol_addr(DWORD address) { WriteAddress(bytes_, field::SPA.start, address); }
  void set_target_hardware_addr(const MacAddress& mac) { WriteMac(bytes_, field::THA, mac); }
  void set_target_protocol_addr(DWORD address) { WriteAddress(bytes_, field::TPA.start, address); }

 private:
  explicit ArpPacket(std::span<BYTE> bytes) : bytes_(bytes) {}

  std::span<BYTE> bytes_;
};

// The values of an Ethernet/IPv4 ARP or RARP packet; addresses in network
// byte order.
struct ArpRepr {
  WORD operation = 0;
  MacAddress sender_hardware_addr{};
  DWORD sender_protocol_addr = 0;
  MacAddress target_hardware_addr{};
  DWORD target_protocol_addr = 0;

  // Nothing for packets about other hardware or protocol kinds.
  static std::optional<ArpRepr> Parse(const ArpPacket& packet) {
    if (packet.hardware_type() != arp::kHardwareEthernet || packet.protocol_type() != arp::kProtocolIPv4 ||
        packet.hardware_len() != arp::kHardwareLen || packet.protocol_len() != arp::kProtocolLen) {
      return std::nullopt;
    }
    return ArpRepr{packet.operation(), packet.sender_hardware_addr(), packet.sender_protocol_addr(),
                   packet.target_hardware_addr(), packet.target_protocol_addr()};
  }
  void Emit(ArpPacket& packet) const {
    packet.set_hardware_type(arp::kHardwareEthernet);
    packet.set_protocol_type(arp::kProtocolIPv4);
    packet.set_hardware_len(arp::kHardwareLen);
    packet.set_protocol_len(arp::kProtocolLen);
    packet.set_operation(operation);
    packet.set_sender_hardware_addr(sender_hardware_addr);
    packet.set_sender_protocol_addr(sender_protocol_addr);
    packet.set_target_hardware_addr(target_hardware_addr);
    packet.set_target_protocol_addr(target_protocol_addr);
  }
  bool operator==(const ArpRepr&) const = default;
};

}  // namespace wire
