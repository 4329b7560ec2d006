// Runs every seed of one fuzz target's corpus through it in the ordinary test
// run, so the seeds stay inputs the target takes without a fault. Built once per
// fuzz target by morvane_fuzz_target(), which names the test and the corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

TEST(MORVANE_REPLAY_SUITE, MORVANE_REPLAY_CASE) {
  const std::filesystem::path corpus = MORVANE_CORPUS_DIR;
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    SCOPED_TRACE(entry.path().string());
    // An exact-size copy on the heap, so a sanitizer build sees any read past the end.
    const auto copy = std::make_unique<std::uint8_t[]>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), copy.get());
    EXPECT_EQ(LLVMFuzzerTestOneInput(copy.get(), bytes.size()), 0);
    ++seeds;
  }
  EXPECT_GE(seeds, MORVANE_REPLAY_MIN_SEEDS);
}
