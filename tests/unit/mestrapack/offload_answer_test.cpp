// The readers of a network driver's checksum offload answers, over fixed bytes.
#include "offload_answer.h"

#include <cstring>
#include <vector>

#include <gtest/gtest.h>

namespace {

void Put(std::vector<std::uint8_t>* bytes, std::size_t offset, std::uint32_t value) {
  if (bytes->size() < offset + 4) {
    bytes->resize(offset + 4);
  }
  std::memcpy(bytes->data() + offset, &value, 4);
}

// A header, then tasks at the given offsets (each offset relative to the
// record that holds it), with the given task numbers.
std::vector<std::uint8_t> Ndis5Answer(std::uint32_t firstOffset,
                                      const std::vector<std::pair<std::uint32_t, std::uint32_t>>& tasks) {
  std::vector<std::uint8_t> bytes(28, 0);
  Put(&bytes, 0, 1);
  Put(&bytes, 4, 28);
  Put(&bytes, 12, firstOffset);
  Put(&bytes, 16, 2);
  std::size_t position = firstOffset;
  for (const auto& [task, nextOffset] : tasks) {
    Put(&bytes, position + 0, 1);
    Put(&bytes, position + 4, 20);
    Put(&bytes, position + 8, task);
    Put(&bytes, position + 12, nextOffset);
    Put(&bytes, position + 16, 16);
    if (task == 0) {
      Put(&bytes, position + 20, 0x1C);  // V4Transmit: TCP, UDP, IP
      Put(&bytes, position + 24, 0x0C);
      Put(&bytes, position + 28, 0x04);
      Put(&bytes, position + 32, 0x08);
    }
    bytes.resize(std::max(bytes.size(), position + 36));
    position += nextOffset;
  }
  return bytes;
}

TEST(Ndis5Answer, FindsTheChecksumTaskAfterOtherTasks) {
  auto bytes = Ndis5Answer(28, {{3, 36}, {0, 0}});
  auto found = FindNdis5ChecksumTask(bytes.data(), bytes.size());
  ASSERT_TRUE(found.has_value());
  EXPECT_EQ(*found, 28u + 36u + 20u);
  std::uint32_t v4Transmit;
  std::memcpy(&v4Transmit, bytes.data() + *found, 4);
  EXPECT_EQ(v4Transmit, 0x1Cu);
}

TEST(Ndis5Answer, EndsTheWalkAsNotFound) {
  // No task at all, a chain without the checksum task, a task whose offset
  // leaves the answer, and a checksum task cut short by the answer's end.
  auto none = Ndis5Answer(0, {});
  EXPECT_FALSE(FindNdis5ChecksumTask(none.data(), none.size()));
  auto other = Ndis5Answer(28, {{3, 0}});
  EXPECT_FALSE(FindNdis5ChecksumTask(other.data(), other.size()));
  auto pastEnd = Ndis5Answer(28, {{3, 5000}});
  EXPECT_FALSE(FindNdis5ChecksumTask(pastEnd.data(), pastEnd.size()));
  auto huge = Ndis5Answer(0xFFFFFFF0u, {});
  EXPECT_FALSE(FindNdis5ChecksumTask(huge.data(), huge.size()));
  auto cut = Ndis5Answer(28, {{0, 0}});
  EXPECT_FALSE(FindNdis5ChecksumTask(cut.data(), 28 + 20 + 15));
  EXPECT_TRUE(FindNdis5ChecksumTask(cut.data(), 28 + 20 + 16));
  // Only what the driver answered counts, whatever the buffer holds beyond.
  EXPECT_FALSE(FindNdis5ChecksumTask(cut.data(), 27));
  EXPECT_FALSE(FindNdis5ChecksumTask(nullptr, 100));
}

TEST(Ndis5Answer, AChainThatCouldCycleStillEnds) {
  // Offsets only ever move forward, so a record pointing at itself (offset
  // 0) ends the chain and a long chain of small steps runs off the end.
  std::vector<std::uint8_t> bytes(4096, 0);
  Put(&bytes, 12, 28);
  for (std::size_t position = 28; position + 20 <= bytes.size(); position += 20) {
    Put(&bytes, position + 8, 7);
    Put(&bytes, position + 12, 20);
  }
  EXPECT_FALSE(FindNdis5ChecksumTask(bytes.data(), bytes.size()));
}

TEST(Ndis6Answer, NeedsTheWholeChecksumPart) {
  std::vector<std::uint8_t> bytes(36, 0);
  EXPECT_EQ(FindNdis6ChecksumOffload(bytes.data(), 36), std::optional<std::size_t>(4));
  EXPECT_FALSE(FindNdis6ChecksumOffload(bytes.data(), 35));
  EXPECT_FALSE(FindNdis6ChecksumOffload(nullptr, 36));
}

TEST(Ndis6Answer, OnlyFieldsOfValueOneSetFlags) {
  npf::NDIS6_CHECKSUM_OFFLOAD info{};
  info.IPv4Transmit.Fields = (1u << 4) | (1u << 6) | (1u << 8);  // TCP, UDP, IP
  info.IPv4Receive.Fields = (2u << 4) | (3u << 6) | (1u << 8);   // only IP
  info.IPv6Transmit.Fields = (1u << 4) | (1u << 8);              // TCP; IP ignored for IPv6
  info.IPv6Receive.Fields = (1u << 6) | 1u | (1u << 2);          // UDP; options ignored
  MESTRAPACK_CHECKSUM_OFFLOAD record = ChecksumFromNdis6(info);
  EXPECT_EQ(record.V4Transmit, 0x1Cu);
  EXPECT_EQ(record.V4Receive, 0x10u);
  EXPECT_EQ(record.V6Transmit, 0x04u);
  EXPECT_EQ(record.V6Receive, 0x08u);
}

TEST(SupportedList, NamesTheCurrentConfiguration) {
  std::vector<std::uint8_t> list;
  Put(&list, 0, npf::OID_GEN_SUPPORTED_LIST);
  Put(&list, 4, npf::OID_TCP_TASK_OFFLOAD);
  EXPECT_FALSE(SupportedListHasCurrentConfig(list.data(), list.size()));
  Put(&list, 8, npf::OID_TCP_OFFLOAD_CURRENT_CONFIG);
  EXPECT_TRUE(SupportedListHasCurrentConfig(list.data(), list.size()));
  EXPECT_FALSE(SupportedListHasCurrentConfig(list.data(), 11));  // a partial entry is not read
}

}  // namespace
