// The fuzz target over its seed corpus, in every build.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

TEST(VersionResourceFuzzReplay, SeedsRunClean) {
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(VERSION_RESOURCE_CORPUS_DIR)) {
    std::ifstream file(entry.path(), std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
    EXPECT_EQ(LLVMFuzzerTestOneInput(bytes.data(), bytes.size()), 0) << entry.path();
    ++seeds;
  }
  EXPECT_GE(seeds, 4);
}
