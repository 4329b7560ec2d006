// Directory texts.
#pragma once

#include <cstddef>
#include <string>

// The installation's system directory: the one that holds drivers/npf.sys
// and the packet-capture library (platform::SystemDirectory).
std::string GetStdSystemDirectory();

// Separators made uniform ("/"), doubled ones folded; with trailingSeparator a
// single "/" ends the result, without it none does. "\\" counts as a separator.
// The root stays "/" and an empty text stays empty either way.
std::string StandardizedDirectory(const std::string& directory, bool trailingSeparator);
// The directory in the system's own form, without a trailing separator (the
// root stays "/"): join a file name to it with "/".
std::string WindowsizedDirectory(const std::string& directory);

// The text cut to `length` bytes or padded with blanks to it; a cut never
// splits a UTF-8 character (the padding makes up the length).
std::string StringToFixedLen(const std::string& text, std::size_t length);
