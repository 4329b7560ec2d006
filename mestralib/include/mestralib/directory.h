// Directory texts.
#pragma once

#include <cstddef>
#include <string>

// The installation's system directory: the one that holds drivers/npf.sys
// and the packet-capture library (platform::SystemDirectory).
std::string GetStdSystemDirectory();

// Separators made uniform ("/"), doubled ones folded; with trailingSeparator a
// single "/" ends the result, without it none does.
std::string StandardizedDirectory(const std::string& directory, bool trailingSeparator);
// The directory in the system's own form, without a trailing separator.
std::string WindowsizedDirectory(const std::string& directory);

// The text cut to `length` characters or padded with blanks to it.
std::string StringToFixedLen(const std::string& text, std::size_t length);
