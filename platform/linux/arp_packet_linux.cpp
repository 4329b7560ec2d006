#include "linux/arp_packet_linux.h"

#include <cstring>

namespace platform::linuxhost {
namespace {

// Field offsets of the payload.
constexpr std::size_t kHardwareType = 0;
constexpr std::size_t kProtocolType = 2;
constexpr std::size_t kHardwareLength = 4;
constexpr std::size_t kProtocolLength = 5;
constexpr std::size_t kOperation = 6;
constexpr std::size_t kSenderMac = 8;
constexpr std::size_t kSenderIp = 14;
constexpr std::size_t kTargetMac = 18;
constexpr std::size_t kTargetIp = 24;

constexpr std::uint16_t kEthernet = 1;
constexpr std::uint16_t kIpv4 = 0x0800;
constexpr std::uint16_t kRequest = 1;
constexpr std::uint16_t kReply = 2;

void PutBig16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value >> 8);
  at[1] = static_cast<std::uint8_t>(value);
}

std::uint16_t Big16(const std::uint8_t* at) { return static_cast<std::uint16_t>((at[0] << 8) | at[1]); }

}  // namespace

std::array<std::uint8_t, kArpPayloadSize> BuildArpRequest(const std::array<std::uint8_t, 6>& senderMac,
                                                          std::uint32_t senderIp, std::uint32_t targetIp) {
  std::array<std::uint8_t, kArpPayloadSize> payload{};
  PutBig16(&payload[kHardwareType], kEthernet);
  PutBig16(&payload[kProtocolType], kIpv4);
  payload[kHardwareLength] = 6;
  payload[kProtocolLength] = 4;
  PutBig16(&payload[kOperation], kRequest);
  std::memcpy(&payload[kSenderMac], senderMac.data(), 6);
  std::memcpy(&payload[kSenderIp], &senderIp, 4);
  std::memset(&payload[kTargetMac], 0, 6);
  std::memcpy(&payload[kTargetIp], &targetIp, 4);
  return payload;
}

bool ParseArpReply(const std::uint8_t* data, std::size_t size, std::uint32_t fromIp, std::array<std::uint8_t, 6>* mac) {
  if (data == nullptr || size < kArpPayloadSize) return false;
  if (Big16(data + kHardwareType) != kEthernet || Big16(data + kProtocolType) != kIpv4) return false;
  if (data[kHardwareLength] != 6 || data[kProtocolLength] != 4) return false;
  if (Big16(data + kOperation) != kReply) return false;
  std::uint32_t sender;
  std::memcpy(&sender, data + kSenderIp, 4);
  if (sender != fromIp) return false;
  std::memcpy(mac->data(), data + kSenderMac, 6);
  return true;
}

}  // namespace platform::linuxhost
