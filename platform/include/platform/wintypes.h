// The scalar vocabulary of the records and calls that the kit shares with the
// system it was first written for. Fixed widths, so every record layout is the
// same on every build.
#pragma once

#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using UINT = std::uint32_t;
using ULONG = std::uint32_t;
using LONG = std::int32_t;
using BOOL = std::int32_t;  // 1 for success, 0 for failure, as the callers expect
using HANDLE = void*;       // opaque; see kernel objects in sync.h
using HMODULE = void*;

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~std::uintptr_t{0});

constexpr DWORD INFINITE = 0xFFFFFFFF;
