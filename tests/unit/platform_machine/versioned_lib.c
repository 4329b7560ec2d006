/* A library with a version resource, for the module and version tests. When
 * MORVANE_TEST_PLANT_MARKER names a file, loading the library creates it: the
 * proof that a copy planted in the current directory was (or was not) run. */
#include <stdio.h>
#include <stdlib.h>

__attribute__((constructor)) static void platform_machine_versioned_loaded(void) {
  const char* marker = getenv("MORVANE_TEST_PLANT_MARKER");
  if (marker && *marker) {
    FILE* file = fopen(marker, "w");
    if (file) fclose(file);
  }
}

int platform_machine_versioned_answer(void) { return 42; }
