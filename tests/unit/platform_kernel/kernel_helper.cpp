// A small program the kernel-object tests start as a child process:
//   kernel_helper exit N            ends with exit code N
//   kernel_helper sleep             waits until it is killed
//   kernel_helper write FILE TEXT   opens the existing FILE as the utility does
//                                   (write access, every share, temporary) and
//                                   writes TEXT at its start
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/file.h"
#include "platform/sync.h"

namespace {

int Write(const char* path, const char* text) {
  using namespace platform;
  HANDLE file = CreateFile(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, OPEN_EXISTING,
                           FILE_ATTRIBUTE_TEMPORARY);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "kernel_helper: CreateFile(%s) failed; rc=%u\n", path, GetLastError());
    return 2;
  }
  DWORD written = 0;
  DWORD size = static_cast<DWORD>(std::strlen(text));
  BOOL ok = WriteFile(file, text, size, &written);
  CloseHandle(file);
  if (!ok || written != size) {
    std::fprintf(stderr, "kernel_helper: WriteFile failed; rc=%u\n", GetLastError());
    return 3;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "exit") == 0) return std::atoi(argv[2]);
  if (argc == 2 && std::strcmp(argv[1], "sleep") == 0) {
    for (;;) ::pause();
  }
  if (argc == 4 && std::strcmp(argv[1], "write") == 0) return Write(argv[2], argv[3]);
  std::fprintf(stderr, "usage: kernel_helper exit N | sleep | write FILE TEXT\n");
  return 100;
}
