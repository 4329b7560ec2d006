// An ICMP echo request or reply: type, code, checksum, identifier, sequence
// number, then the payload.
#pragma once

#include <algorithm>

#include "engine/wire/checksum.h"
#include "engine/wire/field.h"

namespace wire {

namespace icmp {
constexpr BYTE kEchoReply = 0;
constexpr BYTE kEchoRequest = 8;
}  // namespace icmp

class IcmpEcho {
 public:
  struct field {
    static constexpr std::size_t TYPE = 0;
    static constexpr std::size_t CODE = 1;
    static constexpr Field CHECKSUM{2, 4};
    static constexpr Field IDENT{4, 6};
    static constexpr Field SEQ_NO{6, 8};
    static constexpr std::size_t PAYLOAD = 8;
  };
  static constexpr std::size_t kHeaderLen = field::PAYLOAD;

  // bytes: exactly the ICMP message (header and payload), which the checksum
  // covers.
  static Checked<IcmpEcho> New(std::span<BYTE> bytes) {
    if (bytes.size() < kHeaderLen) return Checked<IcmpEcho>::Fail(kTruncated);
    return Checked<IcmpEcho>::Ok(IcmpEcho(bytes));
  }

  std::span<BYTE> bytes() const { return bytes_; }
  BYTE type() const { return bytes_[field::TYPE]; }
  BYTE code() const { return bytes_[field::CODE]; }
  WORD checksum() const { return ReadU16(bytes_, field::CHECKSUM.start); }
  WORD ident() const { return ReadU16(bytes_, field::IDENT.start); }
  WORD seq_no() const { return ReadU16(bytes_, field::SEQ_NO.start); }
  std::span<BYTE> payload() const { return bytes_.subspan(field::PAYLOAD); }

  void set_type(BYTE v) { bytes_[field::TYPE] = v; }
  void set_code(BYTE v) { bytes_[field::CODE] = v; }
  void set_checksum(WORD v) { WriteU16(bytes_, field::CHECKSUM.start, v); }
  void set_ident(WORD v) { WriteU16(bytes_, field::IDENT.start, v); }
  void set_seq_no(WORD v) { WriteU16(bytes_, field::SEQ_NO.start, v); }

  // Zero the field, sum the whole message, store the result.
  void fill_checksum() {
    set_checksum(0);
    set_checksum(InetChecksum(bytes_));
  }

 private:
  explicit IcmpEcho(std::span<BYTE> bytes) : bytes_(bytes) {}
  std::span<BYTE> bytes_;
};

// The values of an echo message. The payload is not owned: Parse points into
// the packet; Emit copies it in (the view must be kHeaderLen + its size).
struct IcmpEchoRepr {
  BYTE type = icmp::kEchoRequest;
  WORD ident = 0;
  WORD seq_no = 0;
  std::span<const BYTE> payload;

  static IcmpEchoRepr Parse(const IcmpEcho& echo) { return {echo.type(), echo.ident(), echo.seq_no(), echo.payload()}; }
  void Emit(IcmpEcho& echo) const {
    echo.set_type(type);
    echo.set_code(0);
    echo.set_ident(ident);
    echo.set_seq_no(seq_no);
    std::span<BYTE> out = echo.payload();
    std::copy_n(payload.begin(), std::min(out.size(), payload.size()), out.begin());
    echo.fill_checksum();
  }
};

}  // namespace wire
