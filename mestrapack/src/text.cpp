#include "text.h"

#include <algorithm>
#include <cstring>

#ifdef MESTRAPACK_NARROW
std::string TextToUtf8(const MESTRAPACK_TCHAR* text) { return text ? std::string(text) : std::string(); }
TString Utf8ToText(std::string_view text) { return TString(text); }
#else
std::string TextToUtf8(const MESTRAPACK_TCHAR* text) {
  return text ? Utf16ToUtf8(std::u16string_view(text)) : std::string();
}
TString Utf8ToText(std::string_view text) { return Utf8ToUtf16(text); }
#endif

void CopyToField(MESTRAPACK_TCHAR* field, std::size_t capacity, std::string_view utf8) {
  if (capacity == 0) {
    return;
  }
  TString text = Utf8ToText(utf8);
  std::size_t count = std::min(text.size(), capacity - 1);
  std::copy_n(text.data(), count, field);
  field[count] = 0;
}

std::string FieldText(const char* field, std::size_t size) {
  const void* end = std::memchr(field, 0, size);
  return std::string(field, end ? static_cast<const char*>(end) - field : size);
}
