// The device-input fuzz target under a name of its own, for the replay test.
#define LLVMFuzzerTestOneInput FuzzDeviceInputC
#include "fuzz_sim_device_input.cpp"
#undef LLVMFuzzerTestOneInput

int FuzzDeviceInput(const std::uint8_t* data, std::size_t size) { return FuzzDeviceInputC(data, size); }
