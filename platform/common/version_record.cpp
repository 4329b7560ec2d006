// Finding and decoding the version record in an ELF64 image. Nothing in the
// image is trusted: each header field is checked against the image's size
// before it leads anywhere.
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/version_resource.h"
#include "platform/winerror.h"

namespace platform {
namespace version_record {
namespace {

// ELF64 file header fields (little-endian images only).
namespace ehdr {
constexpr std::size_t kSize = 64;
constexpr std::size_t kClass = 4;      // 2: 64-bit
constexpr std::size_t kData = 5;       // 1: little-endian
constexpr std::size_t kShOff = 40;     // u64
constexpr std::size_t kShEntSize = 58; // u16
constexpr std::size_t kShNum = 60;     // u16
constexpr std::size_t kShStrNdx = 62;  // u16
}  // namespace ehdr

// ELF64 section header fields.
namespace shdr {
constexpr std::size_t kSize = 64;
constexpr std::size_t kName = 0;    // u32, offset into the name table
constexpr std::size_t kType = 4;    // u32
constexpr std::size_t kOffset = 24; // u64
constexpr std::size_t kBytes = 32;  // u64 (sh_size)
constexpr std::size_t kLink = 40;   // u32
}  // namespace shdr

constexpr std::uint32_t kSectionNoBits = 8;
constexpr std::uint16_t kIndexExtended = 0xFFFF;  // real index in section 0's sh_link
// Bounds that no binary of ours comes near; they keep a hostile header from
// making us read or allocate without limit.
constexpr std::uint64_t kMaxSections = 65536;
constexpr std::uint64_t kMaxNameTable = 1 << 20;
constexpr std::uint64_t kMaxVersionSection = 4 * sizeof(Record);

template <typename T>
T Load(const std::uint8_t* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;  // the host is little-endian, as are the images we accept
}

DWORD Fail(DWORD code, std::string* why, const char* reason) {
  if (why) *why = reason;
  return code;
}

// The section header table, read in one piece and walked through checked
// accessors.
class SectionTable {
 public:
  bool Load(const ByteSource& image, std::uint64_t offset, std::uint64_t count) {
    if (count > kMaxSections || !RangeInside(offset, count * shdr::kSize, image.Size())) return false;
    bytes_.resize(count * shdr::kSize);
    count_ = count;
    return image.ReadAt(offset, bytes_.data(), bytes_.size());
  }
  std::uint64_t count() const { return count_; }
  std::uint32_t Name(std::uint64_t i) const { return Field<std::uint32_t>(i, shdr::kName); }
  std::uint32_t Type(std::uint64_t i) const { return Field<std::uint32_t>(i, shdr::kType); }
  std::uint64_t Offset(std::uint64_t i) const { return Field<std::uint64_t>(i, shdr::kOffset); }
  std::uint64_t Bytes(std::uint64_t i) const { return Field<std::uint64_t>(i, shdr::kBytes); }
  std::uint32_t Link(std::uint64_t i) const { return Field<std::uint32_t>(i, shdr::kLink); }

