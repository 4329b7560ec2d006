// Texts of the build's character type (MESTRAPACK_TCHAR) and UTF-8, which the
// library uses inside.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "mestralib/text.h"
#include "mestrapack/mestrapack.h"

using TString = std::basic_string<MESTRAPACK_TCHAR>;


std::string TextToUtf8(const MESTRAPACK_TCHAR* text);  // null gives ""
TString Utf8ToText(std::string_view text);

// Copies at most capacity - 1 characters of `text` into the fixed field and
// terminates it.
void CopyToField(MESTRAPACK_TCHAR* field, std::size_t capacity, std::string_view utf8);

// The 8-bit text in a fixed field of `size` bytes, up to its first NUL and
// never past the field.
std::string FieldText(const char* field, std::size_t size);
