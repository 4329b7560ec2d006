// Fuzz target: the checks MestraPack applies to the record file's bytes, and
// the text fields of an accepted record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "wpcinforec.h"

namespace {

void CheckText(const char (&field)[kWpcInfoRecTextSize]) {
  const std::string text = WpcInfoRecText(field);
  if (text.size() > kWpcInfoRecTextSize) std::abort();
  // Writing the text back gives a field ended inside its 256 bytes.
  WPCINFOREC copy{};
  SetWpcInfoRecText(copy.szLibraryName, text);
  if (WpcInfoRecText(copy.szLibraryName).size() >= kWpcInfoRecTextSize) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  WPCINFOREC record;
  DWORD recSize = 0;
  switch (CheckWpcInfoRec(data, size, &record, &recSize)) {
    case WpcInfoRecCheck::kAccepted:
      if (size < kWpcInfoRecSize || record.dwRecSize != kWpcInfoRecSize) std::abort();
      CheckText(record.sz9xDriverName);
      CheckText(record.szDriverVersion);
      CheckText(record.szLibraryName);
      CheckText(record.szLibraryVersion);
      CheckText(record.szDeviceNamePrefix);
      break;
    case WpcInfoRecCheck::kBadLength:
      if (size >= kWpcInfoRecSize) std::abort();
      break;
    case WpcInfoRecCheck::kInvalidData:
      if (size < kWpcInfoRecSize || recSize == kWpcInfoRecSize) std::abort();
      break;
  }
  return 0;
}