 private:
  template <typename T>
  T Field(std::uint64_t i, std::size_t field) const {
    // i < count_ is the caller's duty; the table holds count_ whole headers.
    return version_record::Load<T>(bytes_.data() + i * shdr::kSize + field);
  }
  std::vector<std::uint8_t> bytes_;
  std::uint64_t count_ = 0;
};

bool NameIs(const std::vector<std::uint8_t>& names, std::uint32_t at, const char* wanted) {
  std::size_t length = std::strlen(wanted) + 1;  // the zero must be there too
  if (!RangeInside(at, length, names.size())) return false;
  return std::memcmp(names.data() + at, wanted, length) == 0;
}

bool ZeroWithin(const char* text, std::size_t capacity) {
  return std::memchr(text, 0, capacity) != nullptr;
}

}  // namespace

bool MemorySource::ReadAt(std::uint64_t offset, void* buffer, std::size_t length) const {
  if (!RangeInside(offset, length, bytes_.size())) return false;
  if (length) std::memcpy(buffer, bytes_.data() + offset, length);
  return true;
}

DWORD DecodeRecord(std::span<const std::uint8_t> section, VersionResource* out, std::string* why) {
  if (section.size() < sizeof(Record)) return Fail(ERROR_BAD_FORMAT, why, "version record truncated");
  // Tool chains may pad the section (a sanitizer's red zone after the
  // record); padding is zeros, anything else is a second record or damage.
  auto tail = section.subspan(sizeof(Record));
  if (std::any_of(tail.begin(), tail.end(), [](std::uint8_t byte) { return byte != 0; })) {
    return Fail(ERROR_BAD_FORMAT, why, "version section holds more than one record");
  }
  Record record;
  std::memcpy(&record, section.data(), sizeof record);
  if (std::memcmp(record.magic, kMagic, sizeof kMagic) != 0) {
    return Fail(ERROR_BAD_FORMAT, why, "version record has a wrong magic");
  }
  if (record.formatVersion != kFormatVersion) {
    return Fail(ERROR_BAD_FORMAT, why, "version record has an unknown format version");
  }
  if (record.totalSize != sizeof(Record)) return Fail(ERROR_BAD_FORMAT, why, "version record has a wrong size");
  if (record.fixed.dwSignature != kFixedSignature) {
    return Fail(ERROR_BAD_FORMAT, why, "fixed file information has a wrong signature");
  }
  if (record.valueCount > kMaxValues) return Fail(ERROR_BAD_FORMAT, why, "version record has too many values");

  VersionResource decoded;
  decoded.fixed = record.fixed;
  for (std::uint32_t i = 0; i < record.valueCount; ++i) {
    const Value& value = record.values[i];
    if (!ZeroWithin(value.name, kNameCapacity) || !ZeroWithin(value.text, kTextCapacity)) {
      return Fail(ERROR_BAD_FORMAT, why, "version value is not terminated");
    }
    if (value.name[0] == '\0') return Fail(ERROR_BAD_FORMAT, why, "version value has no name");
    decoded.values.emplace_back(value.name, value.text);
  }
  *out = std::move(decoded);
  return ERROR_SUCCESS;
}

DWORD ReadFromImage(const ByteSource& image, VersionResource* out, std::string* why) {
  std::uint8_t header[ehdr::kSize];
  if (!image.ReadAt(0, header, sizeof header)) return Fail(ERROR_BAD_FORMAT, why, "not an ELF file (too short)");
  if (std::memcmp(header, "\x7f" "ELF", 4) != 0) return Fail(ERROR_BAD_FORMAT, why, "not an ELF file");
  if (header[ehdr::kClass] != 2 || header[ehdr::kData] != 1) {
    return Fail(ERROR_BAD_FORMAT, why, "not a 64-bit little-endian ELF file");
  }
  std::uint64_t tableOffset = Load<std::uint64_t>(header + ehdr::kShOff);
  std::uint16_t entrySize = Load<std::uint16_t>(header + ehdr::kShEntSize);
  std::uint64_t count = Load<std::uint16_t>(header + ehdr::kShNum);
  std::uint64_t namesIndex = Load<std::uint16_t>(header + ehdr::kShStrNdx);
  if (tableOffset == 0) return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND, why, "ELF file has no section headers");
  if (entrySize != shdr::kSize) return Fail(ERROR_BAD_FORMAT, why, "ELF section header size is wrong");

  SectionTable sections;
  if (count == 0 || namesIndex == kIndexExtended) {
    // Many sections: the real count and name-table index live in section 0.
    if (!sections.Load(image, tableOffset, 1)) return Fail(ERROR_BAD_FORMAT, why, "ELF section headers truncated");
    if (count == 0) count = sections.Bytes(0);
    if (namesIndex == kIndexExtended) namesIndex = sections.Link(0);
  }
  if (count == 0) return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND, why, "ELF file has no sections");
  if (!sections.Load(image, tableOffset, count)) return Fail(ERROR_BAD_FORMAT, why, "ELF section headers truncated");
  if (namesIndex >= count) return Fail(ERROR_BAD_FORMAT, why, "ELF section name table index out of range");

  std::uint64_t namesSize = sections.Bytes(namesIndex);
  if (namesSize > kMaxNameTable || sections.Type(namesIndex) == kSectionNoBits) {
    return Fail(ERROR_BAD_FORMAT, why, "ELF section name table is malformed");
  }
  std::vector<std::uint8_t> names(namesSize);
  if (!image.ReadAt(sections.Offset(namesIndex), names.data(), names.size())) {
    return Fail(ERROR_BAD_FORMAT, why, "ELF section name table truncated");
  }

  for (std::uint64_t i = 0; i < count; ++i) {
    if (sections.Type(i) == 0) continue;  // the null section and unused entries carry no name
    if (sections.Name(i) >= names.size()) return Fail(ERROR_BAD_FORMAT, why, "ELF section name out of range");
    if (!NameIs(names, sections.Name(i), kVersionSection)) continue;
    if (sections.Type(i) == kSectionNoBits) return Fail(ERROR_BAD_FORMAT, why, "version section has no bytes");
    std::uint64_t size = sections.Bytes(i);
    if (size < sizeof(Record)) return Fail(ERROR_BAD_FORMAT, why, "version record truncated");
    if (size > kMaxVersionSection) return Fail(ERROR_BAD_FORMAT, why, "version section too large");
    std::vector<std::uint8_t> bytes(size);
    if (!image.ReadAt(sections.Offset(i), bytes.data(), bytes.size())) {
      return Fail(ERROR_BAD_FORMAT, why, "version section lies outside the file");
    }
    return DecodeRecord(bytes, out, why);
  }
  return Fail(ERROR_RESOURCE_TYPE_NOT_FOUND, why, "no version section");
}

}  // namespace version_record

}  // namespace platform
