// Arbitrary texts through the reader of the kernel's neighbour table, in an
// exact-size buffer so that any read past it is caught. Every entry it keeps
// can only come from a line of its own, never from the header.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "neighbour_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<char> buffer(data, data + size);
  const std::string_view text(buffer.data(), buffer.size());
  const std::vector<vifnet::Neighbour> entries = vifnet::ParseNeighbourText(text);
  // No line yields more than one entry, and the header yields none.
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n' ? 1 : 0;
  if (entries.size() > lines) std::abort();
  return 0;
}
