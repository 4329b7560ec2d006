// Helper of the settings stress test: writes one entry of a program's
// settings `count` times (1, 2 ... count), each followed by a text entry
// whose length follows the number, so that a file caught half written, or a
// value lost to the other writer, would show.
// Usage: stress_profile_writer PROGRAM ENTRY COUNT; exit 0 when every write
// succeeded, 1 at the first that failed, 2 for bad arguments.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/profile.h"
#include "platform/lasterror.h"

int main(int argc, char** argv) {
  if (argc != 4) return 2;
  const std::string program = argv[1];
  const std::string entry = argv[2];
  const int count = std::atoi(argv[3]);
  if (count <= 0) return 2;
  platform::Profile profile("Morvane", program);
  for (int i = 1; i <= count; ++i) {
    if (!profile.WriteInt("Settings", entry, static_cast<DWORD>(i)) ||
        !profile.WriteString("Settings", entry + "Text", std::string(static_cast<std::size_t>(i % 300), 'x'))) {
      std::fprintf(stderr, "stress_profile_writer: write %d of %s failed: %u\n", i, entry.c_str(),
                   static_cast<unsigned>(GetLastError()));
      return 1;
    }
  }
  return 0;
}
