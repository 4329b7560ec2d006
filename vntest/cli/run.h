// The headless program's run: the window's start-up (debug settings, the
// network snapshot), the values of the test from the remembered settings
// and the options with the dialogs' checks, the pre-test warnings, the
// simulated guest with its optional peer ping and ping test, and the log.
#pragma once

#include "options.h"

// Returns the exit status (options.h).
int Run(const Options& options);
