/* The thread's last error is reachable from C: a program that links the
 * platform library sets a code and reads it back. */
#include <stdio.h>

#include "platform/lasterror.h"

int main(void) {
  SetLastError(87);
  if (GetLastError() != 87) {
    fprintf(stderr, "GetLastError() returned %u, expected 87\n", (unsigned)GetLastError());
    return 1;
  }
  SetLastError(0);
  if (GetLastError() != 0) {
    fprintf(stderr, "GetLastError() returned %u after SetLastError(0)\n", (unsigned)GetLastError());
    return 1;
  }
  puts("SetLastError(87) read back as 87");
  return 0;
}
