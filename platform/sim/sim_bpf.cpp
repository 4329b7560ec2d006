#include "sim/sim_bpf.h"

#include <cstdint>

namespace platform::sim {
namespace {

// Opcode fields of classic BPF.
constexpr WORD kClassMask = 0x07, kLd = 0x00, kLdx = 0x01, kSt = 0x02, kStx = 0x03, kAlu = 0x04, kJmp = 0x05,
               kRet = 0x06, kMisc = 0x07;
constexpr WORD kSizeMask = 0x18, kW = 0x00, kH = 0x08, kB = 0x10;
constexpr WORD kModeMask = 0xE0, kImm = 0x00, kAbs = 0x20, kInd = 0x40, kMem = 0x60, kLen = 0x80, kMsh = 0xA0;
constexpr WORD kOpMask = 0xF0, kAdd = 0x00, kSub = 0x10, kMul = 0x20, kDiv = 0x30, kOr = 0x40, kAnd = 0x50,
               kLsh = 0x60, kRsh = 0x70, kNeg = 0x80, kMod = 0x90, kXor = 0xA0;
constexpr WORD kJa = 0x00, kJeq = 0x10, kJgt = 0x20, kJge = 0x30, kJset = 0x40;
constexpr WORD kSrcX = 0x08;
constexpr WORD kRvalMask = 0x18, kRvalK = 0x00, kRvalX = 0x08, kRvalA = 0x10;
constexpr DWORD kMemWords = 16;

bool ValidOne(const npf::bpf_insn& in, std::size_t at, std::size_t count) {
  const WORD code = in.code;
  if (code > 0xFF) return false;
  switch (code & kClassMask) {
    case kLd: {
      WORD mode = code & kModeMask, size = code & kSizeMask;
      if (mode == kImm || mode == kLen) return size == kW;
      if (mode == kMem) return size == kW && in.k < kMemWords;
      if (mode == kAbs || mode == kInd) return size == kW || size == kH || size == kB;
      return false;
    }
    case kLdx: {
      WORD mode = code & kModeMask, size = code & kSizeMask;
      if (mode == kImm || mode == kLen) return size == kW;
      if (mode == kMem) return size == kW && in.k < kMemWords;
      if (mode == kMsh) return size == kB;
      return false;
    }
    case kSt:
    case kStx:
      return (code & ~kClassMask) == 0 && in.k < kMemWords;
    case kAlu: {
      WORD op = code & kOpMask;
      if (op == kNeg) return (code & kSrcX) == 0;
      if (op > kXor) return false;
      if ((op == kDiv || op == kMod) && (code & kSrcX) == 0 && in.k == 0) return false;
      return true;
    }
    case kJmp: {
      WORD op = code & kOpMask;
      std::size_t next = at + 1;
      if (op == kJa) return (code & kSrcX) == 0 && in.k < count - next;
      if (op != kJeq && op != kJgt && op != kJge && op != kJset) return false;
      return next + in.jt < count && next + in.jf < count;
    }
    case kRet: {
      WORD rval = code & kRvalMask;
      return (code & ~(kClassMask | kRvalMask)) == 0 && (rval == kRvalK || rval == kRvalX || rval == kRvalA);
    }
    case kMisc:
      return code == (kMisc | 0x00) || code == (kMisc | 0x80);
  }
  return false;
}

bool Load(std::span<const BYTE> p, std::uint64_t at, WORD size, DWORD* value) {
  std::uint64_t width = size == kW ? 4 : size == kH ? 2 : 1;
  if (at + width > p.size()) return false;
  DWORD v = 0;
  for (std::uint64_t i = 0; i < width; ++i) v = (v << 8) | p[at + i];
  *value = v;
  return true;
}

}  // namespace

bool ValidateBpf(std::span<const npf::bpf_insn> program) {
  if (program.empty() || program.size() > kBpfMaxInstructions) return false;
  for (std::size_t i = 0; i < program.size(); ++i) {
    if (!ValidOne(program[i], i, program.size())) return false;
  }
  return (program.back().code & kClassMask) == kRet;
}

DWORD RunBpf(std::span<const npf::bpf_insn> program, std::span<const BYTE> packet, DWORD wireLength) {
  DWORD a = 0, x = 0;
  DWORD mem[kMemWords] = {};
  for (std::size_t pc = 0; pc < program.size(); ++pc) {
    const npf::bpf_insn& in = program[pc];
    const WORD code = in.code;
    switch (code & kClassMask) {
      case kLd:
        switch (code & kModeMask) {
          case kImm: a = in.k; break;
          case kLen: a = wireLength; break;
          case kMem: a = mem[in.k]; break;
          case kAbs:
            if (!Load(packet, in.k, code & kSizeMask, &a)) return 0;
            break;
          case kInd:
            if (!Load(packet, std::uint64_t{x} + in.k, code & kSizeMask, &a)) return 0;
            break;
        }
        break;
      case kLdx:
        switch (code & kModeMask) {
          case kImm: x = in.k; break;
          case kLen: x = wireLength; break;
          case kMem: x = mem[in.k]; break;
          case kMsh: {
            DWORD b;
            if (!Load(packet, in.k, kB, &b)) return 0;
            x = (b & 0x0F) * 4;
            break;
          }
        }
        break;
      case kSt: mem[in.k] = a; break;
      case kStx: mem[in.k] = x; break;
      case kAlu: {
        DWORD v = (code & kSrcX) ? x : in.k;
        switch (code & kOpMask) {
          case kAdd: a += v; break;
          case kSub: a -= v; break;
          case kMul: a *= v; break;
          case kDiv:
            if (v == 0) return 0;
            a /= v;
            break;
          case kMod:
            if (v == 0) return 0;
            a %= v;
            break;
          case kOr: a |= v; break;
          case kAnd: a &= v; break;
          case kXor: a ^= v; break;
          case kLsh: a = v >= 32 ? 0 : a << v; break;
          case kRsh: a = v >= 32 ? 0 : a >> v; break;
          case kNeg: a = 0u - a; break;
        }
        break;
      }
      case kJmp: {
        if ((code & kOpMask) == kJa) {
          pc += in.k;
          break;
        }
        DWORD v = (code & kSrcX) ? x : in.k;
        bool taken = false;
        switch (code & kOpMask) {
          case kJeq: taken = a == v; break;
          case kJgt: taken = a > v; break;
          case kJge: taken = a >= v; break;
          case kJset: taken = (a & v) != 0; break;
        }
        pc += taken ? in.jt : in.jf;
        break;
      }
      case kRet: {
        WORD rval = code & kRvalMask;
        return rval == kRvalK ? in.k : rval == kRvalX ? x : a;
      }
      case kMisc:
        if (code & 0x80) a = x; else x = a;
        break;
    }
  }
  return 0;  // unreachable for a validated program
}

}  // namespace platform::sim
