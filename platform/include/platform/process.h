// Starting another program of the kit and waiting for it.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/wintypes.h"

namespace platform {

// Starts the program `exeName` with `arguments`. A name without a directory is
// looked for in `preferredDirectory` first (callers pass the folder of their
// own library, see ModuleDirectory), then along PATH; never in the current
// directory. The child inherits the environment, so it runs on the same
// machine (MORVANE_PLATFORM). Returns a process handle, signalled when the
// process has ended, or nullptr with the last error set (ERROR_FILE_NOT_FOUND
// when no such program exists).
HANDLE StartProcess(const std::string& exeName, const std::vector<std::string>& arguments,
                    const std::string& preferredDirectory);

// Exit code of an ended process: the low 8 bits of the status as an unsigned
// value, so an exit(-1) reads 255. STILL_ACTIVE while it runs.
constexpr DWORD STILL_ACTIVE = 259;
BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode);

// The system's identifier of a started process; 0 with the last error set
// for a handle that is not a process.
DWORD GetProcessId(HANDLE process);

bool IsDebuggerPresent();

// The folder that holds the executable or shared library containing `address`.
std::string ModuleDirectory(const void* address);

// The running program's file name without its folder.
std::string ExecutableName();

// --- Console control: the terminal's Ctrl+C and the requests to end ---
constexpr DWORD CTRL_C_EVENT = 0;      // SIGINT
constexpr DWORD CTRL_CLOSE_EVENT = 2;  // SIGTERM, SIGHUP
using PHANDLER_ROUTINE = BOOL (*)(DWORD ctrlType);

// Installs the process's one handler (add 0 removes it again). From the
// first call on, SIGINT, SIGTERM and SIGHUP are taken by a thread of the
// platform, which calls the handler with the event; when the handler returns
// 0, or there is none, the signal's own action follows (the process
// ends). A signal ignored when the program started (a background job,
// nohup) stays ignored. Call it before the process starts any thread: a
// thread started earlier would still take the signals itself.
BOOL SetConsoleCtrlHandler(PHANDLER_ROUTINE handler, BOOL add);

// Runs `start`, which starts a program by other means than StartProcess (a
// toolkit's), with those signals unblocked on the calling thread: a started
// program inherits its starter's blocked signals, and would otherwise ignore
// Ctrl+C and the requests to end. Returns what `start` returns.
bool WithConsoleCtrlSignalsUnblocked(const std::function<bool()>& start);

}  // namespace platform
