#include "shell/window_placement.h"

#include <charconv>
#include <cstdio>

#include "platform/profile.h"
#include "shell/commands.h"

namespace {
constexpr const char* kSection = "WindowPlacement";
// A sane bound on any coordinate or size, far beyond any screen.
constexpr int kLimit = 100000;

platform::Profile& ProgramProfile() {
  static platform::Profile profile("Morvane", kProgramName);
  return profile;
}
}  // namespace

std::string FormatWindowPlacement(const WindowPlacement& p) {
  char text[64];
  std::snprintf(text, sizeof text, "%d %d %d %d", p.x, p.y, p.width, p.height);
  return text;
}

std::optional<WindowPlacement> ParseWindowPlacement(const std::string& text) {
  int values[4];
  const char* at = text.data();
  const char* end = text.data() + text.size();
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (at == end || *at != ' ') return {};
      ++at;
    }
    auto [next, ec] = std::from_chars(at, end, values[i]);
    if (ec != std::errc() || values[i] < -kLimit || values[i] > kLimit) return {};
    at = next;
  }
  if (at != end) return {};
  WindowPlacement p{values[0], values[1], values[2], values[3]};
  if (p.width <= 0 || p.height <= 0) return {};
  return p;
}

std::optional<WindowPlacement> RestoreWindowPlacement(const std::string& name) {
  return ParseWindowPlacement(ProgramProfile().GetString(kSection, name, ""));
}

bool SaveWindowPlacement(const std::string& name, const WindowPlacement& placement) {
  return ProgramProfile().WriteString(kSection, name, FormatWindowPlacement(placement));
}
