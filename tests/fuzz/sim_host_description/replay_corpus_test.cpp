// Runs every seed of both fuzz targets' corpora in the ordinary test run.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

int FuzzHostDescription(const std::uint8_t* data, std::size_t size);
int FuzzDeviceInput(const std::uint8_t* data, std::size_t size);

namespace {

int Replay(const char* dir, int (*target)(const std::uint8_t*, std::size_t)) {
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_EQ(target(bytes.data(), bytes.size()), 0);
    ++seeds;
  }
  return seeds;
}

TEST(SimHostFuzzCorpus, EveryDescriptionSeedRuns) { EXPECT_GE(Replay(MORVANE_CORPUS_DIR, FuzzHostDescription), 8); }

TEST(SimHostFuzzCorpus, EveryDeviceInputSeedRuns) { EXPECT_GE(Replay(MORVANE_DEVICE_CORPUS_DIR, FuzzDeviceInput), 7); }

}  // namespace
