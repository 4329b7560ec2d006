// Where a window was, remembered by name in the program's per-user profile
// (section "WindowPlacement"), so that a dialog reopens where the user left
// it. A stored value that does not read as a placement is ignored.
#pragma once

#include <optional>
#include <string>

struct WindowPlacement {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

std::optional<WindowPlacement> RestoreWindowPlacement(const std::string& name);
bool SaveWindowPlacement(const std::string& name, const WindowPlacement& placement);

// The stored text, "x y width height"; a text that is not four numbers with a
// positive size is refused.
std::string FormatWindowPlacement(const WindowPlacement& placement);
std::optional<WindowPlacement> ParseWindowPlacement(const std::string& text);
