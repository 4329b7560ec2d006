// The programs' answer to Ctrl+C in the terminal and to the requests to end
// (SIGTERM, SIGHUP): the first one while an action is set runs that action,
// which asks the program's window to stop as its own commands do; a later
// one, or one while no action is set, lets the program end at once.
//
// The action runs on the platform's control thread, under the interrupt
// lock (a lock of its own, taken before whatever the action takes: the
// headless window's message lock, Qt's event queue).
#pragma once

#include <functional>

// Before the program starts any thread: from then on the control thread
// alone takes the signals.
void InstallInterruptHandler();

// The action of the first interruption; an empty one for none (before the
// window exists, and once it is gone).
void SetInterruptAction(std::function<void()> action);
