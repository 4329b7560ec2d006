// The readers of a network driver's checksum offload answers over arbitrary
// bytes: each answer is read as a supported-OID list, an NDIS 5 task offload
// answer and an NDIS 6 offload answer.
#include <cstdint>
#include <cstring>
#include <vector>

#include "offload_answer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly the answer's size, so that any read past it is caught.
  std::vector<std::uint8_t> answer(data, data + size);
  const std::uint8_t* bytes = answer.empty() ? nullptr : answer.data();
  (void)SupportedListHasCurrentConfig(bytes, size / 4 * 4);
  if (auto task = FindNdis5ChecksumTask(bytes, size)) {
    if (*task + 16 > size) __builtin_trap();
    MESTRAPACK_CHECKSUM_OFFLOAD record;
    std::memcpy(&record, bytes + *task, sizeof record);
  }
  if (auto part = FindNdis6ChecksumOffload(bytes, size)) {
    if (*part + sizeof(npf::NDIS6_CHECKSUM_OFFLOAD) > size) __builtin_trap();
    npf::NDIS6_CHECKSUM_OFFLOAD info;
    std::memcpy(&info, bytes + *part, sizeof info);
    (void)ChecksumFromNdis6(info);
  }
  return 0;
}
