// The description fuzz target under a name of its own, for the replay test.
#define LLVMFuzzerTestOneInput FuzzHostDescriptionC
#include "fuzz_sim_host_description.cpp"
#undef LLVMFuzzerTestOneInput

int FuzzHostDescription(const std::uint8_t* data, std::size_t size) { return FuzzHostDescriptionC(data, size); }
