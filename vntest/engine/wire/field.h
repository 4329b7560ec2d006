// The building blocks of the packet views: byte ranges of a field table,
// big-endian reads and writes, and the result of a checked constructor.
#pragma once

#include <cstddef>
#include <cstring>
#include <optional>
#include <span>

#include "engine/wire/mac_address.h"
#include "platform/wintypes.h"

namespace wire {

// Bytes [start, end) of a header.
struct Field {
  std::size_t start;
  std::size_t end;
  constexpr std::size_t size() const { return end - start; }
};

inline constexpr const char* kTruncated = "truncated";

// A view, or the reason why the bytes could not be one.
template <class View>
class Checked {
 public:
  static Checked Ok(View view) { return Checked(view, nullptr); }
  static Checked Fail(const char* reason) { return Checked(std::nullopt, reason); }

  explicit operator bool() const { return view_.has_value(); }
  View& operator*() { return *view_; }
  const View& operator*() const { return *view_; }
  View* operator->() { return &*view_; }
  const View* operator->() const { return &*view_; }
  const char* error() const { return error_; }

 private:
  Checked(std::optional<View> view, const char* error) : view_(view), error_(error) {}
  std::optional<View> view_;
  const char* error_;
};

// Callers pass offsets their checked constructor has already proved to lie
// inside the span.
inline WORD ReadU16(std::span<const BYTE> bytes, std::size_t at) {
  return static_cast<WORD>((bytes[at] << 8) | bytes[at + 1]);
}
inline void WriteU16(std::span<BYTE> bytes, std::size_t at, WORD value) {
  bytes[at] = static_cast<BYTE>(value >> 8);
  bytes[at + 1] = static_cast<BYTE>(value);
}
// An IPv4 address kept as the four bytes of the wire, in a DWORD.
inline DWORD ReadAddress(std::span<const BYTE> bytes, std::size_t at) {
  DWORD address;
  std::memcpy(&address, bytes.data() + at, sizeof address);
  return address;
}
inline void WriteAddress(std::span<BYTE> bytes, std::size_t at, DWORD address) {
  std::memcpy(bytes.data() + at, &address, sizeof address);
}

inline MacAddress ReadMac(std::span<const BYTE> bytes, Field f) {
  MacAddress mac;
  std::memcpy(mac.data(), bytes.data() + f.start, mac.size());
  return mac;
}
inline void WriteMac(std::span<BYTE> bytes, Field f, const MacAddress& mac) {
  std::memcpy(bytes.data() + f.start, mac.data(), mac.size());
}

}  // namespace wire
