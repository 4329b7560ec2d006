// A remembered window placement as the settings file holds it: any text is
// either refused or read back exactly as it is written again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "shell/window_placement.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::optional<WindowPlacement> placement = ParseWindowPlacement(text);
  if (!placement) return 0;
  if (placement->width <= 0 || placement->height <= 0) std::abort();
  const std::optional<WindowPlacement> again = ParseWindowPlacement(FormatWindowPlacement(*placement));
  if (!again || again->x != placement->x || again->y != placement->y || again->width != placement->width ||
      again->height != placement->height) {
    std::abort();
  }
  return 0;
}
