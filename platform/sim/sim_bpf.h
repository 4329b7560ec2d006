// A classic BPF machine for the capture devices' filter programs. Programs
// come from callers, so they are validated once when set (known opcodes,
// jumps inside the program, memory slots in range, no division by a zero
// constant, a return at the end), and every packet load is bounds-checked at
// run time: a load past the packet rejects it, as the kernel filters do.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "platform/npf.h"

namespace platform::sim {

constexpr std::size_t kBpfMaxInstructions = 4096;

bool ValidateBpf(std::span<const npf::bpf_insn> program);

// The number of bytes to keep (0: reject). `program` must have passed
// ValidateBpf; `wireLength` is the length on the wire (BPF_LEN).
DWORD RunBpf(std::span<const npf::bpf_insn> program, std::span<const BYTE> packet, DWORD wireLength);

}  // namespace platform::sim
