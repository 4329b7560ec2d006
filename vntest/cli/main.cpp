// vntest: the headless test program, the windowed program's whole test
// without the window: the host's network gathered, the test's values from
// the remembered settings and the command line with the dialogs' checks, the
// pre-test warnings, the simulated guest, a ping test, and the log on
// standard output.
#include "options.h"
#include "run.h"

int main(int argc, char** argv) {
  Options options;
  const int rc = ParseOptions(argc, argv, &options);
  return rc >= 0 ? rc : Run(options);
}
