// Reading a network driver's checksum offload answers. The bytes come from
// the driver, so every read is checked against the length it answered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "mestrapack/mestrapack.h"
#include "platform/npf.h"

// True when the supported-OID list (whole 32-bit entries) names the NDIS 6
// current offload configuration.
bool SupportedListHasCurrentConfig(const std::uint8_t* list, std::size_t bytes);

// The offset of the 16-byte checksum task buffer in an NDIS 5 task offload
// answer: the task chain is followed from the header while each record lies
// wholly inside the answer; an offset that leaves the answer (or does not
// move forward) ends the walk with nothing found.
std::optional<std::size_t> FindNdis5ChecksumTask(const std::uint8_t* answer, std::size_t bytes);

// The offset of the 32-byte checksum part in an NDIS 6 offload answer, when
// the answer is long enough to hold it.
std::optional<std::size_t> FindNdis6ChecksumOffload(const std::uint8_t* answer, std::size_t bytes);

// The NDIS 5 form of an NDIS 6 checksum record: only fields of value 1 count.
MESTRAPACK_CHECKSUM_OFFLOAD ChecksumFromNdis6(const npf::NDIS6_CHECKSUM_OFFLOAD& info);
