// os-release(5): shell-like KEY=value lines, values optionally quoted.
#pragma once

#include <map>
#include <string>

namespace platform::linuxhost {

// Blank lines, comments and lines that are not KEY=value are skipped; quotes
// are removed and backslash escapes inside double quotes resolved.
std::map<std::string, std::string> ParseOsReleaseFields(const std::string& text);

}  // namespace platform::linuxhost
