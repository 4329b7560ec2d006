// The reader of the kernel's neighbour table text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "neighbour_text.h"

namespace vifnet {
namespace {

constexpr char kHeader[] = "IP address       HW type     Flags       HW address            Mask     Device\n";

TEST(NeighbourText, KeepsCompleteEthernetEntriesAndSkipsTheRest) {
  const std::string text = std::string(kHeader) +
                           "198.51.100.2     0x1         0x2         02:00:5e:20:00:02     *        vfh0\n"
                           "198.51.100.77    0x1         0x6         02:00:5e:20:00:77     *        vfh0\n"
                           "198.51.100.9     0x1         0x0         00:00:00:00:00:00     *        vfh0\n"  // incomplete
                           "198.51.100.10    0x20        0x2         80:00:02:08:fe:80:00  *        ib0\n"  // not Ethernet
                           "198.51.100.11    0x1         0x2         not-a-mac             *        vfh0\n"
                           "198.51.100.300   0x1         0x2         02:00:5e:20:00:03     *        vfh0\n"
                           "198.51.100.12    0x1\n"  // cut short
                           "\n"
                           "198.51.100.13    0x1         0x2         02:00:5e:20:00:13     *        vfh0";  // no newline
  const std::vector<Neighbour> entries = ParseNeighbourText(text);
  ASSERT_EQ(entries.size(), 3u);
  const BYTE first[4] = {198, 51, 100, 2};
  EXPECT_EQ(0, std::memcmp(&entries[0].ip, first, 4));
  EXPECT_EQ(entries[0].mac, (Mac{0x02, 0x00, 0x5e, 0x20, 0x00, 0x02}));
  EXPECT_EQ(entries[1].mac, (Mac{0x02, 0x00, 0x5e, 0x20, 0x00, 0x77}));
  const BYTE last[4] = {198, 51, 100, 13};
  EXPECT_EQ(0, std::memcmp(&entries[2].ip, last, 4));
}

TEST(NeighbourText, AHeaderAloneOrNothingGivesNoEntries) {
  EXPECT_TRUE(ParseNeighbourText(kHeader).empty());
  EXPECT_TRUE(ParseNeighbourText("").empty());
  // A table line in the header's place is not mistaken for an entry.
  EXPECT_TRUE(ParseNeighbourText("198.51.100.2 0x1 0x2 02:00:5e:20:00:02 * vfh0\n").empty());
}

}  // namespace
}  // namespace vifnet
