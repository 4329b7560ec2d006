// An IPv4 packet with the fixed 20-byte header (options are never built and
// never accepted).
#pragma once

#include <algorithm>

#include "engine/wire/checksum.h"
#include "engine/wire/field.h"

namespace wire {

namespace ipv4 {
constexpr BYTE kVersion = 4;
constexpr BYTE kHeaderWords = 5;
constexpr BYTE kProtocolICMP = 1;
constexpr WORD kDontFragment = 0x4000;
constexpr WORD kMoreFragments = 0x2000;
constexpr WORD kFragmentMask = 0x3FFF;  // More-Fragments and the offset
constexpr BYTE kDefaultTtl = 64;
}  // namespace ipv4

class Ipv4Packet {
 public:
  struct field {
    static constexpr std::size_t VER_IHL = 0;
    static constexpr std::size_t TOS = 1;
    static constexpr Field LENGTH{2, 4};
    static constexpr Field IDENT{4, 6};
    static constexpr Field FLG_OFF{6, 8};
    static constexpr std::size_t TTL = 8;
    static constexpr std::size_t PROTOCOL = 9;
    static constexpr Field CHECKSUM{10, 12};
    static constexpr Field SRC_ADDR{12, 16};
    static constexpr Field DST_ADDR{16, 20};
  };
  static constexpr std::size_t kHeaderLen = field::DST_ADDR.end;

  // bytes: the packet as received, trailing padding included.
  static Checked<Ipv4Packet> New(std::span<BYTE> bytes) {
    if (bytes.size() < kHeaderLen) return Checked<Ipv4Packet>::Fail(kTruncated);
    return Checked<Ipv4Packet>::Ok(Ipv4Packet(bytes));
  }

  std::span<BYTE> bytes() const { return bytes_; }
  std::span<BYTE> header() const { return bytes_.first(kHeaderLen); }
  BYTE version() const { return static_cast<BYTE>(bytes_[field::VER_IHL] >> 4); }
  BYTE header_words() const { return static_cast<BYTE>(bytes_[field::VER_IHL] & 0x0F); }
  BYTE tos() const { return bytes_[field::TOS]; }
  WORD total_len() const { return ReadU16(bytes_, field::LENGTH.start); }
  WORD ident() const { return ReadU16(bytes_, field::IDENT.start); }
  WORD flags_fragment() const { return ReadU16(bytes_, field::FLG_OFF.start); }
  BYTE ttl() const { return bytes_[field::TTL]; }
  BYTE protocol() const { return bytes_[field::PROTOCOL]; }
  WORD checksum() const { return ReadU16(bytes_, field::CHECKSUM.start); }
  DWORD src_addr() const { return ReadAddress(bytes_, field::SRC_ADDR.start); }
  DWORD dst_addr() const { return ReadAddress(bytes_, field::DST_ADDR.start); }
  // After the header, up to the total length, never past the bytes received.
  std::span<BYTE> payload() const {
    std::size_t end = std::clamp<std::size_t>(total_len(), kHeaderLen, bytes_.size());
    return bytes_.subspan(kHeaderLen, end - kHeaderLen);
  }

  void set_version_and_header_words(BYTE version, BYTE words) {
    bytes_[field::VER_IHL] = static_cast<BYTE>((version << 4) | (words & 0x0F));
  }
  void set_tos(BYTE v) { bytes_[field::TOS] = v; }
  void set_total_len(WORD v) { WriteU16(bytes_, field::LENGTH.start, v); }
  void set_ident(WORD v) { WriteU16(bytes_, field::IDENT.start, v); }
  void set_flags_fragment(WORD v) { WriteU16(bytes_, field::FLG_OFF.start, v); }
  void set_ttl(BYTE v) { bytes_[field::TTL] = v; }
  void set_protocol(BYTE v) { bytes_[field::PROTOCOL] = v; }
  void set_checksum(WORD v) { WriteU16(bytes_, field::CHECKSUM.start, v); }
  void set_src_addr(DWORD address) { WriteAddress(bytes_, field::SRC_ADDR.start, address); }
  void set_dst_addr(DWORD address) { WriteAddress(bytes_, field::DST_ADDR.start, address); }

  // Zero the field, sum the 20 header bytes, store the result.
  void fill_checksum() {
    set_checksum(0);
    set_checksum(InetChecksum(header()));
  }

 private:
  explicit Ipv4Packet(std::span<BYTE> bytes) : bytes_(bytes) {}
  std::span<BYTE> bytes_;
};

// The header values VNTest builds; addresses in network byte order.
struct Ipv4Repr {
  DWORD src_addr = 0;
  DWORD dst_addr = 0;
  BYTE protocol = ipv4::kProtocolICMP;
  BYTE ttl = ipv4::kDefaultTtl;
  WORD ident = 0;
  WORD flags_fragment = ipv4::kDontFragment;
  WORD payload_len = 0;

  static Ipv4Repr Parse(const Ipv4Packet& packet) {
    return {packet.src_addr(), packet.dst_addr(), packet.protocol(), packet.ttl(), packet.ident(),
            packet.flags_fragment(),
            static_cast<WORD>(packet.total_len() > Ipv4Packet::kHeaderLen
                                  ? packet.total_len() - Ipv4Packet::kHeaderLen
                                  : 0)};
  }
  // Writes the whole header, checksum included.
  void Emit(Ipv4Packet& packet) const {
    packet.set_version_and_header_words(ipv4::kVersion, ipv4::kHeaderWords);
    packet.set_tos(0);
    packet.set_total_len(static_cast<WORD>(Ipv4Packet::kHeaderLen + payload_len));
    packet.set_ident(ident);
    packet.set_flags_fragment(flags_fragment);
    packet.set_ttl(ttl);
    packet.set_protocol(protocol);
    packet.set_src_addr(src_addr);
    packet.set_dst_addr(dst_addr);
    packet.fill_checksum();
  }
  bool operator==(const Ipv4Repr&) const = default;
};

}  // namespace wire
