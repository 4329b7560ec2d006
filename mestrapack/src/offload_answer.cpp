#include "offload_answer.h"

#include <cstring>

namespace {

std::uint32_t ReadU32(const std::uint8_t* bytes, std::size_t offset) {
  std::uint32_t value;
  std::memcpy(&value, bytes + offset, sizeof value);
  return value;
}

constexpr std::size_t kHeaderSize = sizeof(npf::NDIS_TASK_OFFLOAD_HEADER);
constexpr std::size_t kOffsetFirstTask = offsetof(npf::NDIS_TASK_OFFLOAD_HEADER, OffsetFirstTask);
constexpr std::size_t kTaskSize = sizeof(npf::NDIS_TASK_OFFLOAD);
constexpr std::size_t kTaskTask = offsetof(npf::NDIS_TASK_OFFLOAD, Task);
constexpr std::size_t kTaskOffsetNext = offsetof(npf::NDIS_TASK_OFFLOAD, OffsetNextTask);
constexpr std::size_t kChecksumSize = sizeof(npf::NDIS_TASK_TCP_IP_CHECKSUM);

bool FieldIsOne(std::uint32_t fields, unsigned shift) { return ((fields >> shift) & 0x3u) == 1u; }

std::uint32_t FlagsOf(std::uint32_t fields, bool withIp) {
  std::uint32_t flags = 0;
  if (FieldIsOne(fields, 4)) {
    flags |= MESTRAPACK_CKSUM_TCP;
  }
  if (FieldIsOne(fields, 6)) {
    flags |= MESTRAPACK_CKSUM_UDP;
  }
  if (withIp && FieldIsOne(fields, 8)) {
    flags |= MESTRAPACK_CKSUM_IP;
  }
  return flags;
}

}  // namespace

bool SupportedListHasCurrentConfig(const std::uint8_t* list, std::size_t bytes) {
  bool haveTaskOffload = false;
  bool haveCurrentConfig = false;
  for (std::size_t offset = 0; offset + 4 <= bytes && !(haveTaskOffload && haveCurrentConfig); offset += 4) {
    std::uint32_t oid = ReadU32(list, offset);
    haveTaskOffload = haveTaskOffload || oid == npf::OID_TCP_TASK_OFFLOAD;
    haveCurrentConfig = haveCurrentConfig || oid == npf::OID_TCP_OFFLOAD_CURRENT_CONFIG;
  }
  return haveCurrentConfig;
}

std::optional<std::size_t> FindNdis5ChecksumTask(const std::uint8_t* answer, std::size_t bytes) {
  if (answer == nullptr || bytes < kHeaderSize) {
    return std::nullopt;
  }
  std::size_t position = 0;
  std::uint32_t offset = ReadU32(answer, kOffsetFirstTask);
  while (offset != 0) {
    std::size_t next = position + offset;
    if (next <= position || next > bytes || bytes - next < kTaskSize) {
      return std::nullopt;
    }
    position = next;
    if (ReadU32(answer, position + kTaskTask) == npf::TcpIpChecksumNdisTask) {
      std::size_t task = position + kTaskSize;
      if (bytes - task < kChecksumSize) {
        return std::nullopt;
      }
      return task;
    }
    offset = ReadU32(answer, position + kTaskOffsetNext);
  }
  return std::nullopt;
}

std::optional<std::size_t> FindNdis6ChecksumOffload(const std::uint8_t* answer, std::size_t bytes) {
  constexpr std::size_t kStart = sizeof(npf::NDIS_OBJECT_HEADER);
  if (answer == nullptr || bytes < kStart + sizeof(npf::NDIS6_CHECKSUM_OFFLOAD)) {
    return std::nullopt;
  }
  return kStart;
}

MESTRAPACK_CHECKSUM_OFFLOAD ChecksumFromNdis6(const npf::NDIS6_CHECKSUM_OFFLOAD& info) {
  MESTRAPACK_CHECKSUM_OFFLOAD record{};
  record.V4Transmit = FlagsOf(info.IPv4Transmit.Fields, true);
  record.V4Receive = FlagsOf(info.IPv4Receive.Fields, true);
  record.V6Transmit = FlagsOf(info.IPv6Transmit.Fields, false);
  record.V6Receive = FlagsOf(info.IPv6Receive.Fields, false);
  return record;
}
