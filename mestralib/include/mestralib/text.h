// Conversions between UTF-16 (the 16-bit texts of records and registry
// values) and UTF-8 (the programs' texts).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A lone or reversed surrogate, or a malformed UTF-8 sequence, becomes U+FFFD
// rather than ending the text.
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view text);

// The text of a fixed field of `capacity` 16-bit characters, up to its first
// NUL and never past the field.
std::string Utf16FieldToUtf8(const char16_t* field, std::size_t capacity);
