// Any bytes as a settings file: the parser must accept or refuse them without
// reading outside the input, and whatever it accepts must come back the same
// after being written out and read again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/ini_store.h"

namespace {

bool SameValue(const platform::ProfileValue& a, const platform::ProfileValue& b) {
  return a.kind == b.kind && a.number == b.number && a.text == b.text && a.binary == b.binary;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace platform;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  ini::Document document;
  std::string error;
  if (!ini::Parse(text, &document, &error)) {
    if (error.rfind("line ", 0) != 0) std::abort();
    return 0;
  }
  std::string written = ini::Serialize(document);
  ini::Document again;
  if (!ini::Parse(written, &again, &error)) std::abort();
  if (again.sections().size() != document.sections().size()) std::abort();
  for (std::size_t s = 0; s < document.sections().size(); ++s) {
    const auto& before = document.sections()[s];
    const auto& after = again.sections()[s];
    if (before.name != after.name || before.entries.size() != after.entries.size()) std::abort();
    for (std::size_t e = 0; e < before.entries.size(); ++e) {
      if (before.entries[e].name != after.entries[e].name) std::abort();
      if (!SameValue(before.entries[e].value, after.entries[e].value)) std::abort();
    }
  }
  if (ini::Serialize(again) != written) std::abort();
  return 0;
}
