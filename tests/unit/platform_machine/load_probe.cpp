// Loads one library by name and says whether it came: exit 0 loaded, 3 not
// (the last error on stdout). Run by the module tests in a prepared folder
// and environment. Carries no version resource on purpose.
#include <cstdio>

#include "platform/lasterror.h"
#include "platform/module.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  HMODULE module = platform::LoadLibrary(argv[1]);
  if (!module) {
    std::printf("%u\n", static_cast<unsigned>(GetLastError()));
    return 3;
  }
  std::printf("%s\n", platform::GetModuleFileName(module).c_str());
  return 0;
}
