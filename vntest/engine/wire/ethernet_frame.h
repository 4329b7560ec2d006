// An Ethernet II frame: destination, source, type, then the payload.
#pragma once


#include "engine/wire/field.h"
#include "engine/wire/mac_address.h"

namespace wire {

namespace ethertype {
constexpr WORD kIPv4 = 0x0800;
constexpr WORD kARP = 0x0806;
constexpr WORD kRARP = 0x8035;
}  // namespace ethertype

class EthernetFrame {
 public:
  struct field {
    static constexpr Field DESTINATION{0, 6};
    static constexpr Field SOURCE{6, 12};
    static constexpr Field ETHERTYPE{12, 14};
    static constexpr std::size_t PAYLOAD = 14;
  };
  static constexpr std::size_t kHeaderLen = field::PAYLOAD;

  static Checked<EthernetFrame> New(std::span<BYTE> bytes) {
    if (bytes.size() < kHeaderLen) return Checked<EthernetFrame>::Fail(kTruncated);
    return Checked<EthernetFrame>::Ok(EthernetFrame(bytes));
  }

  std::span<BYTE> bytes() const { return bytes_; }
  MacAddress destination() const { return ReadMac(bytes_, field::DESTINATION); }
  MacAddress source() const { return ReadMac(bytes_, field::SOURCE); }
  WORD ethertype() const { return ReadU16(bytes_, field::ETHERTYPE.start); }
  std::span<BYTE> payload() const { return bytes_.subspan(field::PAYLOAD); }

  void set_destination(const MacAddress& mac) { WriteMac(bytes_, field::DESTINATION, mac); }
  void set_source(const MacAddress& mac) { WriteMac(bytes_, field::SOURCE, mac); }
  void set_ethertype(WORD type) { WriteU16(bytes_, field::ETHERTYPE.start, type); }

 private:
  explicit EthernetFrame(std::span<BYTE> bytes) : bytes_(bytes) {}

  std::span<BYTE> bytes_;
};

// The header's values.
struct EthernetRepr {
  MacAddress destination{};
  MacAddress source{};
  WORD ethertype = 0;

  static EthernetRepr Parse(const EthernetFrame& frame) {
    return {frame.destination(), frame.source(), frame.ethertype()};
  }
  void Emit(EthernetFrame& frame) const {
    frame.set_destination(destination);
    frame.set_source(source);
    frame.set_ethertype(ethertype);
  }
  bool operator==(const EthernetRepr&) const = default;
};

}  // namespace wire
