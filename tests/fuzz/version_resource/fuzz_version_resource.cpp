// Any bytes as an ELF file, and as a version section: the reader must refuse
// or accept them without reading outside the input, and what it accepts must
// be a sound record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "common/version_resource.h"
#include "platform/winerror.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform;
  std::span<const std::uint8_t> bytes(data, size);
  VersionResource resource;
  std::string why;
  DWORD code = version_record::ReadFromImage(version_record::MemorySource(bytes), &resource, &why);
  if (code == ERROR_SUCCESS) {
    if (resource.fixed.dwSignature != version_record::kFixedSignature) std::abort();
    if (resource.values.size() > version_record::kMaxValues) std::abort();
  } else if (why.empty()) {
    std::abort();  // every refusal says why
  }
  VersionResource record;
  code = version_record::DecodeRecord(bytes, &record, &why);
  if (code == ERROR_SUCCESS && size < sizeof(version_record::Record)) std::abort();
  return 0;
}
