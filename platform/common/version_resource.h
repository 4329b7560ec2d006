// The version record our binaries carry in their ".morvane_version" section,
// and its reader. The record is written by the source file that
// cmake/Morvane.cmake (morvane_version_resource) generates; the layout below and
// the generated C struct must stay the same, byte for byte.
//
// Reading treats the file as untrusted: every offset and size is checked
// against the file before it is used, and a record that fails any check is
// rejected whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/module.h"
#include "platform/wintypes.h"

namespace platform::version_record {

inline constexpr char kMagic[8] = "MORVANE";  // seven letters and a zero
constexpr std::uint32_t kFormatVersion = 1;
constexpr std::uint32_t kFixedSignature = 0xFEEF04BD;
constexpr std::size_t kMaxValues = 16;
constexpr std::size_t kNameCapacity = 64;   // with the terminating zero
constexpr std::size_t kTextCapacity = 256;  // with the terminating zero

struct Value {
  char name[kNameCapacity];
  char text[kTextCapacity];
};

struct Record {
  char magic[8];
  std::uint32_t formatVersion;
  std::uint32_t totalSize;  // sizeof(Record)
  VS_FIXEDFILEINFO fixed;
  std::uint32_t valueCount;  // at most kMaxValues
  std::uint32_t reserved;
  Value values[kMaxValues];
};

static_assert(sizeof(Value) == 320);
static_assert(offsetof(Record, magic) == 0);
static_assert(offsetof(Record, formatVersion) == 8);
static_assert(offsetof(Record, totalSize) == 12);
static_assert(offsetof(Record, fixed) == 16);
static_assert(offsetof(Record, valueCount) == 68);
static_assert(offsetof(Record, reserved) == 72);
static_assert(offsetof(Record, values) == 76);
static_assert(sizeof(Record) == 5196);

// Whether [offset, offset + length) lies inside [0, total), without overflow.
inline bool RangeInside(std::uint64_t offset, std::uint64_t length, std::uint64_t total) {
  return length <= total && offset <= total - length;
}

// Random access to the bytes of a file (or of a copy in memory). ReadAt fails
// for any range that does not lie wholly inside the source.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  virtual std::uint64_t Size() const = 0;
  virtual bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) const = 0;
};

class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
  std::uint64_t Size() const override { return bytes_.size(); }
  bool ReadAt(std::uint64_t offset, void* buffer, std::size_t length) const override;

 private:
  std::span<const std::uint8_t> bytes_;
};

// Finds the version section of an ELF64 little-endian image and decodes its
// record. Returns ERROR_SUCCESS, ERROR_BAD_FORMAT (not ELF64, truncated,
// malformed headers or record) or ERROR_RESOURCE_TYPE_NOT_FOUND (a sound image
// without the section). `why` receives a short reason on failure.
DWORD ReadFromImage(const ByteSource& image, VersionResource* out, std::string* why);

// Decodes one record from the section's bytes (same results as above).
DWORD DecodeRecord(std::span<const std::uint8_t> section, VersionResource* out, std::string* why);

}  // namespace platform::version_record
