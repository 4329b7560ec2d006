// Runs the fuzz target over its seed corpus, so the seeds are checked by the
// ordinary test run as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

TEST(WpcInfoRecFuzzReplay, SeedCorpus) {
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(WPCINFOREC_CORPUS_DIR)) {
    std::ifstream in(entry.path(), std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    SCOPED_TRACE(entry.path().string());
    // Exact-size copies on the heap, so a sanitizer build sees any read past the end.
    auto* copy = new std::uint8_t[bytes.size() + 1];
    std::copy(bytes.begin(), bytes.end(), copy);
    EXPECT_EQ(LLVMFuzzerTestOneInput(copy, bytes.size()), 0);
    delete[] copy;
    ++seeds;
  }
  EXPECT_GE(seeds, 5);
}
